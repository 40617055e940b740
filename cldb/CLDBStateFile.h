// CCLDBStateFile: the State.xml document of one CLDB folder.
//
// The document records the CLDB's version, state, ids, record count and the
// times of its last compaction and last access:
//
//   <?xml version="1.0" encoding="UTF-8" standalone="no" ?><CLDB><Version>2</Version>
//   <State>0</State><CLDBID>..</CLDBID><SIDBSTOREID>..</SIDBSTOREID>
//   <LastCompactTime>..</LastCompactTime><RECORDCOUNT>0</RECORDCOUNT>
//   <LastAccessTime>..</LastAccessTime>[<Owner>..</Owner>][<NewestStamp>..</NewestStamp>]</CLDB>
//
// (one line on disk; Owner and NewestStamp are appended when first set, in
// either order). Every typed accessor is a transaction of its own: take the
// named lock "SIDBStateFileLock_Engine_<cldbId>", parse the file, read or
// change one element, stamp LastAccessTime, rewrite the file and release
// the lock. Nothing stays open between accesses.
//
// The named lock is the file "SIDBStateFileLock_Engine_<cldbId>.lock" in the
// CLDB folder itself (MDLock's folder form), not in a machine-wide folder:
// every process that can reach State.xml meets it whatever its environment,
// and no other user can hold it. Two CLDBs of one id in different folders
// therefore no longer share a lock, which they never needed: each lock
// guards only the State.xml beside it.
//
// State.xml is read only when it is a regular file (never a link, never
// waited on as a FIFO) of at most 1023 bytes, the bound of the sanity
// check; anything else fails Open, and so every accessor, before the
// parser sees a byte. A file that large or that deep is never ours.
//
// A rewrite never touches State.xml in place: the new document goes to
// "State.xml.tmp" in the same folder, is made durable and is renamed over
// State.xml, so a crash or a full disk leaves either the old or the new
// file, whole. (A folder copy skips the ".tmp" name.)
//
// The parser never reads anything but State.xml itself: no external DTD, no
// external entity, and a bounded number of entity expansions. A file that is
// not well-formed fails Open; the missing grammar does not.
//
// On purpose, this differs from the documented behaviour: the lock's place
// (above); every parse, not only GetState's check, is bounded to a regular
// file of 1023 bytes; files are written mode 0600 (unless configured:
// ZelPlatformInfo::NewFileMode) through a temporary file created
// exclusively; NewestStamp is an element of its own, which readers
// of older files do without (GetStampFloor) and which older readers ignore.
//
// The hosting process initialises Xerces-C before the first Open or Create
// and terminates it only after every CCLDBStateFile is gone.
//
// Not thread-safe: one object must not be used from two threads at once.
#pragma once

#include <memory>
#include <string>
#include <xercesc/util/XercesDefs.hpp>

#include "platform/CTkFile.h"
#include "platform/EvDebug.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class MemBufFormatTarget;
XERCES_CPP_NAMESPACE_END

class MDLock;

class CCLDBStateFile {
 public:
  CCLDBStateFile();
  ~CCLDBStateFile();  // Uninitialize
  CCLDBStateFile(const CCLDBStateFile&) = delete;
  CCLDBStateFile& operator=(const CCLDBStateFile&) = delete;

  // Stores the id and folder and creates the named lock. `log` is not kept:
  // the state file always logs through a log object of its own.
  int Initialize(unsigned int cldbId, EvDebug* log, const char* folder);
  // Closes (and writes) an open document and drops the lock; always 0.
  int Uninitialize();

  int Lock();    // waits up to the lock time-out; 0 or -1
  int Unlock();  // releases the lock only when this object holds it; 0

  // Parses State.xml into the held document and opens the file for the
  // rewrite; 0 or -1. Refused before Initialize and while open, and for a
  // State.xml that is not a regular file of at most 1023 bytes.
  int Open();
  // Parses the State.xml of `folder` for reading alone, under the bounds of
  // Open: no lock is taken or made and nothing is written (Close drops the
  // document), so a folder the caller may only read will do. Every rewrite
  // replaces State.xml whole by a rename, so the document is one whole
  // version of the file, though it may be outdated by the time it is read.
  // Use the element primitives, then Close; the object is not initialised
  // by this and must not be open. 0 or -1.
  int OpenForReading(const char* folder);
  // Makes a new State.xml (version 2, state 0, the ids, the current time as
  // LastCompactTime, record count 0, LastAccessTime), mode 0600 unless
  // configured (ZelPlatformInfo::NewFileMode); refuses to
  // replace an existing file or link. 0 or -1.
  int Create(unsigned int SIDBStoreId);
  // Stamps LastAccessTime, rewrites the file and drops the document. Always
  // 0, even when the rewrite failed (that is logged).
  int Close();

  // Writes the held, open document when it was changed; 0 or -1 (also for
  // a document opened for reading). On -1 State.xml is as it was before.
  int Write();
  // A plain text check of State.xml: a size of 128 to 1023 bytes and every
  // tag of the document present. 0 or -1; takes no lock, changes nothing.
  int CheckStatefileSanity();

  // Primitives on the held document; they neither lock nor open anything.
  // Without a held document there is no element: reads return 1, writes do
  // nothing. An element with no text reads as missing.
  // 0 with `text` a new copy (free it with XMLString::release), 1 when there
  // is no such element, -1 when its text has no narrow form.
  int GetElementText(const char* name, char*& text);
  // 0 with `value` set; 1 when there is no such element; -1 when the text is
  // not a number.
  int GetElementText(const char* name, unsigned int& value);
  int GetElementText(const char* name, unsigned long long& value);
  // Sets the element's text, appending the element to the root when
  // missing, and marks the document modified.
  void SetElementText(const char* name, const char* value);
  void SetElementText(const char* name, unsigned int value);
  void SetElementText(const char* name, unsigned long long value);

  // Typed accessors, each a locked transaction of its own. Readers return 0
  // also when the element is missing or not a number (logged; the value is
  // then left alone), except GetLastAccessTime, which returns -1. A reader
  // that cannot get the lock still reads, but does not rewrite the file.
  // Writers return -1 when the lock, the parse or the rewrite failed.
  int GetVersion(unsigned int& version);
  int GetState(unsigned int& state);  // also runs CheckStatefileSanity
  int SetState(unsigned int state);
  int GetSIDBStoreID(unsigned int& id);
  int SetSIDBStoreID(unsigned int id);
  int GetRecordCount(unsigned long long& count);
  int SetRecordCount(unsigned long long count);
  int GetLastCompactTime(unsigned int& time);
  int SetLastCompactTime(unsigned int time);
  int GetLastAccessTime(unsigned int& time);
  int GetOwner(unsigned long long& owner);
  int SetOwner(unsigned long long owner);
  // The newest time the CLDB has stamped, as far as State.xml knows: the
  // later of NewestStamp and of LastAccessTime as this access found them
  // (before it stamps its own). A file without NewestStamp (written before
  // the element existed) gives LastAccessTime alone. -1 when neither can be
  // read, or when either is there but is not a number.
  int GetStampFloor(unsigned int& floor);
  // Records the newest time stamped on a record of the CLDB.
  int SetNewestStamp(unsigned int time);

  // Whether `folder` holds a State.xml; 0 or -1 when that cannot be told.
  // A null `log` logs through a log object of its own.
  static int Exists(const char* folder, bool& exists, EvDebug* log);

  // How long Lock waits for the named lock, in milliseconds, for every
  // object of the process; 60000 unless changed (tests shorten it).
  static void SetLockTimeout(unsigned int milliseconds);
  static unsigned int LockTimeout();

 private:
  struct DocumentReleaser {
    void operator()(XERCES_CPP_NAMESPACE::DOMDocument* document) const;
  };
  using DocumentPtr = std::unique_ptr<XERCES_CPP_NAMESPACE::DOMDocument, DocumentReleaser>;

  template <typename T>
  int GetNumber(const char* name, T& value);
  // One locked parse running `read`, which returns 0 or why it failed;
  // 0, 1 when `read` failed (logged), -1 when the file could not be read.
  template <typename Read>
  int ReadLocked(const char* operation, bool checkSanity, Read read);
  // One locked read; `missingResult` is returned when the element is missing
  // or not a number.
  template <typename T>
  int ReadValue(const char* operation, const char* element, T& value, bool checkSanity,
                int missingResult);
  // One locked write; `closeOpen` first closes a document left open.
  template <typename T>
  int WriteValue(const char* operation, const char* element, T value, bool closeOpen);

  void BuildPath();
  // Open's work on folder_: `flags` O_RDWR, or O_RDONLY for reading alone.
  int Load(int flags);
  int Parse(const std::string& text);
  void BuildDocument(unsigned int SIDBStoreId, unsigned int createTime);
  int Serialize();
  int ReplaceFile();
  // Close, reporting the rewrite's status; `write` false drops the
  // document unwritten.
  int Finish(bool write);
  void Discard();

  EvDebug ownLog_;
  EvDebug* log_;
  std::unique_ptr<MDLock> lock_;
  std::string folder_;
  unsigned int cldbId_ = 0;
  CTkFile file_;
  std::string path_;
  bool modified_ = false;
  bool initialized_ = false;
  std::unique_ptr<XERCES_CPP_NAMESPACE::MemBufFormatTarget> buffer_;
  DocumentPtr document_;
  bool open_ = false;
  bool readOnly_ = false;  // opened by OpenForReading: never written
};
