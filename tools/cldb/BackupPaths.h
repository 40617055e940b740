// What a backup makes of the paths and patterns it is given, before any
// job begins: the exclude files read, missing paths reported and left out,
// named links warned about, the paths made canonical, and the root folder
// kept out of its own backup.
#pragma once

#include <string>

#include "BackupJob.h"
#include "Console.h"
#include "Outcome.h"

// Fills options.walk.exclude from options.excludeFiles (a missing or
// unreadable file is bad input), reports each named path that is not there
// on `console` and counts it in options.missingPaths (none there: bad
// input), warns of named symbolic links that are not followed, and makes
// options.paths canonical.
Outcome PrepareBackupPaths(BackupOptions& options, Console& console);

// Once the root folder `root` is there (nothing to do when it is not): a
// named path that is the root folder or lies inside it is refused; the
// root folder inside a named path is left out with a note, by its identity
// (device and inode), so no path that leads to it enters it.
Outcome KeepRootOut(BackupOptions& options, const std::string& root, Console& console);

// The patterns of an exclude file: one per line; blank lines and lines
// that start with '#' are ignored. "" or why the file cannot be read.
std::string ReadExcludeFile(const std::string& file, std::vector<std::string>& patterns);
