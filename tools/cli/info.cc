// quillbox info: a recording's settings, its data files and its packages, each package
// measured by walking its chain (block headers only).
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "report.h"
#include "terminal.h"

namespace qbx::cli {
namespace {

struct PackageFigures {
  std::uint64_t bytes = 0;
  std::uint64_t blocks = 0;
  bool parked = false;
  bool damaged = false;
};

struct Totals {
  std::uint64_t bytes = 0;
  std::uint64_t blocks = 0;
  std::uint64_t parked = 0;
  std::uint64_t empty = 0;
  std::uint64_t damaged = 0;
  std::uint64_t smallest = 0, largest = 0;  // Package numbers.
};

PackageFigures Measure(const Recording& recording, std::uint64_t package) {
  PackageFigures figures;
  const RecordLookup record = recording.Record(package);
  figures.parked = record.parked;
  if (record.fault) {
    figures.damaged = true;
    return figures;
  }
  const WalkResult walk = recording.Walk(record.image, record.place, WalkOptions{});
  figures.bytes = walk.bytes;
  figures.blocks = walk.blocks;
  figures.damaged = walk.fault.has_value();
  return figures;
}

std::vector<PackageFigures> MeasureAll(const Recording& recording, Totals* totals) {
  Progress progress;
  std::vector<PackageFigures> all;
  all.reserve(recording.packageCount());
  for (std::uint64_t n = 0; n < recording.packageCount(); ++n) {
    progress.Bar("reading chains", n, recording.packageCount());
    const PackageFigures figures = Measure(recording, n);
    totals->bytes += figures.bytes;
    totals->blocks += figures.blocks;
    totals->parked += figures.parked;
    totals->empty += figures.blocks == 0 && !figures.damaged;
    totals->damaged += figures.damaged;
    all.push_back(figures);
    if (n == 0 || figures.bytes < all[totals->smallest].bytes) totals->smallest = n;
    if (figures.bytes > all[totals->largest].bytes) totals->largest = n;
  }
  return all;
}

std::string LimitText(std::uint64_t maxSize) {
  return maxSize == ~std::uint64_t{0} ? "none" : std::to_string(maxSize);
}

void PrintFilesText(const Recording& recording) {
  std::printf("data files    %zu\n", recording.files().size());
  std::printf("  %-4s  %14s  %14s  %-8s  %s\n", "file", "size", "limit", "on disk", "path");
  for (std::uint32_t k = 0; k < recording.files().size(); ++k) {
    const RecordingFile& f = recording.files()[k];
    std::string notes;
    if (f.isPackageFile) notes += " (package file)";
    if (f.exists() && f.path != f.listedName) notes += " (listed as " + Printable(f.listedName) + ")";
    if (f.exists() && f.length != f.listedSize) {
      notes += " (" + std::to_string(f.length) + " bytes on disk)";
    }
    std::printf("  %-4u  %14" PRIu64 "  %14s  %-8s  %s%s\n", k, f.listedSize,
                LimitText(f.maxSize).c_str(), f.exists() ? "present" : "MISSING",
                Printable(PathOf(recording, k)).c_str(), notes.c_str());
  }
}

void PrintText(const Recording& recording, const std::vector<PackageFigures>& packages,
               const Totals& totals, bool everyPackage) {
  const IndexHeader& header = recording.header();
  std::printf("index         %s\n", Printable(recording.indexPath()).c_str());
  std::printf("package size  %" PRIu64 " bytes\n", header.packageSize);
  std::printf("package file  %s\n", header.hasPackageFile ? "yes (data file 0)" : "no");
  PrintFilesText(recording);
  const std::uint64_t count = recording.packageCount();
  std::printf("packages      %" PRIu64 " (%" PRIu64 " held in the index, %" PRIu64
              " parked in the package file)\n",
              count, count - totals.parked, totals.parked);
  std::printf("blocks        %" PRIu64 "\n", totals.blocks);
  std::printf("bytes         %" PRIu64 " (%s)\n", totals.bytes, HumanBytes(totals.bytes).c_str());
  if (count != 0) {
    std::printf("per package   smallest %" PRIu64 " bytes (package %" PRIu64 "), largest %" PRIu64
                " bytes (package %" PRIu64 "), %" PRIu64 " empty\n",
                packages[totals.smallest].bytes, totals.smallest, packages[totals.largest].bytes,
                totals.largest, totals.empty);
  }
  if (totals.damaged != 0) {
    std::printf("damaged       %" PRIu64 " package%s (quillbox verify tells where)\n",
                totals.damaged, totals.damaged == 1 ? "" : "s");
  }
  if (!everyPackage) return;
  std::printf("\n%10s  %14s  %10s  %s\n", "package", "bytes", "blocks", "record");
  for (std::uint64_t n = 0; n < count; ++n) {
    const PackageFigures& p = packages[n];
    std::printf("%10" PRIu64 "  %14" PRIu64 "  %10" PRIu64 "  %s%s\n", n, p.bytes, p.blocks,
                p.parked ? "parked" : "held", p.damaged ? "  damaged" : "");
  }
}

void PrintJson(const Recording& recording, const std::vector<PackageFigures>& packages,
               const Totals& totals, bool everyPackage) {
  const IndexHeader& header = recording.header();
  std::printf("{\n  \"index\": %s,\n", JsonString(recording.indexPath()).c_str());
  std::printf("  \"packageSize\": %" PRIu64 ",\n", header.packageSize);
  std::printf("  \"packageFile\": %s,\n", header.hasPackageFile ? "true" : "false");
  std::printf("  \"files\": [");
  for (std::uint32_t k = 0; k < recording.files().size(); ++k) {
    const RecordingFile& f = recording.files()[k];
    std::printf("%s\n    {\"file\": %u, \"path\": %s, \"listedPath\": %s, \"size\": %" PRIu64
                ", \"length\": %" PRIu64 ", \"limit\": %s, \"exists\": %s, \"packageFile\": %s}",
                k == 0 ? "" : ",", k, JsonString(PathOf(recording, k)).c_str(),
                JsonString(f.listedName).c_str(), f.listedSize, f.length,
                f.maxSize == ~std::uint64_t{0} ? "null" : std::to_string(f.maxSize).c_str(),
                f.exists() ? "true" : "false", f.isPackageFile ? "true" : "false");
  }
  std::printf("%s],\n", recording.files().empty() ? "" : "\n  ");
  std::printf("  \"packageCount\": %" PRIu64 ",\n", recording.packageCount());
  std::printf("  \"parkedRecords\": %" PRIu64 ",\n", totals.parked);
  std::printf("  \"blocks\": %" PRIu64 ",\n", totals.blocks);
  std::printf("  \"bytes\": %" PRIu64 ",\n", totals.bytes);
  std::printf("  \"emptyPackages\": %" PRIu64 ",\n", totals.empty);
  std::printf("  \"damagedPackages\": %" PRIu64 "%s\n", totals.damaged, everyPackage ? "," : "");
  if (everyPackage) {
    std::printf("  \"packages\": [");
    for (std::uint64_t n = 0; n < packages.size(); ++n) {
      const PackageFigures& p = packages[n];
      std::printf("%s\n    {\"package\": %" PRIu64 ", \"bytes\": %" PRIu64 ", \"blocks\": %" PRIu64
                  ", \"record\": \"%s\", \"damaged\": %s}",
                  n == 0 ? "" : ",", n, p.bytes, p.blocks, p.parked ? "parked" : "held",
                  p.damaged ? "true" : "false");
    }
    std::printf("%s]\n", packages.empty() ? "" : "\n  ");
  }
  std::printf("}\n");
}

}  // namespace

int RunInfo(const InfoOptions& options) {
  const std::unique_ptr<Recording> recording = OpenRecording(options.index);
  if (!recording) return kExitCannotRead;
  Totals totals;
  const std::vector<PackageFigures> packages = MeasureAll(*recording, &totals);
  if (options.json) {
    PrintJson(*recording, packages, totals, options.packages);
  } else {
    PrintText(*recording, packages, totals, options.packages);
  }
  return FinishOutput(kExitOk);
}

}  // namespace qbx::cli
