// quillbox recover: after a crash, writes a new index that covers the blocks stored
// after the last Save as far as they can be verified (qbx::RecoverRecording), and
// tells per package what was gained and what could not be reached, and why. The old
// index and the data files are only read.
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>

#include "commands.h"
#include "report.h"
#include "storage/recover.h"

namespace qbx::cli {
namespace {

std::string Amount(std::uint64_t blocks, std::uint64_t bytes) {
  std::string text = std::to_string(blocks) + (blocks == 1 ? " block, " : " blocks, ") +
                     std::to_string(bytes) + " bytes";
  if (bytes >= 1024) text += " (" + HumanBytes(static_cast<double>(bytes)) + ")";
  return text;
}

std::string FaultText(const Recording& recording, const Fault& fault) {
  return PlaceText(recording, fault.place) + ": " + Printable(fault.what);
}

struct Totals {
  std::uint64_t blocks = 0, bytes = 0;
  std::uint64_t cut = 0;  // Packages whose chain could not be followed to its end.
};

void ReportPackages(const Recording& recording, const Recovery& recovery, Totals* totals) {
  for (std::uint64_t n = 0; n < recovery.packages.size(); ++n) {
    const RecoveredPackage& p = recovery.packages[n];
    totals->blocks += p.gainedBlocks();
    totals->bytes += p.gainedBytes();
    totals->cut += p.unreached.has_value();
    std::string line;
    if (n >= recovery.savedPackages) {
      line = "new, from the package file: " + Amount(p.blocks, p.bytes);
    } else if (p.gainedBlocks() != 0) {
      // Appended rather than "+" + ...: gcc 12 warns falsely (-Wrestrict) on the sum.
      line = '+';
      line += Amount(p.gainedBlocks(), p.gainedBytes());
      if (p.fromPackageFile) line += " (its first block from the package file)";
    }
    if (p.unreached) {
      if (!line.empty()) line += "; ";
      line += "not reached beyond: " + FaultText(recording, *p.unreached);
    }
    if (!line.empty()) std::printf("package %" PRIu64 ": %s\n", n, line.c_str());
  }
  if (recovery.recordsEnd) {
    const std::uint64_t first = recovery.packages.size();
    const std::uint64_t last = first + recovery.recordsLeft - 1;
    const std::string which = recovery.recordsLeft == 1
                                  ? "package " + std::to_string(first)
                                  : "packages " + std::to_string(first) + " to " +
                                        std::to_string(last);
    std::printf("%s: not recovered: %s\n", which.c_str(),
                FaultText(recording, *recovery.recordsEnd).c_str());
  }
}

void ReportFiles(const Recording& recording, const Recovery& recovery) {
  for (std::uint32_t k = 0; k < recovery.files.size(); ++k) {
    const RecoveredFile& f = recovery.files[k];
    const std::string path = Printable(PathOf(recording, k));
    if (!f.exists) {
      std::printf("data file %u (%s): missing; listed as before\n", k, path.c_str());
      continue;
    }
    if (f.length < f.listedSize) {
      std::printf("data file %u (%s): cut short: %" PRIu64 " bytes, the index lists %" PRIu64 "\n",
                  k, path.c_str(), f.length, f.listedSize);
      continue;
    }
    if (f.size == f.listedSize && f.size >= f.length) continue;
    std::string line = "size " + std::to_string(f.listedSize) + " -> " + std::to_string(f.size);
    if (f.size < f.length) {
      line += "; " + std::to_string(f.length - f.size) + " bytes past it left out";
      if (f.tail) line += " (" + FaultText(recording, *f.tail) + ")";
    }
    std::printf("data file %u (%s): %s\n", k, path.c_str(), line.c_str());
  }
}

}  // namespace

int RunRecover(const RecoverOptions& options) {
  // Anything at the path counts, a link that leads nowhere too: the new index would
  // take its place.
  std::error_code error;
  const std::filesystem::path output(std::u8string(options.output.begin(), options.output.end()));
  if (!options.force && std::filesystem::exists(std::filesystem::symlink_status(output, error))) {
    Complain(options.output + " exists already: give --force to replace it; no index written");
    return kExitCannotRead;
  }
  const std::unique_ptr<Recording> recording = OpenRecording(options.index);
  if (!recording) return kExitCannotRead;
  // Before any work, so that a refusal is all the output says.
  try {
    RefuseRecoveredIndexPath(*recording, options.output);
  } catch (const std::exception& e) {
    Complain(std::string(e.what()) + "; no index written");
    return kExitCannotRead;
  }
  std::printf("recovering %s: %zu data files, %" PRIu64 " packages\n",
              Printable(options.index).c_str(),
              recording->files().size(), recording->packageCount());
  const Recovery recovery = RecoverRecording(*recording);
  Totals totals;
  ReportPackages(*recording, recovery, &totals);
  ReportFiles(*recording, recovery);
  try {
    if (!WriteRecoveredIndex(*recording, recovery, options.output)) {
      Complain("warning: the system did not confirm that the data files are durable");
    }
  } catch (const std::exception& e) {
    Complain(std::string(e.what()) + "; no index written");
    return kExitCannotRead;
  }
  const std::uint64_t added = recovery.packages.size() - recovery.savedPackages;
  std::printf("wrote %s: %zu packages (%" PRIu64 " new), %s beyond the old index\n",
              Printable(options.output).c_str(), recovery.packages.size(), added,
              Amount(totals.blocks, totals.bytes).c_str());
  bool filesIntact = true;
  for (std::uint32_t k = 0; k < recovery.files.size(); ++k) {
    filesIntact = filesIntact && recovery.files[k].exists &&
                  recovery.files[k].length >= recovery.files[k].listedSize;
  }
  if (recovery.Complete()) {
    std::printf("complete: every chain was followed to its end\n");
    return FinishOutput(kExitOk);
  }
  std::printf("incomplete: %" PRIu64 " package%s cut short, %" PRIu64
              " record%s of the package file left%s\n",
              totals.cut, totals.cut == 1 ? "" : "s", recovery.recordsLeft,
              recovery.recordsLeft == 1 ? "" : "s",
              filesIntact ? "" : ", data files missing or cut short");
  return FinishOutput(kExitDamaged);
}

}  // namespace qbx::cli
