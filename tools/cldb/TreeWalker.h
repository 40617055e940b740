// TreeWalker: the regular files under the paths of a backup, depth first,
// each directory's entries in name order. Symbolic links are never
// followed, not even when named on the command line; they and other special
// files (devices, sockets, pipes) are counted as skipped. The walker holds no
// directory open between calls: a directory is read whole when it is met.
// Not thread-safe.
#pragma once

#include <string>
#include <vector>

class TreeWalker {
 public:
  enum Kind {
    kFile,        // `path` is a regular file
    kUnreadable,  // `path` could not be examined or listed; `error` is errno
    kDone,
  };
  struct Entry {
    Kind kind = kDone;
    std::string path;
    int error = 0;
  };

  explicit TreeWalker(const std::vector<std::string>& paths);

  Entry Next();
  unsigned long long Skipped() const { return skipped_; }

 private:
  struct Pending {
    std::string path;
    unsigned char type;  // a DT_* value; DT_UNKNOWN until examined
  };
  // Pushes the entries of `dir` in reverse name order, so they pop sorted.
  int List(const std::string& dir);

  std::vector<Pending> stack_;
  unsigned long long skipped_ = 0;
};
