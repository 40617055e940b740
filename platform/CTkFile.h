// File, path and directory utilities over POSIX.
#pragma once

#include <string>
#include <vector>

#include "platform/CTkError.h"

class CTkFile {
 public:
  CTkFile() = default;
  ~CTkFile();  // closes an open file
  CTkFile(const CTkFile&) = delete;
  CTkFile& operator=(const CTkFile&) = delete;

  CTkError Open(const char* path, int flags, int mode);  // open(2) flags and mode
  // Opens an existing regular file (`flags` without O_CREAT) without
  // following a link and without blocking on a special file: a link, a
  // FIFO, a folder or a device is refused with an error that says so.
  CTkError OpenRegular(const char* path, int flags);
  CTkError Close();
  bool IsValid() const { return fd_ >= 0; }
  CTkError Size(unsigned long long& size);
  // Reads up to `length` bytes from the current position; `read` may be null.
  CTkError Read(void* buffer, unsigned int length, unsigned int* read);
  // Writes all `length` bytes at the current position (retrying short
  // writes); `written` receives the count actually written.
  CTkError Write(const void* buffer, unsigned int length, unsigned int* written);
  // Cuts the file to `length`; the next write starts at `length`.
  CTkError Truncate(long length);
  // Makes the file's content durable (fsync).
  CTkError Flush();

  // Copies a regular file; neither path is followed when it is a link.
  static CTkError Copy(const char* source, const char* destination);
  static CTkError Rename(const char* from, const char* to);  // atomic on one file system

 private:
  int fd_ = -1;
};

class CTkPath {
 public:
  static CTkError Exists(const char* path, bool& exists);
  static CTkString Append(const char* folder, const char* name);  // one '/' between
  static bool IsDirectory(const char* path);
};

// One directory entry; converts to its name.
struct STkDirEntry {
  CTkString name;
  bool isDirectory = false;
  operator const char*() const { return name.c_str(); }
};

class CTkDirectory {
 public:
  // Called once per entry: (folder, entry name, entry is a folder, context).
  // A returned error stops the walk and is returned by Walk.
  using WalkCallback = CTkError (*)(const char* folder, const char* name, bool isDirectory,
                                    void* context);

  CTkDirectory() = default;
  ~CTkDirectory();
  CTkDirectory(const CTkDirectory&) = delete;
  CTkDirectory& operator=(const CTkDirectory&) = delete;

  // Creates `folder` (and its parents when `recursive`), mode
  // ZelPlatformInfo::NewFolderMode() (0700 unless configured); success
  // when it exists.
  static CTkError Create(const char* folder, bool recursive);
  // Removes `folder`; with `recursive` all its content too.
  static CTkError Remove(const char* folder, bool recursive, bool keepFolder);
  // Walks the entries of `folder` ("." and ".." excluded), not descending
  // unless `recursive`; `flags` is reserved and must be 0.
  static CTkError Walk(const char* folder, void* context, int flags, bool recursive,
                       WalkCallback callback);
  // fsyncs the folder itself, making renames and creations in it durable.
  static CTkError Sync(const char* folder);
  // Removes the entries of `folder` named in `names` that exist, a folder
  // entry with all its content. Everything happens relative to a handle of
  // `folder` opened without following links, and no link inside is ever
  // followed (a link is removed itself), so nothing outside `folder` is
  // touched; a `folder` that is a link is refused. Stops at the first entry
  // that cannot be removed.
  static CTkError RemoveNamed(const char* folder, const std::vector<std::string>& names);

  // Lists the entries of one folder matching `pattern` ("*" for all).
  CTkError Open(const char* folder, const char* pattern, bool skipDots);
  // Next entry; `end` is set when the listing is over.
  CTkError GetEntry(STkDirEntry& entry, bool& end);
  CTkError Close();

 private:
  void* dir_ = nullptr;  // DIR*
  std::string folder_;
  std::string pattern_;
  bool skipDots_ = true;
};
