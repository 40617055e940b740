// The bash completion script and the man page of `cldb`, generated from the
// same CLI11 definitions as --help, so that neither can fall behind a
// command or an option. The build runs `cldb __generate bash|man` and
// installs what it prints.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace cldb::clidocs {

// A script for bash-completion: completes commands, options, and the
// values of options whose type is FOLDER, LEVEL or a file path.
std::string BashCompletion(const CLI::App& app);

// The man page in roff (man(7)): `app`'s description, its global options,
// each command with its usage, options and the examples of its help, and
// the notes of `app`'s footer.
std::string ManPage(const CLI::App& app, const std::string& version);

// The commands a user can run, below `app` (hidden ones left out), depth
// first: "backup", ..., "storage", "storage jobs", ...
std::vector<const CLI::App*> Commands(const CLI::App& app);

// "storage jobs" for that command; "" for the application itself.
std::string CommandPath(const CLI::App& command);

// The help formatter of every command: a command's help also lists the
// options of the application, which every command takes.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_footer(const CLI::App* app) const override;
};

}  // namespace cldb::clidocs
