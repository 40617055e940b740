#include "storage/BlockReader.h"

#include <unistd.h>

#include <cerrno>

#include "storage/PackFolder.h"

namespace cldb {
namespace {

const char kLocate[] =
    "SELECT s.afile_id, a.pack_gen, s.offset, s.length FROM stored s"
    " JOIN afiles a ON a.afile_id = s.afile_id"
    " WHERE s.digest = ?1 AND s.size = ?2 AND a.copy_id = ?3 ORDER BY a.live DESC, s.afile_id";
// Packs kept open at once.
const size_t kOpenPacks = 64;
// Locating again after a pack moved under a reader: a collection that
// keeps moving it is not waited out for ever.
const int kAttempts = 3;

}  // namespace

BlockReader::~BlockReader() {
  for (auto& [key, fd] : packs_) close(fd);
}

int BlockReader::Locate(const unsigned char* digest, uint32_t size, uint32_t copyId,
                        std::vector<Location>& copies, std::string& error) {
  Database& db = storage_.Db();
  auto lock = db.Lock();
  copies.clear();
  Query query(db.Statement(kLocate), Blob{digest, kDigestSize}, size, copyId);
  int rc;
  while ((rc = query.Step()) == SQLITE_ROW) {
    Location location;
    location.afileId = static_cast<uint32_t>(query.Int(0));
    location.generation = static_cast<uint32_t>(query.Int(1));
    location.offset = static_cast<uint64_t>(query.Int(2));
    location.length = static_cast<uint32_t>(query.Int(3));
    copies.push_back(location);
  }
  if (rc == SQLITE_DONE) return 0;
  db.FailSqlite();
  error = db.Error();
  return -1;
}

int BlockReader::Pack(uint32_t afileId, uint32_t generation, bool& missing, std::string& problem) {
  missing = false;
  const auto key = std::make_pair(afileId, generation);
  auto found = packs_.find(key);
  if (found != packs_.end()) return found->second;
  if (packs_.size() >= kOpenPacks) {
    for (auto& [unused, fd] : packs_) close(fd);
    packs_.clear();
  }
  const int fd = storage_.Packs().OpenForReading(afileId, generation, problem, missing);
  if (fd >= 0) packs_.emplace(key, fd);
  return fd;
}

BlockReader::Result BlockReader::Read(const Location& location, const unsigned char* digest,
                                      uint32_t size, const unsigned char*& block,
                                      std::string& problem) {
  bool missing = false;
  const int fd = Pack(location.afileId, location.generation, missing, problem);
  if (fd < 0) return missing ? Result::kMoved : Result::kDamaged;
  const std::string where = "pack file '" +
                            storage_.Packs().PathOf(location.afileId, location.generation) +
                            "' at offset " + std::to_string(location.offset);
  if (record_.size() < location.length) record_.resize(location.length);
  const ssize_t got =
      ReadFully(fd, record_.data(), location.length, static_cast<off_t>(location.offset));
  if (got < 0) {
    problem = ErrnoMessage("cannot read " + where);
    return Result::kDamaged;
  }
  if (static_cast<size_t>(got) < location.length) {
    problem = where + ": the pack file is cut short";
    return Result::kDamaged;
  }
  const std::string wrong = decompressor_.DecodeRecord(record_.data(), location.length, digest,
                                                       size, scratch_, block, checkCrc_);
  if (wrong.empty()) return Result::kOk;
  problem = where + ": " + wrong;
  return Result::kDamaged;
}

bool BlockReader::Fetch(const unsigned char* digest, uint32_t size, uint32_t copyId,
                        const unsigned char*& block, std::string& problem) {
  problem.clear();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::vector<Location> copies;
    std::string error;
    if (Locate(digest, size, copyId, copies, error) != 0) {
      problem = error;
      return false;
    }
    if (copies.empty()) {
      if (problem.empty()) problem = "no pack holds it";
      return false;
    }
    bool moved = false;
    for (const Location& location : copies) {
      std::string why;
      const Result result = Read(location, digest, size, block, why);
      if (result == Result::kOk) return true;
      if (result == Result::kMoved) {
        moved = true;
        continue;
      }
      problem += (problem.empty() ? "" : "; ") + why;
    }
    if (!moved) return false;
  }
  if (problem.empty()) problem = "its pack files keep moving";
  return false;
}

}  // namespace cldb
