// TreeWalker: what a backup records of the paths it was given, depth first,
// each folder before its entries and the entries in name order: regular
// files, folders and symbolic links (as links: never followed, not even
// when named on the command line). Other special files (devices, sockets,
// pipes) are counted as skipped. A named absolute path's parent folders are
// reported first, once each, so that the tree can be rebuilt from its root.
//
// The walk never leaves the trees it was given. Every folder and file below
// a named path is opened relative to the folder it was listed in, never
// through a symbolic link, and what was opened is checked to be of the kind
// the listing said; an entry swapped for something of another kind while
// the walk runs is skipped. Files are handed out open, so what is read is
// what the walk checked. A folder stays open while entries listed in it wait
// to be visited: a walk holds about one descriptor per level of depth. Not
// thread-safe.
//
// Rules narrow the walk. An entry below a named path is excluded when an
// exclude pattern matches, as fnmatch(3) with FNM_PATHNAME, its path
// relative to the named path ("sub/f.o"), its name alone ("f.o"), or, for
// a pattern that starts with '/', its absolute path. An excluded folder is
// not entered; excluded entries are neither reported nor walked, only
// counted. The named paths themselves are never excluded by a pattern. A
// folder whose identity (device and inode) is among Rules::skipFolders is
// excluded the same way, whatever path leads to it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

class TreeWalker {
 public:
  enum Kind {
    kFile,        // `path` is a regular file, open as `fd`
    kFolder,      // `path` is a folder (listed, unless it is a named path's parent)
    kSymlink,     // `path` is a symbolic link to `target`
    kUnreadable,  // `path` could not be opened, listed or read; `error` is errno
    kDone,
  };
  struct Entry {
    Kind kind = kDone;
    std::string path;
    int error = 0;
    int fd = -1;          // kFile: read-only descriptor, which the caller closes
    uint64_t size = 0;    // kFile: the size when it was opened
    uint32_t mode = 0;    // permission bits
    int64_t mtimeNs = 0;  // modification time
    std::string target;   // kSymlink
  };

  struct Rules {
    std::vector<std::string> exclude;  // patterns, see above
    // A folder on another device than its named path's is reported, but
    // not listed (the mount point is recorded, empty).
    bool oneFileSystem = false;
    // A named path that is a symbolic link stands for what it points to
    // (under the link's own path); links below it stay links.
    bool followNamedLinks = false;
    // False for a count: files are reported with their size and fd -1,
    // never opened.
    bool openFiles = true;
    std::vector<std::pair<dev_t, ino_t>> skipFolders;
  };

  explicit TreeWalker(const std::vector<std::string>& paths) : TreeWalker(paths, Rules()) {}
  TreeWalker(const std::vector<std::string>& paths, Rules rules);

  Entry Next();
  unsigned long long Skipped() const { return skipped_; }
  // Entries left out by the rules' patterns and skipFolders.
  unsigned long long Excluded() const { return excluded_; }
  // Whether `pattern` excludes `path`, an entry below the named path
  // `named` (both absolute, as the walk reports them).
  static bool Matches(const std::string& pattern, const std::string& named,
                      const std::string& path);

  // Whether `path` lies below `folder` (both absolute and canonical).
  static bool Below(const std::string& path, const std::string& folder);

  // The paths as a backup records them: each made absolute with its parent
  // folder resolved (the last component is not followed), and those equal
  // to or below another left out. "" on success, else the path that failed
  // and why.
  static std::string Canonical(const std::vector<std::string>& paths,
                               std::vector<std::string>& canonical);

 private:
  struct Folder;  // an open folder, shared by the entries listed in it
  struct Pending {
    std::shared_ptr<Folder> parent;  // null for a path named by the caller
    std::string name;                // within `parent`; the path itself without one
    std::string path;                // as reported
    unsigned char type;              // a DT_* value; DT_UNKNOWN until examined
    bool parentOnly = false;         // a named path's parent: reported, not listed
  };
  // Opens `item` as the kind it was listed as: the descriptor (with what
  // fstat found in `info` and `found`), -1 with errno set, or -2 when it is
  // no longer of that kind.
  int Open(const Pending& item, Entry& found, struct stat& info) const;
  // What Next reports of a file of a count, which is not opened.
  Entry Counted(const Pending& item);
  bool Follows(const Pending& item) const { return !item.parent && rules_.followNamedLinks; }
  bool Excludes(const Folder& folder, const std::string& path) const;
  // Each fills `entry` with what to report, or returns false when there is
  // nothing to report (a link that is no longer one, a parent reported
  // before).
  bool ReadLink(const Pending& item, Entry& entry);
  bool Parent(const Pending& item, Entry& entry);
  // Pushes the entries of the open folder `fd` (owned from here on) in
  // reverse name order, so they pop sorted; 0 or the errno value.
  int List(std::shared_ptr<Folder> folder, const std::string& path);

  const Rules rules_;
  std::vector<Pending> stack_;
  std::set<std::string> parentsReported_;
  unsigned long long skipped_ = 0;
  unsigned long long excluded_ = 0;
};
