#include "Backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bench {

uint64_t DiskBytes(const Backend& backend) {
  uint64_t bytes = 0;
  for (const std::string& path : backend.Files()) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) bytes += static_cast<uint64_t>(st.st_size);
  }
  return bytes;
}

void EvictFromCache(const Backend& backend) {
  for (const std::string& path : backend.Files()) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    fdatasync(fd);  // only clean pages can be dropped
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
}

}  // namespace bench
