#include "CldbIdentity.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

const char kAppPrefix[] = "ZEL_CLDB_APP_";
const char kAuxPrefix[] = "ZEL_CLDB_AUX_";

// FNV-1a: stable across runs and builds, which std::hash is not.
uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string LockName(const std::string& cldbFolder) {
  std::error_code ec;
  std::filesystem::path path =
      std::filesystem::weakly_canonical(std::filesystem::absolute(cldbFolder, ec), ec);
  if (ec) path = cldbFolder;
  path = path.lexically_normal();
  if (!path.has_filename()) path = path.parent_path();  // "…/ZEL_CLDB_APP_1_1/"
  char name[40];
  std::snprintf(name, sizeof(name), "cldb-tool-%016" PRIx64, Fnv1a(path.string()));
  return name;
}

bool ParseId(const std::string& digits, uint32_t& id) {
  if (digits.empty() || digits.size() > 10) return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
  if (value > UINT32_MAX) return false;
  id = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

std::string CldbIdentity::FolderName() const {
  if (auxCopy) return kAuxPrefix + std::to_string(copy);
  return kAppPrefix + std::to_string(app) + "_" + std::to_string(copy);
}

std::string CldbIdentity::Describe() const {
  if (auxCopy) return "auxiliary copy " + std::to_string(copy);
  return "client " + std::to_string(app) + " copy " + std::to_string(copy);
}

bool CldbIdFromFolderName(const std::string& folder, uint32_t& cldbId) {
  std::filesystem::path path = std::filesystem::path(folder).lexically_normal();
  if (!path.has_filename()) path = path.parent_path();  // "…/ZEL_CLDB_APP_1_1/"
  const std::string name = path.filename().string();
  const size_t prefixLength = sizeof(kAppPrefix) - 1;
  if (name.compare(0, prefixLength, kAuxPrefix) == 0)
    return ParseId(name.substr(prefixLength), cldbId);
  if (name.compare(0, prefixLength, kAppPrefix) != 0) return false;
  const std::string ids = name.substr(prefixLength);
  const size_t separator = ids.find('_');
  return separator != std::string::npos && ParseId(ids.substr(0, separator), cldbId);
}

FolderLock::FolderLock(const std::string& cldbFolder) : lock_(LockName(cldbFolder).c_str()) {}

bool FolderLock::TryLock() { return lock_.set(0); }
