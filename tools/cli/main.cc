// quillbox: inspects, checks, reads and recovers recordings, and makes new ones. The
// command line is parsed here; each command lives in a file of its own.
#include <limits>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "quillbox_version.h"
#include "terminal.h"

namespace qbx::cli {
namespace {

void AddInfo(CLI::App& app, InfoOptions& options) {
  CLI::App* info =
      app.add_subcommand("info", "Show a recording's settings, data files and packages");
  info->add_option("index", options.index, "The recording's index file")->required();
  info->add_flag("--packages", options.packages, "List every package, not only a summary");
  info->add_flag("--json", options.json, "Print JSON, for programs");
}

void AddVerify(CLI::App& app, VerifyOptions& options) {
  CLI::App* verify = app.add_subcommand(
      "verify",
      "Check every data file and every package's chain; exit 0 when intact, 1 when damaged, "
      "2 when the index cannot be read");
  verify->add_option("index", options.index, "The recording's index file")->required();
}

void AddRecover(CLI::App& app, RecoverOptions& options) {
  CLI::App* recover = app.add_subcommand(
      "recover",
      "After a crash, write a new index that also covers the blocks stored after the last "
      "Save; exit 0 when every chain was followed to its end, 1 when some could not be, "
      "2 when nothing was written (or standard output could not be)");
  recover->add_option("index", options.index, "The recording's last saved index file")
      ->required();
  recover->add_option("-o,--output", options.output,
                       "The new index file; it must not exist yet, unless --force is given")
      ->required();
  recover->add_flag("--force", options.force,
                    "Replace a file that is at the output path already (never the old index "
                    "or a data file of the recording)");
}

// Options whose absence means something: CLI11 fills plain variables, and these tell
// whether the command line gave them.
struct Given {
  std::uint64_t package = 0;
  CLI::Option* packageOption = nullptr;
  CLI::Option* secondsOption = nullptr;
  std::uint64_t maxQueued = 0;
  CLI::Option* maxQueuedOption = nullptr;
};

void AddCat(CLI::App& app, CatOptions& options, Given& given) {
  CLI::App* cat =
      app.add_subcommand("cat", "Write a package's bytes, or one item, to standard output");
  cat->add_option("index", options.index, "The recording's index file")->required();
  given.packageOption = cat->add_option("package", given.package, "The package's number")
                            ->check(CLI::NonNegativeNumber);
  cat->add_option("--location", options.location,
                  "One item: its ItemLocation's pos, file and offsetInBlock, its length, and "
                  "optionally the ItemLocation's blockLen, which must then match the block")
      ->type_name("POS,FILE,OFFSET,LEN[,BLOCKLEN]")
      ->excludes(given.packageOption);
}

void AddRecord(CLI::App& app, RecordOptions& options, Given& given) {
  CLI::App* record = app.add_subcommand(
      "record", "Record into a folder for a while, save the index there and verify it");
  record->add_option("folder", options.folder, "The folder for the data files and the index")
      ->required();
  // CLI11 would wrap a negative number around into an unsigned option.
  const auto count = [&](const char* names, auto& value, const char* what) {
    return record->add_option(names, value, what)->check(CLI::NonNegativeNumber);
  };
  count("-n,--packages", options.packages, "Number of packages")->capture_default_str();
  count("-w,--writers", options.writers, "Number of writer threads")->capture_default_str();
  count("-s,--item-size", options.itemSize, "Bytes per item")->capture_default_str();
  given.secondsOption =
      record
          ->add_option("-d,--duration", options.seconds,
                       "Seconds to store for; more than ten years (or inf) for no time limit")
          ->check(CLI::Range(0.0, std::numeric_limits<double>::infinity()))
          ->capture_default_str();
  count("--items", options.items,
        "Items per package; then no time limit unless --duration is given");
  count("--callers", options.callers, "Threads that call Store")->capture_default_str();
  count("--package-size", options.packageSize, "The package buffer size in bytes")
      ->capture_default_str();
  count("--file-limit", options.fileLimit, "Size limit of each data file; 0 for none")
      ->capture_default_str();
  given.maxQueuedOption = count("--max-queued", given.maxQueued,
                                "Packages that may wait for the database writer (default: all)");
}

}  // namespace

int Main(std::vector<std::string> arguments) {
  CLI::App app("Inspect, check and read Quillbox recordings, or make one.", "quillbox");
  app.set_version_flag("--version", QUILLBOX_VERSION_STRING);
  app.require_subcommand(1);
  InfoOptions info;
  VerifyOptions verify;
  CatOptions cat;
  RecordOptions record;
  RecoverOptions recover;
  Given given;
  AddInfo(app, info);
  AddVerify(app, verify);
  AddCat(app, cat, given);
  AddRecord(app, record, given);
  AddRecover(app, recover);

  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitCannotRead;  // Help and version exit 0.
  }
  if (app.got_subcommand("info")) return RunInfo(info);
  if (app.got_subcommand("verify")) return RunVerify(verify);
  if (app.got_subcommand("recover")) return RunRecover(recover);
  if (app.got_subcommand("cat")) {
    if (given.packageOption->count() != 0) cat.package = given.package;
    return RunCat(cat);
  }
  record.secondsGiven = given.secondsOption->count() != 0;
  if (given.maxQueuedOption->count() != 0) record.maxQueued = given.maxQueued;
  return RunRecord(record);
}

}  // namespace qbx::cli

int main(int argc, char** argv) { return qbx::cli::Main(qbx::cli::Utf8Arguments(argc, argv)); }
