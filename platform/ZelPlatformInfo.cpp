#include "platform/ZelPlatformInfo.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <mutex>
#include <utility>

namespace {

using Key = std::pair<std::string, std::string>;  // section, key
using Values = std::map<Key, std::string>;

// The parsed file and the overrides, guarded by one mutex.
struct Config {
  std::mutex mutex;
  bool loaded = false;
  Values file;
  Values overrides;
};

Config& C() {
  static Config* c = new Config;  // never destroyed: used from static destructors
  return *c;
}

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && *home == '/') return home;
  passwd pw, *result = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &result) == 0 && result &&
      result->pw_dir && result->pw_dir[0] == '/')
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

// CLDB_CONFIG, when set, is the only candidate, so a host (or a test) can
// keep the user's and the machine's files out of its way.
std::string ConfigPath() {
  const char* explicitPath = getenv("CLDB_CONFIG");
  if (explicitPath && *explicitPath) return explicitPath;
  std::string xdg = XdgFolder("XDG_CONFIG_HOME", ".config");
  if (!xdg.empty()) {
    std::string path = xdg + "/cldb/cldb.conf";
    if (access(path.c_str(), F_OK) == 0) return path;
  }
  return "/etc/cldb/cldb.conf";
}

Values Parse(std::istream& in) {
  Values values;
  std::string section, raw;
  while (std::getline(in, raw)) {
    std::string line = Trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close != std::string::npos) section = Trim(line.substr(1, close - 1));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    if (!key.empty()) values[{section, key}] = Trim(line.substr(eq + 1));
  }
  return values;
}

// Caller holds the mutex.
void LoadIfNeeded(Config& c) {
  if (c.loaded) return;
  c.loaded = true;
  std::ifstream in(ConfigPath());
  c.file = in ? Parse(in) : Values();
}

bool Lookup(const char* section, const char* key, std::string& value) {
  if (!section || !key) return false;
  Config& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  Key k{section, key};
  auto it = c.overrides.find(k);
  if (it == c.overrides.end()) {
    LoadIfNeeded(c);
    it = c.file.find(k);
    if (it == c.file.end()) return false;
  }
  value = it->second;
  return true;
}

// Decimal, or hexadecimal with a 0x prefix; a leading '-' wraps as strtoul does.
bool ParseNumber(const std::string& text, unsigned long& value) {
  if (text.empty()) return false;
  const char* s = text.c_str();
  const char* digits = (s[0] == '-' || s[0] == '+') ? s + 1 : s;
  int base = (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) ? 16 : 10;
  errno = 0;
  char* end = nullptr;
  unsigned long v = strtoul(s, &end, base);
  if (errno != 0 || end == s || *end != '\0') return false;
  value = v;
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
  if (!Lookup(section, key, text) || !ParseNumber(text, parsed)) return 0;
  if (value) *value = parsed;
  return 1;
}

int ZelPlatformInfo::getString(const char* section, const char* key, std::string& value) {
  return Lookup(section, key, value) ? 1 : 0;
}

int ZelPlatformInfo::GetCLDBRootFolder(const std::string& rootFolderKey,
                                       std::string& rootFolder) {
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

void ZelPlatformInfo::Reload() {
  Config& c = C();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.loaded = false;
  c.file.clear();
}
