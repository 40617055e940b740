// TreeWalker: the regular files under the paths of a backup, depth first,
// each directory's entries in name order. Symbolic links are never
// followed, not even when named on the command line; they and other special
// files (devices, sockets, pipes) are counted as skipped.
//
// The walk never leaves the trees it was given. Every folder and file below
// a named path is opened relative to the folder it was listed in, never
// through a symbolic link, and what was opened is checked to be of the kind
// the listing said; an entry swapped for a link, or for something of another
// kind, while the walk runs is skipped. Files are handed out open, so what
// is read is what the walk checked. A folder stays open while entries listed
// in it wait to be visited: a walk holds about one descriptor per level of
// depth. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TreeWalker {
 public:
  enum Kind {
    kFile,        // `path` is a regular file, open as `fd`
    kUnreadable,  // `path` could not be opened or listed; `error` is errno
    kDone,
  };
  struct Entry {
    Kind kind = kDone;
    std::string path;
    int error = 0;
    int fd = -1;        // kFile: read-only descriptor, which the caller closes
    uint64_t size = 0;  // kFile: the size when it was opened
  };

  explicit TreeWalker(const std::vector<std::string>& paths);

  Entry Next();
  unsigned long long Skipped() const { return skipped_; }

 private:
  struct Folder;  // an open folder, shared by the entries listed in it
  struct Pending {
    std::shared_ptr<Folder> parent;  // null for a path named by the caller
    std::string name;                // within `parent`; the path itself without one
    std::string path;                // for messages
    unsigned char type;              // a DT_* value; DT_UNKNOWN until examined
  };
  // Opens `item` as the kind it was listed as: the descriptor (with the
  // size found), -1 with errno set, or -2 when it is no longer of that kind.
  static int Open(const Pending& item, uint64_t& size);
  // Pushes the entries of the open folder `fd` (owned from here on) in
  // reverse name order, so they pop sorted; 0 or the errno value.
  int List(int fd, const std::string& path);

  std::vector<Pending> stack_;
  unsigned long long skipped_ = 0;
};
