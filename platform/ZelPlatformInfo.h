// Platform configuration and installation facts.
//
// Configuration file, read once per process (again after Reload()):
//   1. the file named by the environment variable CLDB_CONFIG, when that is
//      set: then the only candidate (a missing file means an empty
//      configuration, with a warning; /dev/null means none, silently);
//   2. else $XDG_CONFIG_HOME/cldb/cldb.conf when it exists (XDG_CONFIG_HOME
//      defaults to ~/.config);
//   3. else /etc/cldb/cldb.conf when it exists.
// Its format, its sections and keys, and what it warns of are in
// platform/ConfigFile.h; in short:
//   [Courier] / [Warden]  CLDBCtreeBufferCount, CLDBCtreeNodeSize,
//                         MaxCacheDBSizeMB, CLDBCompactIntervalDays
//   [CLDB]                RootFolder (default CLDB root folder),
//                         CloudLaptopClient (1 on a laptop client),
//                         FileMode (of new files: 600, 640 or 644)
//   [CLDBRootFolders]     <rootFolderKey> = <folder>
//   [EvDebug]             DebugLevel, LogFile
// Inline comments follow whitespace; quotes around a value are dropped;
// numbers are decimal; folders and files are absolute paths. A value that
// breaks a rule is absent (its default applies) and draws a warning.
//
// The warnings of one load are logged once, at level 0, to the default
// destination of EvDebug; a command-line host may show them (Warnings()).
// Tests set in-process overrides that take precedence over the file.
//
// Every operation is safe from any thread; look-ups after the first read
// only copy from memory.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ZelPI_PlatformBase {
 public:
  virtual ~ZelPI_PlatformBase() = default;
  void setFocus(const std::string& focus) { focus_ = focus; }
  const std::string& getFocus() const { return focus_; }

 private:
  std::string focus_;
};

// The focus names the installation instance whose settings apply.
class ZelPI_Focus {
 public:
  static std::string getFocus();  // $CLDB_FOCUS, or "Instance001"
};

class ZelPlatformInfo : public ZelPI_PlatformBase {
 public:
  // Non-zero when the key exists and holds a number (value stored), 0
  // otherwise (value untouched).
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

  // The modes the library, and the tool, create their files and folders
  // with: [CLDB] FileMode (default 0600, private), and for folders the same
  // with search permission wherever it grants reading (0700, 0750, 0755).
  // Lock files stay 0600 whatever is set. The process umask still applies.
  static mode_t NewFileMode();
  static mode_t NewFolderMode();

#if CLDB_TEST_HOOKS
  // Test hooks: in-process overrides, consulted before the configuration
  // file.
  static void SetOverride(const std::string& section, const std::string& key,
                          const std::string& value);
  static void SetOverride(const std::string& section, const std::string& key, unsigned long value);
  static void ClearOverride(const std::string& section, const std::string& key);
  static void ClearOverrides();
#endif
  // Forgets the file read so far; the next look-up reads it again.
  static void Reload();

  // The warnings of the configuration as loaded now (loading it first when
  // needed), one line each, "<file>:<line>: <problem>" or "<file>: <problem>".
  // `load`, when given, receives the number of that load, different for
  // each, so a reporter can report each load once.
  static std::vector<std::string> Warnings(unsigned long* load = nullptr);
};
