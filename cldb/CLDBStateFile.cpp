// CCLDBStateFile: State.xml as a file: its lock, its transactions (open,
// create, close), its atomic rewrite and its sanity check. The document
// itself is CLDBStateDocument.cpp's.
#include "cldb/CLDBStateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/util/XMLString.hpp>

#include "cldb/CLDBNames.h"
#include "cldb/CLDBTime.h"
#include "platform/Clock.h"
#include "platform/FileIo.h"
#include "platform/MDLock.h"
#include "platform/ZelPlatformInfo.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

const char kFileName[] = "State.xml";
const char kTempSuffix[] = ".tmp";
const unsigned long long kMinFileSize = 128;
// Also the bound of every parse: a larger file is damaged, never read whole.
const unsigned long long kMaxFileSize = 1023;

std::atomic<unsigned int> g_lockTimeoutMs{60000};

// The tags the sanity check requires, in the order it looks for them.
const char kFragments[17][128] = {
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>",
    "<CLDB>",
    "<Version>",
    "</Version>",
    "<State>",
    "</State>",
    "<CLDBID>",
    "</CLDBID>",
    "<SIDBSTOREID>",
    "</SIDBSTOREID>",
    "<LastCompactTime>",
    "</LastCompactTime>",
    "<RECORDCOUNT>",
    "</RECORDCOUNT>",
    "<LastAccessTime>",
    "</LastAccessTime>",
    "</CLDB>",
};

enum class LoadResult { kOk, kOpenFailed, kNoSize, kTooLarge, kReadFailed };

// Opens `path` (an existing regular file, never a link, never blocking) into
// `file` with `flags` and reads it whole into `text` when it is at most
// kMaxFileSize bytes. `size` and `err` tell the caller what went wrong.
LoadResult LoadFile(CTkFile& file, const std::string& path, int flags, std::string& text,
                    unsigned long long& size, CTkError& err) {
  err = file.OpenRegular(path.c_str(), flags);
  if (err.IsError()) return LoadResult::kOpenFailed;
  size = 0;
  err = file.Size(size);
  if (err.IsError()) return LoadResult::kNoSize;
  if (size > kMaxFileSize) return LoadResult::kTooLarge;
  text.assign(size, '\0');
  unsigned int read = 0;
  err = file.Read(&text[0], static_cast<unsigned int>(size), &read);
  if (err.IsError()) return LoadResult::kReadFailed;
  text.resize(read);
  return LoadResult::kOk;
}

}  // namespace

CCLDBStateFile::CCLDBStateFile() : log_(&ownLog_) {}

CCLDBStateFile::~CCLDBStateFile() { Uninitialize(); }

void CCLDBStateFile::SetLockTimeout(unsigned int milliseconds) { g_lockTimeoutMs = milliseconds; }

unsigned int CCLDBStateFile::LockTimeout() { return g_lockTimeoutMs; }

// ---- Lifecycle and lock ------------------------------------------------------

int CCLDBStateFile::Initialize(unsigned int cldbId, EvDebug* log, const char* folder) {
  char lockName[64];
  snprintf(lockName, sizeof(lockName), "SIDBStateFileLock_Engine_%u", cldbId);
  log_ = &ownLog_;
  cldbId_ = cldbId;
  folder_ = folder ? folder : "";
  lock_.reset();
  // The lock lives in the CLDB folder itself: every process that can reach
  // State.xml meets it, whatever its environment, and no one who cannot
  // write the folder can make, replace or hold it.
  lock_ = std::make_unique<MDLock>(folder_.c_str(), lockName);
  if (!lock_->IsValid()) {
    log_->DebugLvl("CCLDBStateFile::Initialize()", 1, "[ERROR] MDLock Initialization failed");
    lock_.reset();
    initialized_ = false;
    return -1;
  }
  initialized_ = true;
  return 0;
}

// Besides closing, Uninitialize lets go of every XML library object (a
// document left by a failed Create, the serialisation buffer), so that a
// host may terminate the XML library while this object still exists.
int CCLDBStateFile::Uninitialize() {
  Close();
  Discard();
  buffer_.reset();
  initialized_ = false;
  lock_.reset();
  return 0;
}

int CCLDBStateFile::Lock() {
  if (lock_ && lock_->set(LockTimeout())) return 0;
  log_->debugLvl(1, "Cannot lock the mutex.");
  return -1;
}

int CCLDBStateFile::Unlock() {
  if (lock_) lock_->unset();
  return 0;
}

int CCLDBStateFile::Exists(const char* folder, bool& exists, EvDebug* log) {
  std::string path = std::string(folder ? folder : "") + "/" + kFileName;
  CTkError err = CTkPath::Exists(path.c_str(), exists);
  if (!err.IsError()) return 0;
  EvDebug ownLog;
  (log ? log : &ownLog)
      ->debugLvl(1, "Cannot check whether [%s] exists or not, error=%s", path.c_str(),
                 err.AsString());
  return -1;
}

void CCLDBStateFile::BuildPath() { path_ = folder_ + "/" + kFileName; }

// ---- Open, Create, Close ------------------------------------------------------

int CCLDBStateFile::Open() {
  if (!initialized_) {
    log_->DebugLvl("CCLDBStateFile::Open", 1, "Not Initialized");
    return -1;
  }
  // Opened for reading and writing, which proves the file ours to change
  // before anything is changed (the rewrite itself goes through a new file).
  return Load(O_RDWR);
}

int CCLDBStateFile::OpenForReading(const char* folder) {
  if (initialized_ || open_) {
    log_->DebugLvl("CCLDBStateFile::OpenForReading", 1, "Already initialized or open");
    return -1;
  }
  folder_ = folder ? folder : "";
  if (Load(O_RDONLY) != 0) return -1;
  readOnly_ = true;
  return 0;
}

int CCLDBStateFile::Load(int flags) {
  if (open_) {
    log_->debugLvl(1, "State-File found opened state");
    return -1;
  }
  bool exists = false;
  Exists(folder_.c_str(), exists, log_);
  if (!exists) {
    log_->debugLvl(1, "State File does not exist[%s]", folder_.c_str());
    return -1;
  }
  Discard();
  BuildPath();
  std::string text;
  unsigned long long size = 0;
  CTkError err;
  switch (LoadFile(file_, path_, flags, text, size, err)) {
    case LoadResult::kOk:
      break;
    case LoadResult::kTooLarge:
      log_->debugLvl(1, "State file [%s] is too large to be ours [%llu bytes]", path_.c_str(),
                     size);
      Discard();
      return -1;
    default:
      log_->debugLvl(1, "Cannot open file [%s], error=%s", path_.c_str(), err.AsString());
      Discard();
      return -1;
  }
  if (Parse(text) != 0) {
    Discard();
    return -1;
  }
  static const XMLCh kRoot[] = {'C', 'L', 'D', 'B', 0};
  if (XMLString::compareIString(document_->getDocumentElement()->getTagName(), kRoot) != 0) {
    log_->debugLvl(1, "Invalid state.xml file CLDB tag not found[%s]", path_.c_str());
    Discard();
    return -1;
  }
  open_ = true;
  return 0;
}

int CCLDBStateFile::Create(unsigned int SIDBStoreId) {
  unsigned int createTime = ZelNow32();
  if (!initialized_) {
    log_->DebugLvl("CCLDBStateFile::Create()", 1, "Not Initialized");
    return -1;
  }
  if (Lock() != 0) {
    log_->DebugLvl("CCLDBStateFile::Create()", 1, "Lock failed");
    return -1;
  }
  Discard();
  BuildPath();
  BuildDocument(SIDBStoreId, createTime);
  // O_EXCL: an existing State.xml (or a link in its place) is never
  // replaced by a new CLDB's.
  CTkError err = file_.Open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC,
                            ZelPlatformInfo::NewFileMode());
  if (err.IsError()) {
    log_->debugLvl(1, "Cannot open file [%s], error=%s", path_.c_str(), err.AsString());
    Unlock();
    return -1;
  }
  modified_ = true;
  open_ = true;
  int rc = Finish(true);
  // A creation that could not write its document leaves no file behind.
  if (rc != 0) cldb::io::Unlink(path_.c_str());
  Unlock();
  return rc;
}

int CCLDBStateFile::Close() {
  Finish(true);
  return 0;
}

int CCLDBStateFile::Finish(bool write) {
  if (!open_) return 0;
  int rc = 0;
  if (write && !readOnly_) {
    SetElementText(cldb::state::kLastAccessTime, ZelNow32());
    rc = Write();
    if (rc != 0) log_->debugLvl(1, "[%s] Cannot write the state file.", "CCLDBStateFile::Close");
  }
  Discard();
  return rc;
}

void CCLDBStateFile::Discard() {
  document_.reset();
  modified_ = false;
  file_.Close();
  open_ = false;
  readOnly_ = false;
}

// ---- Write ---------------------------------------------------------------------

int CCLDBStateFile::Write() {
  if (!modified_) return 0;
  if (!open_ || !document_ || readOnly_) {
    log_->debugLvl(1, "Cannot write [%s], no open document", path_.c_str());
    return -1;
  }
  if (Serialize() != 0 || ReplaceFile() != 0) return -1;
  modified_ = false;
  return 0;
}

// Puts buffer_ in place of State.xml: write "State.xml.tmp", make it
// durable, rename it over State.xml and make the rename durable. Until the
// rename State.xml is untouched; after it, it is the new file, whole.
int CCLDBStateFile::ReplaceFile() {
  const std::string temp = path_ + kTempSuffix;
  // A temporary file left by a crash goes first; whatever else stands in
  // its place (a link, a folder) makes the exclusive creation fail.
  cldb::io::Unlink(temp.c_str());
  CTkFile out;
  CTkError err =
      out.Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, ZelPlatformInfo::NewFileMode());
  if (err.IsError()) {
    log_->debugLvl(1, "Cannot open file [%s], error=%s", temp.c_str(), err.AsString());
    return -1;
  }
  const unsigned int length = buffer_->getLen();
  unsigned int written = 0;
  err = out.Write(buffer_->getRawBuffer(), length, &written);
  if (err.IsError() || written != length) {
    log_->debugLvl(1, "Cannot write to file [%s], To Write [%d], Written [%d], error=%s",
                   temp.c_str(), static_cast<int>(length), static_cast<int>(written),
                   err.AsString());
  } else if ((err = out.Flush()).IsError()) {
    log_->debugLvl(1, "Error in flushing the file [%s], error=%s", temp.c_str(), err.AsString());
  } else if ((err = out.Close()).IsError()) {
    log_->debugLvl(1, "Cannot close file [%s], error=%s", temp.c_str(), err.AsString());
  } else if ((err = CTkFile::Rename(temp.c_str(), path_.c_str())).IsError()) {
    log_->debugLvl(1, "Cannot rename [%s] to [%s], error=%s", temp.c_str(), path_.c_str(),
                   err.AsString());
  } else {
    err = CTkDirectory::Sync(folder_.c_str());
    if (!err.IsError()) return 0;
    log_->debugLvl(1, "Cannot sync folder [%s], error=%s", folder_.c_str(), err.AsString());
    return -1;
  }
  out.Close();
  cldb::io::Unlink(temp.c_str());
  return -1;
}

// ---- Sanity check ----------------------------------------------------------------

int CCLDBStateFile::CheckStatefileSanity() {
  static const char kName[] = "CCLDBStateFile::CheckStatefileSanity";
  BuildPath();
  // A handle of its own, so a check never disturbs an open document's.
  CTkFile file;
  std::string text;
  unsigned long long size = 0;
  CTkError err;
  switch (LoadFile(file, path_, O_RDWR, text, size, err)) {
    case LoadResult::kOpenFailed:
      log_->debugLvl(1, "%s: Cannot open file [%s], error=%s", kName, path_.c_str(),
                     err.AsString());
      return -1;
    case LoadResult::kNoSize:
      log_->debugLvl(1, " %s: Cannot get file size [%s], error=%s", kName, path_.c_str(),
                     err.AsString());
      return -1;
    case LoadResult::kReadFailed:
      log_->debugLvl(1, " %s: Cannot read file [%s], error=%s", kName, path_.c_str(),
                     err.AsString());
      return -1;
    case LoadResult::kTooLarge:
    case LoadResult::kOk:
      break;
  }
  if (size < kMinFileSize || size > kMaxFileSize) {
    log_->debugLvl(1, " %s: abnormalfile size [%s] [%llu]", kName, path_.c_str(), size);
    return -1;
  }
  file.Close();
  // Searched as a zero-terminated string: a zero byte hides what follows.
  for (const char* fragment : kFragments) {
    if (!strstr(text.c_str(), fragment)) {
      log_->debugLvl(1, " %s: Statefile found corrupted [%s]", kName, path_.c_str());
      return -1;
    }
  }
  return 0;
}

// ---- Typed accessors ----------------------------------------------------------------

template <typename Read>
int CCLDBStateFile::ReadLocked(const char* operation, bool checkSanity, Read read) {
  // Without the lock the value is still read, but another process may be
  // rewriting the file, so it is not rewritten from here.
  const bool locked = Lock() == 0;
  if (!locked) log_->debugLvl(1, "[%s] Lock failed", operation);
  if (checkSanity && CheckStatefileSanity() != 0) {
    Unlock();
    return -1;
  }
  if (Open() != 0) {
    log_->debugLvl(1, "[%s] Open failed", operation);
    Unlock();
    return -1;
  }
  const int rc = read();
  Finish(locked);
  Unlock();
  if (rc != 0) log_->debugLvl(1, "[%s] failed", operation);
  return rc == 0 ? 0 : 1;
}

template <typename T>
int CCLDBStateFile::ReadValue(const char* operation, const char* element, T& value,
                              bool checkSanity, int missingResult) {
  const int rc = ReadLocked(operation, checkSanity, [&] { return GetElementText(element, value); });
  return rc == 1 ? missingResult : rc;
}

template <typename T>
int CCLDBStateFile::WriteValue(const char* operation, const char* element, T value,
                               bool closeOpen) {
  if (Lock() != 0) {
    log_->debugLvl(1, "[%s] Lock failed", operation);
    return -1;
  }
  if (closeOpen) Close();
  if (Open() != 0) {
    log_->debugLvl(1, "[%s] Open failed", operation);
    Unlock();
    return -1;
  }
  SetElementText(element, value);
  const int rc = Finish(true);
  Unlock();
  return rc;
}

int CCLDBStateFile::GetVersion(unsigned int& version) {
  return ReadValue("CCLDBStateFile::GetVersion", cldb::state::kVersion, version, false, 0);
}

int CCLDBStateFile::GetState(unsigned int& state) {
  return ReadValue("CCLDBStateFile::GetState", cldb::state::kState, state, true, 0);
}

int CCLDBStateFile::SetState(unsigned int state) {
  return WriteValue("CCLDBStateFile::SetState", cldb::state::kState, state, false);
}

int CCLDBStateFile::GetSIDBStoreID(unsigned int& id) {
  return ReadValue("CCLDBStateFile::GetSIDBStoreID", cldb::state::kStoreId, id, false, 0);
}

int CCLDBStateFile::SetSIDBStoreID(unsigned int id) {
  return WriteValue("CCLDBStateFile::SetSIDBStoreID", cldb::state::kStoreId, id, false);
}

int CCLDBStateFile::GetRecordCount(unsigned long long& count) {
  return ReadValue("CCLDBStateFile::GetRecordCOunt", cldb::state::kRecordCount, count, false, 0);
}

int CCLDBStateFile::SetRecordCount(unsigned long long count) {
  return WriteValue("CCLDBStateFile::SetRecordCount", cldb::state::kRecordCount, count, false);
}

int CCLDBStateFile::GetLastCompactTime(unsigned int& time) {
  return ReadValue("CCLDBStateFile::GetLastCompactTime", cldb::state::kLastCompactTime, time, false,
                   0);
}

int CCLDBStateFile::SetLastCompactTime(unsigned int time) {
  return WriteValue("CCLDBStateFile::SetLastCompactTime", cldb::state::kLastCompactTime, time,
                    false);
}

int CCLDBStateFile::GetLastAccessTime(unsigned int& time) {
  return ReadValue("CCLDBStateFile::GetLastAccessTime", cldb::state::kLastAccessTime, time, false,
                   -1);
}

int CCLDBStateFile::GetStampFloor(unsigned int& floor) {
  unsigned int access = 0, newest = 0;
  int accessRc = 1, newestRc = 1;
  const int rc = ReadLocked("CCLDBStateFile::GetStampFloor", false, [&] {
    accessRc = GetElementText(cldb::state::kLastAccessTime, access);
    newestRc = GetElementText(cldb::state::kNewestStamp, newest);
    // Older files have no NewestStamp; a value that is there must be a number.
    const bool damaged = accessRc < 0 || newestRc < 0 || (accessRc != 0 && newestRc != 0);
    return damaged ? -1 : 0;
  });
  if (rc != 0) return -1;
  if (accessRc != 0)
    floor = newest;
  else if (newestRc != 0)
    floor = access;
  else
    floor = cldb::Later(access, newest);
  return 0;
}

int CCLDBStateFile::SetNewestStamp(unsigned int time) {
  return WriteValue("CCLDBStateFile::SetNewestStamp", cldb::state::kNewestStamp, time, false);
}

int CCLDBStateFile::GetOwner(unsigned long long& owner) {
  return ReadValue("CCLDBStateFile::GetOwner", cldb::state::kOwner, owner, false, 0);
}

int CCLDBStateFile::SetOwner(unsigned long long owner) {
  return WriteValue("CCLDBStateFile::SetOwner", cldb::state::kOwner, owner, true);
}
