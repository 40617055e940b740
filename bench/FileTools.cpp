#include "FileTools.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <lmdb.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <vector>

namespace bench {
namespace {

bool IsLockFile(const std::string& name) {
  return name.size() > 5 && name.compare(name.size() - 5, 5, "-lock") == 0;
}

// Calls fn(path) for every regular file of `folder`.
void ForEachFile(const std::string& folder, const std::function<void(const std::string&)>& fn) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string path = folder + "/" + entry->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) fn(path);
  }
  closedir(dir);
}

bool CopyFile(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return false;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool ok = out >= 0;
  while (ok) {
    const ssize_t moved = copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) {
      ok = moved == 0;
      break;
    }
  }
  if (ok) ok = fsync(out) == 0;
  const int saved = errno;
  close(in);
  if (out >= 0) close(out);
  errno = saved;
  return ok;
}

}  // namespace

bool CopyFolder(const std::string& from, const std::string& to, std::string* error) {
  if (mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = to + ": " + strerror(errno);
    return false;
  }
  bool ok = true;
  ForEachFile(from, [&](const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    if (!ok || IsLockFile(name)) return;
    if (!CopyFile(path, to + "/" + name)) {
      ok = false;
      *error = path + ": " + strerror(errno);
    }
  });
  return ok;
}

void EvictFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  fdatasync(fd);  // only clean pages can be dropped
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

void EvictFolder(const std::string& folder) { ForEachFile(folder, EvictFile); }

void WarmFolder(const std::string& folder) {
  ForEachFile(folder, [](const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    std::vector<char> buffer(size_t{1} << 20);
    for (off_t at = 0;;) {
      const ssize_t got = pread(fd, buffer.data(), buffer.size(), at);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      at += got;
    }
    close(fd);
  });
}

double ResidentShare(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  struct stat st;
  double share = -1;
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    const size_t length = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (map != MAP_FAILED) {
      const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
      std::vector<unsigned char> resident((length + page - 1) / page);
      if (mincore(map, length, resident.data()) == 0) {
        size_t in = 0;
        for (unsigned char r : resident) in += r & 1;
        share = static_cast<double>(in) / static_cast<double>(resident.size());
      }
      munmap(map, length);
    }
  }
  close(fd);
  return share;
}

uint64_t FileBytes(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

EngineCounts CountEntries(const std::string& dataFile) {
  EngineCounts counts;
  MDB_env* env = nullptr;
  MDB_txn* txn = nullptr;
  // MDB_NOLOCK: the file is closed, and the count must not leave a lock
  // file of its own behind.
  int rc = mdb_env_create(&env);
  if (!rc) rc = mdb_env_set_maxdbs(env, 8);
  if (!rc) rc = mdb_env_set_mapsize(env, FileBytes(dataFile));  // the file, no more
  if (!rc) rc = mdb_env_open(env, dataFile.c_str(), MDB_RDONLY | MDB_NOSUBDIR | MDB_NOLOCK, 0600);
  if (!rc) rc = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
  int64_t* const fields[] = {&counts.records, &counts.crcEntries, &counts.afileEntries};
  const char* const names[] = {"records", "index0", "index1"};
  for (int i = 0; rc == 0 && i < 3; ++i) {
    MDB_dbi dbi;
    MDB_stat st;
    rc = mdb_dbi_open(txn, names[i], 0, &dbi);
    if (!rc) rc = mdb_stat(txn, dbi, &st);
    if (!rc) *fields[i] = static_cast<int64_t>(st.ms_entries);
  }
  if (txn) mdb_txn_abort(txn);
  if (env) mdb_env_close(env);
  return counts;
}

double MonotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace bench
