#include "platform/ZelPlatformInfo.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/ConfigFile.h"

namespace {

using Values = std::map<cldb::ConfigFile::Key, std::string>;

// The parsed file and the overrides, guarded by one mutex.
struct Config {
  std::mutex mutex;
  bool loaded = false;
  unsigned long load = 0;  // number of the current load; 0 before the first
  cldb::ConfigFile file;
  Values overrides;
};

Config& C() {
  static Config* c = new Config;  // never destroyed: used from static destructors
  return *c;
}

// Larger files are refused rather than read: the path might name a device.
constexpr size_t kMaxConfigBytes = 1 << 20;

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && *home == '/') return home;
  passwd pw, *result = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &result) == 0 && result && result->pw_dir &&
      result->pw_dir[0] == '/')
    return result->pw_dir;
  return "";
}

// $VAR when it names an absolute path, else ~/<fallback>; "" when neither.
std::string XdgFolder(const char* var, const char* fallback) {
  const char* value = getenv(var);
  if (value && *value == '/') return value;
  std::string home = HomeFolder();
  return home.empty() ? "" : home + "/" + fallback;
}

struct Source {
  std::string path;
  bool named = false;  // by CLDB_CONFIG: its absence is worth a warning
};

// CLDB_CONFIG, when set, is the only candidate, so a host (or a test) can
// keep the user's and the machine's files out of its way.
Source ConfigSource() {
  const char* explicitPath = getenv("CLDB_CONFIG");
  if (explicitPath && *explicitPath) return {explicitPath, true};
  std::string xdg = XdgFolder("XDG_CONFIG_HOME", ".config");
  if (!xdg.empty()) {
    std::string path = xdg + "/cldb/cldb.conf";
    if (access(path.c_str(), F_OK) == 0) return {path, false};
  }
  return {"/etc/cldb/cldb.conf", false};
}

// The whole file into `text`; 0, or the errno of the failure (EFBIG: too large).
int ReadWhole(const std::string& path, std::string& text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not hang us
  if (fd < 0) return errno;
  char buffer[8192];
  int error = 0;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxConfigBytes) {
      error = EFBIG;
      break;
    }
  }
  close(fd);
  return error;
}

std::string ErrorText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);  // the GNU form: thread-safe
}

cldb::ConfigFile Load() {
  Source source = ConfigSource();
  std::string text;
  int error = ReadWhole(source.path, text);
  if (error == 0) return cldb::ParseConfig(text, source.path);
  cldb::ConfigFile none;
  if (error == ENOENT && !source.named) return none;
  std::string why = error == ENOENT  ? "no such file (named by CLDB_CONFIG)"
                    : error == EFBIG ? "larger than " + std::to_string(kMaxConfigBytes) + " bytes"
                                     : std::string("cannot be read: ") + ErrorText(error);
  none.warnings.push_back(source.path + ": " + why + "; no configuration is read");
  return none;
}

// Caller holds the mutex.
void LoadIfNeeded(Config& c) {
  if (c.loaded) return;
  c.file = Load();
  c.loaded = true;
  ++c.load;
}

bool Lookup(const char* section, const char* key, std::string& value) {
  if (!section || !key) return false;
  Config& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  cldb::ConfigFile::Key k{section, key};
  auto it = c.overrides.find(k);
  if (it == c.overrides.end()) {
    LoadIfNeeded(c);
    it = c.file.values.find(k);
    if (it == c.file.values.end()) return false;
  }
  value = it->second;
  return true;
}

}  // namespace

std::string ZelPI_Focus::getFocus() {
  const char* focus = getenv("CLDB_FOCUS");
  return (focus && *focus) ? focus : "Instance001";
}

int ZelPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
  std::string text;
  unsigned long parsed = 0;
  if (!Lookup(section, key, text) || !cldb::ParseConfigNumber(text, ULONG_MAX, parsed)) return 0;
  if (value) *value = parsed;
  return 1;
}

int ZelPlatformInfo::getString(const char* section, const char* key, std::string& value) {
  return Lookup(section, key, value) ? 1 : 0;
}

int ZelPlatformInfo::GetCLDBRootFolder(const std::string& rootFolderKey, std::string& rootFolder) {
  std::string folder;
  if (!rootFolderKey.empty() && getString("CLDBRootFolders", rootFolderKey.c_str(), folder) &&
      !folder.empty()) {
    rootFolder = folder;
    return 0;
  }
  if (!rootFolderKey.empty() && rootFolderKey[0] == '/') {
    rootFolder = rootFolderKey;
    return 0;
  }
  if (getString("CLDB", "RootFolder", folder) && !folder.empty()) {
    rootFolder = folder;
    return 0;
  }
  std::string data = XdgFolder("XDG_DATA_HOME", ".local/share");
  if (data.empty()) return -1;
  rootFolder = data + "/cldb";
  return 0;
}

int ZelPlatformInfo::IsCloudLaptopClient() {
  unsigned long value = 0;
  return getNumber("CLDB", "CloudLaptopClient", &value) && value != 0 ? 1 : 0;
}

mode_t ZelPlatformInfo::NewFileMode() {
  std::string text;
  mode_t mode = 0600;
  if (getString("CLDB", "FileMode", text)) cldb::ParseConfigFileMode(text, mode);
  return mode;
}

mode_t ZelPlatformInfo::NewFolderMode() {
  const mode_t file = NewFileMode();
  return file | ((file & 0444) >> 2);
}

#if CLDB_TEST_HOOKS
void ZelPlatformInfo::SetOverride(const std::string& section, const std::string& key,
                                  const std::string& value) {
  Config& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.overrides[{section, key}] = value;
}

void ZelPlatformInfo::SetOverride(const std::string& section, const std::string& key,
                                  unsigned long value) {
  SetOverride(section, key, std::to_string(value));
}

void ZelPlatformInfo::ClearOverride(const std::string& section, const std::string& key) {
  Config& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.overrides.erase({section, key});
}

void ZelPlatformInfo::ClearOverrides() {
  Config& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.overrides.clear();
}
#endif

void ZelPlatformInfo::Reload() {
  Config& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.loaded = false;
  c.file = {};
}

std::vector<std::string> ZelPlatformInfo::Warnings(unsigned long* load) {
  Config& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  LoadIfNeeded(c);
  if (load) *load = c.load;
  return c.file.warnings;
}
