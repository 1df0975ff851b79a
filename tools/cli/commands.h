// The commands of the quillbox tool. Each writes its results to standard output and
// its complaints to standard error, and returns the process's exit code. The reading
// commands open every file read-only and never change a recording.
#ifndef QUILLBOX_TOOLS_CLI_COMMANDS_H_
#define QUILLBOX_TOOLS_CLI_COMMANDS_H_

#include <cstdint>
#include <optional>
#include <string>

namespace qbx::cli {

constexpr int kExitOk = 0;
// The recording is damaged: verify found a fault, cat could deliver only part, or
// recover could not reach everything.
constexpr int kExitDamaged = 1;
// The index cannot be read (missing, short, not an index), standard output cannot be
// written, the command line is wrong, or recording failed.
constexpr int kExitCannotRead = 2;

struct InfoOptions {
  std::string index;
  bool packages = false;  // Every package, not only the summary.
  bool json = false;
};
int RunInfo(const InfoOptions& options);

struct VerifyOptions {
  std::string index;
};
int RunVerify(const VerifyOptions& options);

struct CatOptions {
  std::string index;
  std::optional<std::uint64_t> package;
  std::string location;  // "POS,FILE,OFFSET,LEN" when set.
};
int RunCat(const CatOptions& options);

struct RecordOptions {
  std::string folder;
  std::uint64_t packages = 16;
  std::uint32_t writers = 2;
  std::uint64_t itemSize = 1024;
  double seconds = 5;         // How long to store, unless `items` ends it first.
  bool secondsGiven = false;  // With `items` alone, there is no time limit.
  std::uint64_t items = 0;    // Items per package; 0 for no limit.
  std::uint32_t callers = 1;  // Threads that call Store.
  std::uint64_t packageSize = 64 * 1024;
  std::uint64_t fileLimit = 0;             // Size limit of each data file; 0 for none.
  std::optional<std::uint64_t> maxQueued;  // The number of packages by default.
};
int RunRecord(const RecordOptions& options);

// Writes a new index at `output` that covers what the data files hold beyond `index`
// (after a crash); exits 0 when every chain was followed to its end, 1 when something
// could not be reached (the new index is written all the same), 2 when the index
// cannot be read or the new one cannot be written (or, after writing it, standard
// output could not be). Something at `output` already is
// replaced only with `force`, and the old index or a data file never.
struct RecoverOptions {
  std::string index;
  std::string output;
  bool force = false;
};
int RunRecover(const RecoverOptions& options);

}  // namespace qbx::cli

#endif  // QUILLBOX_TOOLS_CLI_COMMANDS_H_
