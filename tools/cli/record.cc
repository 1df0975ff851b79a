// quillbox record: the library's main job as a tool. Makes a database in a folder,
// adds writer threads and packages, stores items into every package from one or more
// calling threads for a while, synchronizes, saves the index beside the data files and
// verifies what it saved. Records through the public C API only, like any application.
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "quillbox.h"
#include "report.h"
#include "terminal.h"

namespace qbx::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A longer duration sets no deadline: its clock ticks (nanoseconds) would overflow.
constexpr double kLongestSeconds = 10.0 * 365 * 24 * 60 * 60;

// What the calling threads share with the one that watches them.
struct Run {
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::atomic<std::uint64_t> items{0};  // Counters for the progress line only.
  std::atomic<std::uint64_t> bytes{0};
  std::mutex mutex;
  std::condition_variable finished;
  std::uint32_t running = 0;  // Guarded by mutex.
};

// Item `index` of `package`: the package and the item's number, little-endian, then a
// fixed pattern, so that every item differs from its neighbours.
void Stamp(std::string& item, std::uint64_t package, std::uint64_t index) {
  const std::uint64_t fields[] = {package, index};
  for (std::size_t i = 0; i < 16 && i < item.size(); ++i) {
    item[i] = static_cast<char>(fields[i / 8] >> (8 * (i % 8)));
  }
}

// Stores into the packages p with p % callers == caller, one item each in turn, until
// asked to stop, each has `items` items, or a Store fails. A caller beyond the number
// of packages has none, and ends at once: its loop would never look at the stop flag.
void StoreItems(Quillbox* db, const RecordOptions& options, std::uint32_t caller, Run& run) {
  if (caller >= options.packages) return;
  std::string item(static_cast<std::size_t>(options.itemSize), '\0');
  for (std::size_t i = 16; i < item.size(); ++i) item[i] = static_cast<char>('a' + i % 26);
  for (std::uint64_t index = 0; options.items == 0 || index < options.items; ++index) {
    for (std::uint64_t p = caller; p < options.packages; p += options.callers) {
      if (run.stop.load(std::memory_order_relaxed)) return;
      Stamp(item, p, index);
      if (Quillbox_Store(p, item.size(), item.data(), nullptr, db) != 0) {
        run.failed.store(true);
        run.stop.store(true);
        return;
      }
      run.items.fetch_add(1, std::memory_order_relaxed);
      run.bytes.fetch_add(item.size(), std::memory_order_relaxed);
    }
  }
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

std::string ProgressText(const Run& run, Clock::time_point start) {
  const double seconds = Seconds(Clock::now() - start);
  const double bytes = static_cast<double>(run.bytes.load(std::memory_order_relaxed));
  char text[160];
  std::snprintf(text, sizeof text, "recording: %.1f s, %" PRIu64 " items, %s, %s/s", seconds,
                run.items.load(std::memory_order_relaxed), HumanBytes(bytes).c_str(),
                HumanBytes(seconds > 0 ? bytes / seconds : 0).c_str());
  return text;
}

// Runs the calling threads until they finish or, when `timed`, the time is up (at most
// kLongestSeconds), drawing the progress line meanwhile.
void StoreFromCallers(Quillbox* db, const RecordOptions& options, bool timed, Run& run) {
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline =
      timed ? start + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(options.seconds))
            : start;
  std::vector<std::thread> callers;
  run.running = options.callers;
  for (std::uint32_t c = 0; c < options.callers; ++c) {
    callers.emplace_back([&, c] {
      StoreItems(db, options, c, run);
      std::lock_guard<std::mutex> lock(run.mutex);
      --run.running;
      run.finished.notify_all();
    });
  }
  Progress progress;
  {
    std::unique_lock<std::mutex> lock(run.mutex);
    while (run.running != 0) {
      if (timed && Clock::now() >= deadline) run.stop.store(true);
      Clock::time_point wake = Clock::now() + std::chrono::milliseconds(100);
      if (timed && !run.stop.load()) wake = std::min(wake, deadline);
      run.finished.wait_until(lock, wake);
      progress.Line(ProgressText(run, start));
    }
  }
  for (std::thread& caller : callers) caller.join();
}

std::string ErrorOf(Quillbox* db, const std::string& what) {
  const char* message = Quillbox_GetErrorMessage(db);
  return message != nullptr && *message != '\0' ? what + ": " + message : what;
}

// Makes the database with its threads and packages; null after complaining.
Quillbox* CreateDatabase(const RecordOptions& options) {
  Quillbox* db = nullptr;
  if (Quillbox_Create(&db, options.packageSize, options.maxQueued.value_or(options.packages),
                      options.folder.c_str()) != 0) {
    Complain("Unable to create a database in " + options.folder);
    return nullptr;
  }
  const std::uint64_t limit = options.fileLimit == 0 ? ~std::uint64_t{0} : options.fileLimit;
  bool made = true;
  for (std::uint32_t w = 0; made && w < options.writers; ++w) {
    const char* name = nullptr;
    made = Quillbox_NewThread(&name, options.folder.c_str(), limit, db) == 0;
  }
  for (std::uint64_t p = 0; made && p < options.packages; ++p) {
    std::uint64_t package = 0;
    made = Quillbox_NewPackage(&package, db) == 0;
  }
  if (!made) {
    Complain(ErrorOf(db, "Unable to add the writers and packages in " + options.folder));
    Quillbox_Destroy(db);
    return nullptr;
  }
  return db;
}

bool CheckOptions(const RecordOptions& options) {
  const char* wrong = nullptr;
  // An empty name would save to the root folder's quillbox.index.
  if (options.folder.empty()) wrong = "the folder must not be empty";
  if (options.packages == 0) wrong = "--packages must be at least 1";
  if (options.writers == 0) wrong = "--writers must be at least 1";
  if (options.callers == 0) wrong = "--callers must be at least 1";
  if (options.itemSize == 0) wrong = "--item-size must be at least 1";
  if (!(options.seconds >= 0)) wrong = "--duration must not be negative";
  if (wrong != nullptr) Complain(wrong);
  return wrong == nullptr;
}

}  // namespace

int RunRecord(const RecordOptions& options) {
  if (!CheckOptions(options)) return kExitCannotRead;
  const std::filesystem::path folder(std::u8string(options.folder.begin(), options.folder.end()));
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const std::string index = options.folder + "/quillbox.index";
  if (std::filesystem::exists(folder / "quillbox.index", error)) {
    Complain("A recording is in " + options.folder + " already: choose another folder");
    return kExitCannotRead;
  }
  Quillbox* db = CreateDatabase(options);
  if (db == nullptr) return kExitCannotRead;
  const bool timed = options.secondsGiven || options.items == 0;
  const bool limited = timed && options.seconds <= kLongestSeconds;
  std::printf(
      "recording into %s: %" PRIu64 " packages, %u writers, %u callers, items of %" PRIu64 " bytes",
      options.folder.c_str(), options.packages, options.writers, options.callers, options.itemSize);
  if (options.items != 0) std::printf(", %" PRIu64 " per package", options.items);
  if (limited) std::printf(", for %.1f s", options.seconds);
  if (timed && !limited) std::printf(", with no time limit");
  std::printf("\n");
  std::fflush(stdout);

  Run run;
  const Clock::time_point start = Clock::now();
  StoreFromCallers(db, options, limited, run);
  const Clock::time_point stored = Clock::now();
  const bool synchronized = !run.failed && Quillbox_Synchronize(db) == 0;
  const Clock::time_point written = Clock::now();
  if (!synchronized) {
    Complain(ErrorOf(db, run.failed ? "Unable to store" : "Unable to synchronize"));
    Quillbox_Destroy(db);
    return kExitCannotRead;
  }
  const std::uint64_t bytes = run.bytes.load();
  const double seconds = Seconds(written - start);
  std::printf("stored %" PRIu64 " items (%s) in %.2f s, all in the data files after %.2f s: %s/s\n",
              run.items.load(), HumanBytes(static_cast<double>(bytes)).c_str(),
              Seconds(stored - start), seconds,
              HumanBytes(seconds > 0 ? bytes / seconds : 0).c_str());
  if (Quillbox_Save(index.c_str(), db) != 0) {
    Complain(ErrorOf(db, "Unable to save the index " + index));
    Quillbox_Destroy(db);
    return kExitCannotRead;
  }
  Quillbox_Destroy(db);
  std::printf("saved %s\n", index.c_str());
  std::fflush(stdout);
  return RunVerify(VerifyOptions{index});
}

}  // namespace qbx::cli
