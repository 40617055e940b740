#include "BackupPaths.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

// `path` with every link resolved; "" when it cannot be.
std::string Resolved(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// Reports the named paths that are not there and leaves them out.
Outcome KeepPresent(BackupOptions& options, Console& console) {
  std::vector<std::string> present;
  for (const std::string& path : options.paths) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
      console.Error("cannot access '" + path + "': " + std::strerror(errno));
      ++options.missingPaths;
      continue;
    }
    if (S_ISLNK(info.st_mode) && !options.walk.followNamedLinks)
      console.Warning("'" + path +
                      "' is a symbolic link: it is backed up as the link, not what it points "
                      "to (--follow-cmdline-links follows it)");
    present.push_back(path);
  }
  if (present.empty()) return Outcome::Fail(kExitBadInput, "nothing to back up");
  options.paths = std::move(present);
  return Outcome::Ok();
}

}  // namespace

std::string ReadExcludeFile(const std::string& file, std::vector<std::string>& patterns) {
  std::ifstream in(file);
  if (!in) return "cannot read exclude file '" + file + "': " + std::strerror(errno);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    patterns.push_back(line);
  }
  if (in.bad()) return "cannot read exclude file '" + file + "'";
  return "";
}

Outcome KeepRootOut(BackupOptions& options, const std::string& root, Console& console) {
  struct stat info {};
  const std::string resolvedRoot = Resolved(root);
  if (resolvedRoot.empty() || stat(resolvedRoot.c_str(), &info) != 0) return Outcome::Ok();
  options.walk.skipFolders.emplace_back(info.st_dev, info.st_ino);
  for (const std::string& path : options.paths) {
    const std::string resolved = options.walk.followNamedLinks ? Resolved(path) : path;
    if (resolved == resolvedRoot || TreeWalker::Below(resolved, resolvedRoot))
      return Outcome::Fail(kExitBadInput, "'" + path + "' is inside the root folder '" +
                                              resolvedRoot + "', which cannot back itself up");
    if (TreeWalker::Below(resolvedRoot, resolved))
      console.Note("the root folder '" + resolvedRoot + "' is inside '" + path +
                   "' and is left out");
  }
  return Outcome::Ok();
}

Outcome PrepareBackupPaths(BackupOptions& options, Console& console) {
  for (const std::string& file : options.excludeFiles) {
    const std::string problem = ReadExcludeFile(file, options.walk.exclude);
    if (!problem.empty()) return Outcome::Fail(kExitBadInput, problem);
  }
  Outcome outcome = KeepPresent(options, console);
  if (!outcome.ok()) return outcome;
  const std::string problem = TreeWalker::Canonical(options.paths, options.paths);
  if (!problem.empty()) return Outcome::Fail(kExitBadInput, "cannot resolve " + problem);
  return Outcome::Ok();
}
