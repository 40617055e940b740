// cldb: deduplicating backups of real directories through a local CLDB, and
// inspection and ageing of the CLDB and of its local storage side.
//
// Exit codes: 0 success; 1 bad input (usage, numbers, paths, a root folder
// or CLDB that is not there, unknown jobs and paths, a restore target in the
// way); 2 failure of the CLDB or the storage side; 3 the CLDB is in use by
// another process; 4 done, but not whole: a backup that skipped files it
// could not read, a restore that could not restore some files, a verify
// that found missing or damaged blocks; 128 + n a command that signal n
// (SIGHUP, SIGINT, SIGTERM) ended early and cleanly. Every error is one line
// "cldb: ..." on standard error.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>
#include <xercesc/util/PlatformUtils.hpp>

#include "CliDocs.h"
#include "Commands.h"
#include "Console.h"
#include "Interrupt.h"
#include "JsonOutput.h"
#include "cldb/CLDBTypes.h"
#include "platform/EvDebug.h"
#include "platform/ZelPlatformInfo.h"
#include "platform/engine/Format.h"
#include "storage/PackFormat.h"
#include "storage/Schema.h"

namespace {

// The library expects its host to initialise Xerces-C once per process and
// to terminate it after every state file object is gone: commands run, and
// destroy their objects, inside this guard's lifetime.
class XercesScope {
 public:
  XercesScope() { xercesc::XMLPlatformUtils::Initialize(); }
  ~XercesScope() { xercesc::XMLPlatformUtils::Terminate(); }
};

const char kFooter[] =
    "--root, -v, -q, --log-level and --json may also follow the subcommand.\n"
    "The root folder: --root, else $CLDB_ROOT, else [CLDB] RootFolder of the configuration,\n"
    "else ~/.local/share/cldb. Only backup makes a root; the other commands need one.\n"
    "SIGHUP, SIGINT and SIGTERM end a command cleanly (a job closes its CLDB); a second\n"
    "signal does not cut that short (SIGQUIT still ends it at once).\n"
    "Exit codes: 0 success, 1 bad input or no such root or CLDB, 2 CLDB or storage failure,\n"
    "3 CLDB in use by another process, 4 done but not whole (unreadable files on backup,\n"
    "files not restored, missing or damaged blocks found by verify),\n"
    "129, 130, 143 ended early by SIGHUP, SIGINT, SIGTERM.";

// --log-level names, onto the library's levels (lower is more important).
const std::map<std::string, int> kLogLevels = {
    {"error", -1}, {"warning", 0}, {"info", 1}, {"debug", 3}};

// Every value the command line sets, and the command it chose.
struct CommandLine {
  GlobalOptions global;
  BackupOptions backup;
  CldbIdentity identity;  // prune, stats
  JobSettings settings;   // prune
  int logLevel = EvDebug::kConfiguredThreshold;
  std::string folder;     // state, dump, compact
  std::string outputDir;  // dump
  uint32_t app = 1;       // storage
  uint32_t copy = 1;      // storage
  std::vector<uint32_t> ids;
  bool clean = false;
  uint32_t jobId = 0;  // ls
  std::string path;    // ls
  commands::RestoreOptions restore;
  unsigned threads = 0;            // verify
  std::vector<std::string> words;  // help
  std::string format;              // __generate
  std::string progress = "auto";   // backup
  std::function<Outcome()> command;
};

// Validators whose limits the option's description gives in words: CLI11
// would otherwise append its own notation to the type name in --help.
CLI::Validator InWords(const CLI::Validator& validator) { return validator.description(""); }

const CLI::Validator kPositive = InWords(CLI::Range(1u, std::numeric_limits<uint32_t>::max()));
const CLI::Validator kSize = InWords(CLI::AsSizeValue(false));

// A size such as "64K": a negative one would wrap around to a huge value.
const CLI::Validator kNotNegative(
    [](std::string& value) {
      return value.find('-') == std::string::npos ? std::string() : "must not be negative";
    },
    "", "not negative");

// Examples shown below a command's help and in the man page.
const std::map<std::string, std::vector<std::string>> kExamples = {
    {"backup",
     {"cldb backup ~/Documents ~/Pictures", "cldb backup --block-size 64K --json /srv/data"}},
    {"prune", {"cldb prune --expiry-days 60"}},
    {"stats", {"cldb stats --app 2 --json"}},
    {"state", {"cldb state ~/.local/share/cldb/ZEL_CLDB_APP_1_1"}},
    {"dump", {"cldb dump ~/.local/share/cldb/ZEL_CLDB_APP_1_1 -o /tmp"}},
    {"compact", {"cldb compact ~/.local/share/cldb/ZEL_CLDB_APP_1_1"}},
    {"ls", {"cldb ls 3", "cldb ls 3 home/me/Documents --json"}},
    {"restore",
     {"cldb restore 3 --to /tmp/back", "cldb restore 3 home/me/notes.txt --to /tmp/back"}},
    {"verify", {"cldb verify", "cldb verify 3 4 --threads 2"}},
    {"gc", {"cldb gc --json"}},
    {"help", {"cldb help storage drop-job"}},
    {"storage", {"cldb storage jobs"}},
    {"storage jobs", {"cldb storage jobs --json"}},
    {"storage afiles", {"cldb storage afiles --app 2"}},
    {"storage drop-afile", {"cldb storage drop-afile 5"}},
    {"storage drop-job", {"cldb storage drop-job 1 2 && cldb gc"}},
    {"storage dirty", {"cldb storage dirty --app 2", "cldb storage dirty --clean"}},
    {"storage offline", {"cldb storage offline --copy 1"}},
    {"storage online", {"cldb storage online --copy 1"}},
};

// --app or --copy: a client or copy id.
void AddId(CLI::App* sub, const char* name, uint32_t& id, const std::string& what) {
  sub->add_option(name, id, what + ", 1 or more")
      ->type_name("ID")
      ->capture_default_str()
      ->check(kPositive);
}

// --app, --copy, --store and --aux-copy: which CLDB of the root folder.
void AddIdentity(CLI::App* sub, CldbIdentity& identity) {
  AddId(sub, "--app", identity.app, "Client (application) id");
  AddId(sub, "--copy", identity.copy, "Storage copy id");
  sub->add_option("--store", identity.store,
                  "Id of the deduplication store the CLDB mirrors, 1 or more (default: derived "
                  "from the root's storage database)")
      ->type_name("ID")
      ->check(kPositive);
  sub->add_flag("--aux-copy", identity.auxCopy,
                "The CLDB of an auxiliary copy (named by --copy) instead of a client's");
}

void AddSettings(CLI::App* sub, JobSettings& settings) {
  sub->add_option("--expiry-days", settings.expiryDays,
                  "Days after its last use after which a block is no longer referenced, 1 to "
                  "36500")
      ->type_name("DAYS")
      ->capture_default_str()
      ->check(InWords(CLI::Range(1u, 36500u)));
  sub->add_option("--max-age-days", settings.maxAgeDays,
                  "Days after its archiving after which a block is stored again, up to 36500; "
                  "0 for never")
      ->type_name("DAYS")
      ->capture_default_str()
      ->check(InWords(CLI::Range(0u, 36500u)));
}

// What of the named paths a backup walks.
void AddBackupSelection(CLI::App* sub, BackupOptions& options) {
  sub->add_option("--exclude", options.walk.exclude,
                  "Leave out what PATTERN matches (repeatable): a glob matched against the path "
                  "relative to the named path and against the bare name; with a leading '/', "
                  "against the absolute path")
      ->type_name("PATTERN")
      ->allow_extra_args(false);
  sub->add_option("--exclude-file", options.excludeFiles,
                  "Read exclude patterns from FILE, one per line ('#' comments, blank lines "
                  "ignored; repeatable)")
      ->type_name("FILE")
      ->allow_extra_args(false);
  sub->add_flag("--one-file-system", options.walk.oneFileSystem,
                "Do not enter folders on another file system than their named path's (the "
                "mount point is recorded, empty)");
  sub->add_flag("--follow-cmdline-links", options.walk.followNamedLinks,
                "A named path that is a symbolic link is backed up as what it points to (links "
                "below stay links)");
}

// --progress auto shows a status line only on a terminal, and never with -q
// or -v (whose log lines would break it).
ProgressStyle ProgressOf(const CommandLine& line) {
  if (line.progress == "json") return ProgressStyle::kJson;
  if (line.progress == "none" || line.global.verbose || line.global.quiet ||
      !Console::StderrIsTerminal())
    return ProgressStyle::kNone;
  return ProgressStyle::kTerminal;
}

void AddBackup(CLI::App& app, CommandLine& line) {
  BackupOptions& options = line.backup;
  CLI::App* sub = app.add_subcommand(
      "backup",
      "Back up files and folders through the CLDB: sign every block, send only the "
      "blocks the CLDB has not seen");
  sub->add_option("PATH", options.paths,
                  "Files and folders to back up (links are not followed unless "
                  "--follow-cmdline-links)")
      ->type_name("")
      ->required();
  AddIdentity(sub, options.identity);
  AddSettings(sub, options.settings);
  sub->add_option("--block-size", options.blockSize,
                  "Block size, from 512 bytes to 64M (K, M and G are powers of 1024), e.g. "
                  "4096, 64K, 1M")
      ->type_name("SIZE")
      ->check(kNotNegative)
      ->transform(kSize)
      ->check(InWords(CLI::Range(512u, 64u << 20)))
      ->capture_default_str();
  sub->add_option("--batch", options.batch,
                  "Blocks per CLDB query, 1 to " + std::to_string(kMaxBatch))
      ->type_name("N")
      ->capture_default_str()
      ->check(InWords(CLI::Range(1u, kMaxBatch)));
  sub->add_option("--threads", options.threads,
                  "Hashing threads, up to 256; 0 for one per processor")
      ->type_name("N")
      ->capture_default_str()
      ->check(InWords(CLI::Range(0u, 256u)));
  sub->add_option("--archive-file-size", options.archiveFileSize,
                  "Stored bytes after which the job starts a new archive file (K, M and G are "
                  "powers of 1024); 0 for one per job")
      ->type_name("SIZE")
      ->check(kNotNegative)
      ->transform(kSize)
      ->capture_default_str();
  AddBackupSelection(sub, options);
  sub->add_flag("--dry-run", options.dryRun,
                "Read, sign and look up every block, read-only: no job, nothing stored or "
                "changed; report what would be stored");
  sub->add_option("--progress", line.progress,
                  "auto (a status line on a terminal, the default), json (JSON lines on "
                  "standard error) or none")
      ->check(CLI::IsMember({"auto", "json", "none"}).description(""))
      ->type_name("MODE");
  sub->callback([&line] {
    line.backup.progress = ProgressOf(line);
    line.command = [&line] { return commands::Backup(line.global, line.backup); };
  });
}

void AddCldbCommands(CLI::App& app, CommandLine& line) {
  CLI::App* prune = app.add_subcommand(
      "prune",
      "Remove the CLDB's records of archive files the storage side no longer holds and "
      "of blocks unused for too long");
  AddIdentity(prune, line.identity);
  AddSettings(prune, line.settings);
  prune->callback([&line] {
    line.command = [&line] { return commands::Prune(line.global, line.identity, line.settings); };
  });

  CLI::App* stats = app.add_subcommand(
      "stats", "Show a CLDB's record count, state, last compaction and access, folder size");
  AddIdentity(stats, line.identity);
  stats->callback(
      [&line] { line.command = [&line] { return commands::Stats(line.global, line.identity); }; });
}

void AddFolderCommands(CLI::App& app, CommandLine& line) {
  CLI::App* state = app.add_subcommand("state", "Show the values of a CLDB folder's State.xml");
  state->add_option("FOLDER", line.folder, "CLDB folder")->type_name("")->required();
  state->callback(
      [&line] { line.command = [&line] { return commands::State(line.global, line.folder); }; });

  CLI::App* dump =
      app.add_subcommand("dump", "Write every record of a CLDB folder into CLDBDump_<time>.csv");
  dump->add_option("FOLDER", line.folder, "CLDB folder")->type_name("")->required();
  dump->add_option("-o,--output-dir", line.outputDir, "Folder for the CSV file (default: here)")
      ->type_name("FOLDER");
  dump->callback([&line] {
    line.command = [&line] { return commands::Dump(line.global, line.folder, line.outputDir); };
  });

  CLI::App* compact = app.add_subcommand("compact", "Compact a CLDB folder's cache table");
  compact->add_option("FOLDER", line.folder, "CLDB folder")->type_name("")->required();
  compact->callback(
      [&line] { line.command = [&line] { return commands::Compact(line.global, line.folder); }; });
}

void AddTreeCommands(CLI::App& app, CommandLine& line) {
  CLI::App* ls = app.add_subcommand("ls", "List what a job backed up");
  ls->add_option("JOB", line.jobId, "Job id")->type_name("")->required()->check(kPositive);
  ls->add_option("PATH", line.path, "Only this path and what is below it")->type_name("");
  ls->callback([&line] {
    line.command = [&line] { return commands::List(line.global, line.jobId, line.path); };
  });

  CLI::App* restore =
      app.add_subcommand("restore", "Recreate what a job backed up under a folder, byte for byte");
  restore->add_option("JOB", line.restore.jobId, "Job id")
      ->type_name("")
      ->required()
      ->check(kPositive);
  restore
      ->add_option("PATH", line.restore.paths,
                   "Only these paths and what is below them (as `cldb ls` shows them)")
      ->type_name("");
  restore
      ->add_option("--to", line.restore.target,
                   "Folder to restore into (made when missing); paths are recreated below it")
      ->type_name("FOLDER")
      ->required();
  restore->add_flag("--overwrite", line.restore.overwrite,
                    "Replace files and links that exist (folders are never replaced)");
  restore->callback(
      [&line] { line.command = [&line] { return commands::Restore(line.global, line.restore); }; });

  CLI::App* verify = app.add_subcommand(
      "verify",
      "Read back every block the jobs reference and check it against its signature; exit "
      "code 4 when a block is missing or damaged");
  verify->add_option("JOB", line.ids, "Job ids (default: every restorable job)")
      ->type_name("")
      ->check(kPositive);
  verify
      ->add_option("--threads", line.threads, "Reading threads, up to 256; 0 for one per processor")
      ->type_name("N")
      ->capture_default_str()
      ->check(InWords(CLI::Range(0u, 256u)));
  verify->callback([&line] {
    line.command = [&line] { return commands::Verify(line.global, line.ids, line.threads); };
  });
}

void AddStorageCommands(CLI::App& app, CommandLine& line) {
  CLI::App* gc = app.add_subcommand(
      "gc",
      "Free the space of blocks no live job needs: rewrite or remove pack files, crash-safely");
  gc->callback(
      [&line] { line.command = [&line] { return commands::CollectGarbage(line.global); }; });

  CLI::App* storage =
      app.add_subcommand("storage", "Inspect and age the local storage side of the root folder");
  storage->require_subcommand(1);

  CLI::App* jobs = storage->add_subcommand("jobs", "List the jobs");
  jobs->callback(
      [&line] { line.command = [&line] { return commands::StorageJobs(line.global); }; });

  CLI::App* afiles = storage->add_subcommand("afiles", "List the archive files of a client copy");
  AddId(afiles, "--app", line.app, "Client id");
  AddId(afiles, "--copy", line.copy, "Copy id");
  afiles->callback([&line] {
    line.command = [&line] {
      return commands::StorageArchiveFiles(line.global, line.app, line.copy);
    };
  });

  CLI::App* dropAfile = storage->add_subcommand(
      "drop-afile",
      "Lose archive files, as a damaged medium does: their packs and blocks are gone");
  dropAfile->add_option("ID", line.ids, "Archive file ids")->type_name("")->required();
  dropAfile->callback([&line] {
    line.command = [&line] { return commands::StorageDropArchiveFiles(line.global, line.ids); };
  });

  CLI::App* dropJob = storage->add_subcommand(
      "drop-job",
      "Age jobs out: their trees go, their data stays while a live job references it (then "
      "`cldb gc` frees it)");
  dropJob->add_option("ID", line.ids, "Job ids")->type_name("")->required();
  dropJob->callback([&line] {
    line.command = [&line] { return commands::StorageDropJobs(line.global, line.ids); };
  });

  CLI::App* dirty = storage->add_subcommand(
      "dirty",
      "Mark a client's CLDBs dirty, so that the next job of each copy starts an empty one");
  AddId(dirty, "--app", line.app, "Client id");
  dirty->add_flag("--clean", line.clean, "Mark it clean instead");
  dirty->callback([&line] {
    line.command = [&line] {
      return commands::StorageMarkDirty(line.global, line.app, !line.clean);
    };
  });

  for (bool offline : {true, false}) {
    CLI::App* sub = storage->add_subcommand(
        offline ? "offline" : "online",
        offline ? "Report a mount path of the copy offline" : "Bring the copy's mount path back");
    AddId(sub, "--copy", line.copy, "Copy id");
    sub->callback([&line, offline] {
      line.command = [&line, offline] {
        return commands::StorageSetOffline(line.global, line.copy, offline);
      };
    });
  }
}

void AddGlobalOptions(CLI::App& app, CommandLine& line) {
  app.add_option("--root", line.global.root,
                 "CLDB root folder, or a key of [CLDBRootFolders] (default: $CLDB_ROOT, else "
                 "[CLDB] RootFolder of the configuration, else ~/.local/share/cldb); --root "
                 "wins over $CLDB_ROOT")
      ->check(CLI::Validator(
          [](std::string& value) { return value.empty() ? "must name a folder" : ""; }, "",
          "non-empty"))
      ->type_name("FOLDER");
  CLI::Option* verbose = app.add_flag(
      "-v,--verbose", line.global.verbose,
      "Also show the library's log on standard error (it still goes to the root's log)");
  app.add_flag("-q,--quiet", line.global.quiet,
               "Print errors only: no warnings, no progress, no summary unless --json")
      ->excludes(verbose);
  app.add_option("--log-level", line.logLevel,
                 "Detail of the library's log: error, warning, info or debug (default: [EvDebug] "
                 "DebugLevel of the configuration, else info)")
      ->transform(CLI::CheckedTransformer(kLogLevels, CLI::ignore_case).description(""))
      ->type_name("LEVEL");
  app.add_flag("--json", line.global.json, "Print the result as JSON on standard output");
}

// The versions --version prints, each from its one home: the tool's and
// the library's (one project version), and the versions of the files they
// write.
std::string VersionText() {
  return std::string("cldb ") + CLDB_PROJECT_VERSION + "\nlibcldb " + CLDB_PROJECT_VERSION +
         "\nCLDB table file format " + std::to_string(cldb::kFileFormat) + "\nState.xml version " +
         std::to_string(CLDB_VERSION) + "\nstorage database schema " +
         std::to_string(cldb::kStorageSchemaVersion) + "\npack file format " +
         std::to_string(cldb::kPackFormatVersion);
}

// The help of the command the words name (none: of cldb), on standard
// output.
Outcome PrintHelp(const CLI::App& app, const std::vector<std::string>& words) {
  const CLI::App* command = &app;
  for (const std::string& word : words) {
    const std::vector<const CLI::App*> found =
        command->get_subcommands([&word](const CLI::App* sub) {
          return sub->get_name() == word && !sub->get_group().empty();
        });
    if (found.empty()) return Outcome::Fail(kExitBadInput, "no command '" + word + "'");
    command = found.front();
  }
  // Not App::help, which would show the help of the command parsed: `help`.
  const std::string path = cldb::clidocs::CommandPath(*command);
  const std::string text = command->get_formatter()->make_help(
      command, path.empty() ? "cldb" : "cldb " + path, CLI::AppFormatMode::Normal);
  std::fputs(text.c_str(), stdout);
  return Outcome::Ok();
}

// `help` and the hidden `__generate` that the build runs for the bash
// completion and the man page.
void AddHelpCommands(CLI::App& app, CommandLine& line) {
  CLI::App* help = app.add_subcommand("help", "Show the help of cldb or of one of its commands");
  help->add_option("COMMAND", line.words, "A command, e.g. backup or storage jobs")->type_name("");
  help->callback(
      [&app, &line] { line.command = [&app, &line] { return PrintHelp(app, line.words); }; });

  CLI::App* generate = app.add_subcommand("__generate", "Print the bash completion or man page");
  generate->group("");
  generate->add_option("FORMAT", line.format)->required()->check(CLI::IsMember({"bash", "man"}));
  generate->callback([&app, &line] {
    line.command = [&app, &line] {
      const std::string text = line.format == "bash"
                                   ? cldb::clidocs::BashCompletion(app)
                                   : cldb::clidocs::ManPage(app, CLDB_PROJECT_VERSION);
      std::fputs(text.c_str(), stdout);
      return Outcome::Ok();
    };
  });
}

// Puts the examples of `app`'s commands below their help.
void AddExamples(CLI::App& app) {
  for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    std::string footer;
    const auto examples = kExamples.find(cldb::clidocs::CommandPath(*command));
    if (examples != kExamples.end()) {
      footer = "Examples:";
      for (const std::string& example : examples->second) footer += "\n  " + example;
    }
    command->footer(footer);
    AddExamples(*command);
  }
}

// Where the library's log goes besides the root's log file, and how much of
// it is written.
void ConfigureLog(const CommandLine& line) {
  EvDebug::SetDefaultStderrUse(line.global.verbose ? EvDebug::StderrUse::kAlso
                               : line.global.quiet ? EvDebug::StderrUse::kNever
                                                   : EvDebug::StderrUse::kFallback);
  EvDebug::SetDefaultThreshold(line.logLevel);
}

// Ends a run: the error line on standard error, and with --json the one
// document on standard output. Returns the exit code.
int Finish(bool json, int code, const std::string& message) {
  if (code != kExitOk) std::fprintf(stderr, "cldb: %s\n", message.c_str());
  if (json) cldb::json::Write(code, message);
  return code;
}

// A command that a signal ended exits with 128 + its number, whatever else
// it reports.
int Report(bool json, const Outcome& outcome) {
  if (interrupt::Requested())
    return Finish(json, interrupt::ExitCode(),
                  outcome.ok() ? interrupt::Describe() + "; ended cleanly" : outcome.message);
  return Finish(json, outcome.code, outcome.message);
}

// Whether --json is among the arguments: a command line that does not
// parse still answers in JSON when it asked for it.
bool AskedForJson(int argc, char** argv) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (std::strcmp(argv[i], "--json") == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Deduplicating backups through a local signature cache (CLDB)", "cldb");
  app.formatter(std::make_shared<cldb::clidocs::HelpFormatter>());
  app.footer(kFooter);
  app.require_subcommand(1);
  app.fallthrough();
  app.allow_extras();
  app.set_version_flag("--version", VersionText(),
                       "Print the versions of cldb, of the library and of the on-disk formats");

  CommandLine line;
  AddGlobalOptions(app, line);
  AddBackup(app, line);
  AddCldbCommands(app, line);
  AddFolderCommands(app, line);
  AddTreeCommands(app, line);
  AddStorageCommands(app, line);
  AddHelpCommands(app, line);
  AddExamples(app);

  // No command: the usage, as an error, so that a script notices.
  if (argc < 2) {
    std::fputs(app.help().c_str(), stderr);
    return kExitBadInput;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    // An unknown subcommand only shows as a missing one; name it instead.
    const std::vector<std::string> unknown = app.remaining();
    return Finish(AskedForJson(argc, argv), kExitBadInput,
                  !unknown.empty() && line.command == nullptr
                      ? "unknown subcommand or argument '" + unknown[0] + "'"
                      : std::string(e.what()));
  }
  // Extras are allowed only so that an unknown word can be named above.
  if (!app.remaining().empty())
    return Finish(line.global.json, kExitBadInput,
                  "unexpected argument '" + app.remaining()[0] + "'");
  if (!line.global.quiet)
    for (const std::string& warning : ZelPlatformInfo::Warnings())
      std::fprintf(stderr, "cldb: warning: %s\n", warning.c_str());
  ConfigureLog(line);
  interrupt::Guard signals;
  XercesScope xerces;
  return Report(line.global.json, line.command());
}
