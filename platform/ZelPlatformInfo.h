// Platform configuration and installation facts.
//
// Configuration file, read once per process (again after Reload()):
//   1. the file named by the environment variable CLDB_CONFIG, when that is
//      set (a missing file then means an empty configuration);
//   2. else $XDG_CONFIG_HOME/cldb/cldb.conf when it exists (XDG_CONFIG_HOME
//      defaults to ~/.config);
//   3. else /etc/cldb/cldb.conf.
// Format: INI-style lines. "[Section]" starts a section; "Key = Value" sets
// a value in it; blank lines and lines starting with '#' or ';' are ignored.
// Section and key names are case-sensitive; a later line replaces an earlier
// one of the same key. Numbers are decimal, or hexadecimal with a 0x prefix;
// a value that is not a whole number reads as absent for getNumber.
//
// Known sections and keys:
//   [Courier] / [Warden]  CLDBCtreeBufferCount, CLDBCtreeNodeSize,
//                         MaxCacheDBSizeMB, CLDBCompactIntervalDays
//   [CLDB]                RootFolder (default CLDB root folder),
//                         CloudLaptopClient (1 on a laptop client)
//   [CLDBRootFolders]     <rootFolderKey> = <folder>
//   [EvDebug]             DebugLevel, LogFile
//
// Tests set in-process overrides that take precedence over the file.
#pragma once

#include "platform/Export.h"

#include <string>

class CLDB_EXPORT ZelPI_PlatformBase {
 public:
  virtual ~ZelPI_PlatformBase() = default;
  void setFocus(const std::string& focus) { focus_ = focus; }
  const std::string& getFocus() const { return focus_; }

 private:
  std::string focus_;
};

// The focus names the installation instance whose settings apply.
class CLDB_EXPORT ZelPI_Focus {
 public:
  static std::string getFocus();  // $CLDB_FOCUS, or "Instance001"
};

class CLDB_EXPORT ZelPlatformInfo : public ZelPI_PlatformBase {
 public:
  // Non-zero when the key exists (value stored), 0 otherwise (value untouched).
  static int getNumber(const char* section, const char* key, unsigned long* value);
  // Non-zero when the key exists.
  static int getString(const char* section, const char* key, std::string& value);

  // Resolves the CLDB root folder for `rootFolderKey`, in this order:
  //   [CLDBRootFolders] <rootFolderKey>; the key itself when it is an
  //   absolute path; [CLDB] RootFolder; $XDG_DATA_HOME/cldb (default
  //   ~/.local/share/cldb). 0 on success; -1 when no folder can be named.
  int GetCLDBRootFolder(const std::string& rootFolderKey, std::string& rootFolder);

  // 1 on a cloud laptop client ([CLDB] CloudLaptopClient = 1), else 0.
  static int IsCloudLaptopClient();

  // In-process overrides, consulted before the configuration file.
  static void SetOverride(const std::string& section, const std::string& key,
                          const std::string& value);
  static void SetOverride(const std::string& section, const std::string& key,
                          unsigned long value);
  static void ClearOverride(const std::string& section, const std::string& key);
  static void ClearOverrides();
  // Forgets the file read so far; the next look-up reads it again.
  static void Reload();
};
