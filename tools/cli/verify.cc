// quillbox verify: checks a recording as its index describes it. First every data file
// (present, as long as listed, its blocks back to back from offset 0 through its listed
// size), then every package: its record, and its chain link by link against the block
// starts the scan found, each block in one chain only. One line per damaged file and
// per damaged package names the first fault's file and offset.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "report.h"
#include "terminal.h"

namespace qbx::cli {
namespace {

// What the scan of one data file found; `used` marks the blocks that a chain took.
struct FileState {
  BlockScan scan;
  std::vector<bool> used;
  bool damaged = false;
};

struct Counts {
  std::uint64_t damagedFiles = 0;
  std::uint64_t damagedPackages = 0;
  std::uint64_t blocks = 0;
  std::uint64_t bytes = 0;
};

void ReportFile(const Recording& recording, Progress& progress, std::uint32_t file,
                const std::string& what) {
  progress.Clear();
  std::printf("data file %u (%s): %s\n", file, Printable(PathOf(recording, file)).c_str(),
              Printable(what).c_str());
}

// Checks the data files and scans the block files.
std::vector<FileState> CheckFiles(const Recording& recording, Progress& progress, Counts* counts) {
  const std::vector<RecordingFile>& files = recording.files();
  std::uint64_t total = 0;
  for (std::uint32_t k = 0; k < files.size(); ++k) {
    if (recording.IsBlockFile(k)) total += recording.ExtentOf(k, Extent::kListed);
  }
  std::vector<FileState> states(files.size());
  std::uint64_t done = 0;
  for (std::uint32_t k = 0; k < files.size(); ++k) {
    const RecordingFile& f = files[k];
    FileState& state = states[k];
    if (!f.exists()) {
      ReportFile(recording, progress, k,
                 "missing: neither at its listed path nor below the index's folder");
      state.damaged = true;
    } else if (f.length < f.listedSize) {
      ReportFile(recording, progress, k,
                 "cut short: the file is " + std::to_string(f.length) + " bytes, the index lists " +
                     std::to_string(f.listedSize));
      state.damaged = true;
    }
    if (recording.IsBlockFile(k) && f.exists()) {
      state.scan = recording.ScanBlocks(k, Extent::kListed, [&](std::uint64_t reached) {
        progress.Bar("scanning data files", done + reached, total);
      });
      done += recording.ExtentOf(k, Extent::kListed);
      state.used.assign(state.scan.starts.size(), false);
      if (state.scan.fault) {
        ReportFile(recording, progress, k,
                   "offset " + std::to_string(state.scan.fault->place.offset) + ": " +
                       state.scan.fault->what);
        state.damaged = true;
      }
    }
    counts->damagedFiles += state.damaged;
  }
  return states;
}

// The first fault of `package`, after walking its chain; claims the blocks it passes.
std::optional<Fault> CheckPackage(const Recording& recording, std::uint64_t package,
                                  std::vector<FileState>& states, Counts* counts) {
  const RecordLookup record = recording.Record(package);
  if (record.fault) return record.fault;
  // Past the end of a scan that stopped at a fault the block starts are unknown; there
  // the walk's own checks of each block still apply.
  const auto find = [&states](std::uint32_t file, std::uint64_t pos) {
    const std::vector<std::uint64_t>& starts = states[file].scan.starts;
    const auto at = std::lower_bound(starts.begin(), starts.end(), pos);
    return at != starts.end() && *at == pos ? static_cast<std::size_t>(at - starts.begin())
                                            : starts.size();
  };
  WalkOptions options;
  options.isBlockStart = [&](std::uint32_t file, std::uint64_t pos) {
    return pos >= states[file].scan.end || find(file, pos) != states[file].scan.starts.size();
  };
  std::optional<Fault> shared;
  const WalkResult walk =
      recording.Walk(record.image, record.place, options, [&](const ChainBlock& block) {
        const std::size_t k = find(block.file, block.headerPos);
        std::vector<bool>& used = states[block.file].used;
        if (k == used.size()) return true;
        if (used[k]) {
          shared = Fault{{false, block.file, block.headerPos},
                         "the block is also in the chain of an earlier package"};
          return false;
        }
        used[k] = true;
        return true;
      });
  counts->blocks += walk.blocks;
  counts->bytes += walk.bytes;
  return shared ? shared : walk.fault;
}

std::uint64_t CountUnusedBlocks(const std::vector<FileState>& states) {
  std::uint64_t unused = 0;
  for (const FileState& state : states) {
    unused += std::count(state.used.begin(), state.used.end(), false);
  }
  return unused;
}

}  // namespace

int RunVerify(const VerifyOptions& options) {
  const std::unique_ptr<Recording> recording = OpenRecording(options.index);
  if (!recording) return kExitCannotRead;
  const std::uint64_t packages = recording->packageCount();
  std::printf("verifying %s: %zu data files, %" PRIu64 " packages\n",
              Printable(options.index).c_str(),
              recording->files().size(), packages);
  Progress progress;
  Counts counts;
  // Read as far as it goes, which may be nothing; Save never writes such an index.
  const bool indexCutShort = recording->indexEndsInsideHeader();
  if (indexCutShort) std::printf("index: cut short inside its header or package count\n");
  std::vector<FileState> states = CheckFiles(*recording, progress, &counts);
  for (std::uint64_t n = 0; n < packages; ++n) {
    progress.Bar("walking chains", n, packages);
    if (const std::optional<Fault> fault = CheckPackage(*recording, n, states, &counts)) {
      progress.Clear();
      std::printf("package %" PRIu64 ": %s: %s\n", n, PlaceText(*recording, fault->place).c_str(),
                  Printable(fault->what).c_str());
      ++counts.damagedPackages;
    }
  }
  progress.Clear();
  const std::uint64_t unused = CountUnusedBlocks(states);
  if (unused != 0) {
    std::printf("note: %" PRIu64 " block%s of the data files belong to no package's chain\n",
                unused, unused == 1 ? "" : "s");
  }
  const std::size_t fileCount = recording->files().size();
  if (!indexCutShort && counts.damagedFiles == 0 && counts.damagedPackages == 0) {
    std::printf("intact: %" PRIu64 " packages, %" PRIu64 " blocks, %" PRIu64
                " bytes in %zu data files\n",
                packages, counts.blocks, counts.bytes, fileCount);
    return FinishOutput(kExitOk);
  }
  std::printf("damaged: %" PRIu64 " of %" PRIu64 " packages, %" PRIu64 " of %zu data files\n",
              counts.damagedPackages, packages, counts.damagedFiles, fileCount);
  return FinishOutput(kExitDamaged);
}

}  // namespace qbx::cli
