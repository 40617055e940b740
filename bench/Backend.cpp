#include "Backend.h"

#include "FileTools.h"

namespace bench {

uint64_t DiskBytes(const Backend& backend) {
  uint64_t bytes = 0;
  for (const std::string& path : backend.Files()) bytes += FileBytes(path);
  return bytes;
}

void EvictFromCache(const Backend& backend) {
  for (const std::string& path : backend.Files()) EvictFile(path);
}

}  // namespace bench
