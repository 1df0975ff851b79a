// recorder_bench: the recorder's main job measured three ways in one run, on the same
// workload and the same bytes: the library, a plain sequential pwrite of the items into
// one file per producer (what recording costs at the least), and LMDB (a general
// key-value store). Prints one table row per system, item size and queue limit.
//
// Workload of a case: P packages (streams) of 1 MiB package size; two producer
// threads, producer t storing into the packages p with p % 2 == t, round-robin over
// its packages item by item; items of one size; a fixed number of bytes per case. The
// library gets two writer threads in the case's temporary folder. Every item's bytes
// are a slice of a fixed pseudo-random pattern chosen by (package, index), so any item
// read back is checked against what was stored without keeping a copy.
//
// Each case runs in a forked child so that its peak RSS is its own; the child sends
// its figures back through a pipe. Reads follow right after the writes: the page cache
// is warm, nothing is fsynced.
#include <fcntl.h>
#include <lmdb.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quillbox.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kPackageSize = kMiB;
constexpr std::uint64_t kWriterFileLimit = 1ull << 30;  // no roll-over inside a case
constexpr int kProducers = 2;
constexpr int kWriterThreads = 2;
// Replay delivers into a buffer of this size; random reads fill one of this size in
// batches before their bytes are checked (checking is not timed).
constexpr std::uint64_t kPiece = kMiB;
constexpr std::uint64_t kMaxBatchItems = 1024;
constexpr std::uint64_t kPatternWindow = kMiB;  // a power of two: item slices start below it

// ---- Options ---------------------------------------------------------------------------

struct Options {
  std::uint64_t packages = 64;
  std::uint64_t bytesPerCase = 256 * kMiB;
  std::vector<std::uint64_t> itemSizes{64, kKiB, 64 * kKiB};
  std::vector<std::uint64_t> queueLimits{64, 16};
  std::uint64_t randomReads = 100000;
  std::uint64_t sampleEvery = 16;
  std::uint64_t lmdbTxnItems = 1000;
  bool lmdbWriteMap = true;
  bool runPlain = true;
  bool runLmdb = true;
  bool runQuillbox = true;
  bool markdown = false;
  std::string folder;  // where each case's temporary folder goes
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: recorder_bench [options]\n"
               "  --tiny               every case at 4 MiB with 1000 random reads (for CI)\n"
               "  --mib N              bytes per case in MiB (default 256)\n"
               "  --packages N         packages (default 64)\n"
               "  --items LIST         item sizes, e.g. 64,1K,64K (default)\n"
               "  --queue LIST         the library's queue limits (default 64,16)\n"
               "  --random N           random reads per case (default 100000)\n"
               "  --sample-every N     time every Nth store/put/pwrite (default 16)\n"
               "  --systems LIST       any of plain,lmdb,quillbox (default all)\n"
               "  --lmdb-txn N         LMDB items per write transaction (default 1000)\n"
               "  --no-lmdb-writemap   LMDB without MDB_WRITEMAP (MDB_NOSYNC stays)\n"
               "  --dir PATH           folder for the temporary files (default: system temp)\n"
               "  --markdown           print the table as Markdown\n");
}

[[noreturn]] void UsageError(const std::string& text) {
  std::fprintf(stderr, "recorder_bench: %s\n", text.c_str());
  PrintUsage(stderr);
  std::exit(2);
}

// A count with an optional K, M or G suffix (powers of 1024).
std::uint64_t ParseSize(const std::string& text) {
  if (text.empty()) UsageError("empty number");
  std::size_t used = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(text, &used);
  } catch (const std::exception&) {
    UsageError("not a number: " + text);
  }
  const std::string suffix = text.substr(used);
  if (suffix.empty()) return value;
  if (suffix == "K" || suffix == "k" || suffix == "KiB") return value * kKiB;
  if (suffix == "M" || suffix == "m" || suffix == "MiB") return value * kMiB;
  if (suffix == "G" || suffix == "g" || suffix == "GiB") return value * kMiB * 1024;
  UsageError("unknown suffix in " + text);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return parts;
}

std::vector<std::uint64_t> ParseSizeList(const std::string& text) {
  std::vector<std::uint64_t> values;
  for (const std::string& part : SplitList(text)) values.push_back(ParseSize(part));
  return values;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  bool tiny = false;
  std::optional<std::uint64_t> mib, randomReads;
  for (int a = 1; a < argc; ++a) {
    std::string name = argv[a];
    std::optional<std::string> inlineValue;
    if (const std::size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (a + 1 >= argc) UsageError(name + " needs a value");
      return argv[++a];
    };
    auto positive = [&](std::uint64_t v) {
      if (v == 0) UsageError(name + " must be positive");
      return v;
    };
    if (name == "--help" || name == "-h") {
      PrintUsage(stdout);
      std::exit(0);
    } else if (name == "--tiny") {
      tiny = true;
    } else if (name == "--mib") {
      mib = positive(ParseSize(value()));
    } else if (name == "--packages") {
      options.packages = positive(ParseSize(value()));
    } else if (name == "--items") {
      options.itemSizes = ParseSizeList(value());
      for (std::uint64_t size : options.itemSizes) positive(size);
    } else if (name == "--queue") {
      options.queueLimits = ParseSizeList(value());
    } else if (name == "--random") {
      randomReads = ParseSize(value());
    } else if (name == "--sample-every") {
      options.sampleEvery = positive(ParseSize(value()));
    } else if (name == "--systems") {
      options.runPlain = options.runLmdb = options.runQuillbox = false;
      for (const std::string& system : SplitList(value())) {
        if (system == "plain") {
          options.runPlain = true;
        } else if (system == "lmdb") {
          options.runLmdb = true;
        } else if (system == "quillbox") {
          options.runQuillbox = true;
        } else {
          UsageError("unknown system " + system);
        }
      }
    } else if (name == "--lmdb-txn") {
      options.lmdbTxnItems = positive(ParseSize(value()));
    } else if (name == "--no-lmdb-writemap") {
      options.lmdbWriteMap = false;
    } else if (name == "--dir") {
      options.folder = value();
    } else if (name == "--markdown") {
      options.markdown = true;
    } else {
      UsageError("unknown option " + name);
    }
  }
  options.bytesPerCase = mib ? *mib * kMiB : (tiny ? 4 * kMiB : options.bytesPerCase);
  options.randomReads = randomReads ? *randomReads : (tiny ? 1000 : options.randomReads);
  if (options.folder.empty()) options.folder = std::filesystem::temp_directory_path().string();
  return options;
}

// ---- Failures ----------------------------------------------------------------------

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw Failure(text);
}

// The first failure of any producer thread.
class FirstError {
 public:
  void Set(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text_.empty()) text_ = text;
  }
  void ThrowIfSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!text_.empty()) throw Failure(text_);
  }

 private:
  std::mutex mutex_;  // guards text_
  std::string text_;
};

// ---- Timing --------------------------------------------------------------------------

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t NanosecondsSince(Clock::time_point start) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

// Latencies of every Nth call of one producer, into an array sized before the run.
class Sampler {
 public:
  Sampler(std::uint64_t calls, std::uint64_t every) : every_(every), samples_(calls / every + 1) {}
  bool Due() { return calls_++ % every_ == 0; }
  void Add(Clock::time_point start) {
    const std::uint64_t ns = NanosecondsSince(start);
    if (count_ < samples_.size()) samples_[count_++] = ns;
  }
  const std::uint64_t* begin() const { return samples_.data(); }
  const std::uint64_t* end() const { return samples_.data() + count_; }

 private:
  std::uint64_t every_;
  std::uint64_t calls_ = 0;
  std::uint64_t count_ = 0;
  std::vector<std::uint64_t> samples_;
};

// Nearest-rank percentiles of all producers' samples.
void Percentiles(const std::vector<Sampler>& samplers, std::uint64_t* p50, std::uint64_t* p99) {
  std::vector<std::uint64_t> all;
  for (const Sampler& sampler : samplers) all.insert(all.end(), sampler.begin(), sampler.end());
  if (all.empty()) return;
  auto at = [&](double q) {
    const std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(all.size() - 1));
    std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(rank), all.end());
    return all[rank];
  };
  *p50 = at(0.50);
  *p99 = at(0.99);
}

// ru_maxrss so far, in MiB (ru_maxrss is in KiB).
double PeakRssMiB() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The peak RSS of the case's child when its write phase ended, before any read: the
// memory the writing took, without the pages that reads bring in (for the library,
// the pages of its read-only maps of the data files; for LMDB, of its own map).
double writePhaseRssMiB = 0;

// Starts one thread per producer, lets them go together, joins them and runs `finish`
// (the system's "everything handed to the OS"). Returns the seconds from the release
// of the producers to finish's return.
template <typename Produce, typename Finish>
double TimedWrite(const Produce& produce, const Finish& finish) {
  std::atomic<bool> go{false};
  FirstError error;
  std::vector<std::thread> producers;
  for (int t = 0; t < kProducers; ++t) {
    producers.emplace_back([&, t] {
      go.wait(false, std::memory_order_acquire);
      try {
        produce(t);
      } catch (const std::exception& e) {
        error.Set(e.what());
      }
    });
  }
  const Clock::time_point start = Clock::now();
  go.store(true, std::memory_order_release);
  go.notify_all();
  for (std::thread& producer : producers) producer.join();
  error.ThrowIfSet();
  finish();
  const double seconds = SecondsSince(start);
  writePhaseRssMiB = PeakRssMiB();
  return seconds;
}

// ---- The workload ----------------------------------------------------------------------

std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class Workload {
 public:
  Workload(const Options& options, std::uint64_t itemSize)
      : packages(options.packages),
        itemSize(itemSize),
        perPackage(std::max<std::uint64_t>(1, options.bytesPerCase / (options.packages * itemSize))),
        pattern_(kPatternWindow + itemSize) {
    std::uint64_t state = 0x243F6A8885A308D3ull;
    for (unsigned char& byte : pattern_) byte = static_cast<unsigned char>(SplitMix(state) >> 56);
    picks.resize(options.randomReads);
    state = 0x13198A2E03707344ull;
    for (std::uint64_t& pick : picks) pick = SplitMix(state) % TotalItems();
  }

  std::uint64_t TotalItems() const { return packages * perPackage; }
  std::uint64_t TotalBytes() const { return TotalItems() * itemSize; }
  // Producer t stores into packages t, t + 2, t + 4, ...
  std::uint64_t PackagesOf(int t) const {
    return (packages + kProducers - 1 - static_cast<std::uint64_t>(t)) / kProducers;
  }
  std::uint64_t ItemsOf(int t) const { return PackagesOf(t) * perPackage; }

  // The bytes of item `index` of package `package`: a slice of the pattern whose start
  // differs for every index of a package (an odd multiplier modulo a power of two).
  const unsigned char* Item(std::uint64_t package, std::uint64_t index) const {
    return pattern_.data() +
           ((package * 0x9E3779B97F4A7C15ull + index * 0x85EBCA77C2B2AE63ull) & (kPatternWindow - 1));
  }

  const std::uint64_t packages;
  const std::uint64_t itemSize;
  const std::uint64_t perPackage;
  std::vector<std::uint64_t> picks;  // global item numbers package * perPackage + index

 private:
  std::vector<unsigned char> pattern_;
};

// Whether `length` bytes that a stream delivered from stream position `position` on
// equal the stream's items, the k-th of which is itemAt(k).
template <typename ItemAt>
bool MatchesStream(const unsigned char* bytes, std::uint64_t length, std::uint64_t position,
                   std::uint64_t itemSize, const ItemAt& itemAt) {
  while (length != 0) {
    const std::uint64_t k = position / itemSize;
    const std::uint64_t within = position % itemSize;
    const std::uint64_t take = std::min(length, itemSize - within);
    if (std::memcmp(bytes, itemAt(k) + within, take) != 0) return false;
    bytes += take;
    position += take;
    length -= take;
  }
  return true;
}

// Random reads in batches: `read(number, destination)` fills one item, timed; the
// batch is then compared with the expected items, untimed. Returns the seconds spent
// reading.
template <typename Read>
double TimedRandomReads(const Workload& w, const char* system, const Read& read) {
  const std::uint64_t batch = std::clamp<std::uint64_t>(kPiece / w.itemSize, 1, kMaxBatchItems);
  std::vector<unsigned char> buffer(batch * w.itemSize);
  double seconds = 0;
  for (std::uint64_t first = 0; first < w.picks.size(); first += batch) {
    const std::uint64_t count = std::min<std::uint64_t>(batch, w.picks.size() - first);
    const Clock::time_point start = Clock::now();
    for (std::uint64_t j = 0; j < count; ++j) read(w.picks[first + j], buffer.data() + j * w.itemSize);
    seconds += SecondsSince(start);
    for (std::uint64_t j = 0; j < count; ++j) {
      const std::uint64_t number = w.picks[first + j];
      const std::uint64_t package = number / w.perPackage;
      const std::uint64_t index = number % w.perPackage;
      if (std::memcmp(buffer.data() + j * w.itemSize, w.Item(package, index), w.itemSize) != 0) {
        Fail("%s: random read of item %" PRIu64 " of package %" PRIu64 " returned wrong bytes", system, index,
             package);
      }
    }
  }
  return seconds;
}

// ---- Results ---------------------------------------------------------------------------

enum class System { kPlain, kLmdb, kQuillbox };

const char* SystemName(System system) {
  switch (system) {
    case System::kPlain:
      return "plain";
    case System::kLmdb:
      return "lmdb";
    case System::kQuillbox:
      return "quillbox";
  }
  return "?";
}

// What a child sends back through its pipe: plain data only.
struct Result {
  int ok = 0;
  char error[512] = {};
  double writeMiBs = 0;
  double replayMiBs = 0;
  double randomPerSecond = 0;
  std::uint64_t p50 = 0;  // ns, 0 when not measured
  std::uint64_t p99 = 0;
  double peakRssMiB = 0;
  double writeRssMiB = 0;
  std::uint64_t bytes = 0;
};

void Record(const Workload& w, double writeSeconds, double replaySeconds, double randomSeconds,
            const std::vector<Sampler>& samplers, Result* result) {
  const double mib = static_cast<double>(w.TotalBytes()) / kMiB;
  result->bytes = w.TotalBytes();
  result->writeMiBs = mib / writeSeconds;
  result->replayMiBs = mib / replaySeconds;
  result->randomPerSecond = w.picks.empty() ? 0 : static_cast<double>(w.picks.size()) / randomSeconds;
  Percentiles(samplers, &result->p50, &result->p99);
}

std::vector<Sampler> MakeSamplers(const Workload& w, const Options& options) {
  std::vector<Sampler> samplers;
  for (int t = 0; t < kProducers; ++t) samplers.emplace_back(w.ItemsOf(t), options.sampleEvery);
  return samplers;
}

// ---- The library -----------------------------------------------------------------------

[[noreturn]] void FailQuillbox(Quillbox* db, const char* what) {
  const char* message = Quillbox_GetErrorMessage(db);
  Fail("quillbox: %s failed%s%s", what, message != nullptr && *message != 0 ? ": " : "",
       message != nullptr ? message : "");
}

void RunQuillbox(const Options& options, const Workload& w, std::uint64_t queueLimit,
                 const std::string& folder, Result* result) {
  Quillbox* created = nullptr;
  if (Quillbox_Create(&created, kPackageSize, queueLimit, folder.c_str()) != 0) {
    Fail("quillbox: Quillbox_Create failed");
  }
  std::unique_ptr<Quillbox, void (*)(Quillbox*)> owner(created, [](Quillbox* db) { Quillbox_Destroy(db); });
  Quillbox* db = owner.get();
  for (int t = 0; t < kWriterThreads; ++t) {
    const char* path = nullptr;
    if (Quillbox_NewThread(&path, folder.c_str(), kWriterFileLimit, db) != 0) {
      FailQuillbox(db, "Quillbox_NewThread");
    }
  }
  for (std::uint64_t p = 0; p < w.packages; ++p) {
    std::uint64_t number = 0;
    if (Quillbox_NewPackage(&number, db) != 0) FailQuillbox(db, "Quillbox_NewPackage");
    if (number != p) Fail("quillbox: NewPackage gave %" PRIu64 " for package %" PRIu64, number, p);
  }
  // Sized (and touched) up front: writers fill these in until Synchronize returns, so
  // they never move.
  std::vector<ItemLocation> locations(w.TotalItems());
  std::vector<Sampler> samplers = MakeSamplers(w, options);

  const double writeSeconds = TimedWrite(
      [&](int t) {
        Sampler& sampler = samplers[static_cast<std::size_t>(t)];
        for (std::uint64_t i = 0; i < w.perPackage; ++i) {
          for (std::uint64_t p = static_cast<std::uint64_t>(t); p < w.packages; p += kProducers) {
            const bool sample = sampler.Due();
            const Clock::time_point start = sample ? Clock::now() : Clock::time_point();
            if (Quillbox_Store(p, w.itemSize, w.Item(p, i), &locations[p * w.perPackage + i], db) != 0) {
              FailQuillbox(db, "Quillbox_Store");
            }
            if (sample) sampler.Add(start);
          }
        }
      },
      [&] {
        if (Quillbox_Synchronize(db) != 0) FailQuillbox(db, "Quillbox_Synchronize");
      });

  // Replay: every package in order through a cursor, into a 1 MiB buffer.
  std::vector<unsigned char> buffer(kPiece);
  double replaySeconds = 0;
  for (std::uint64_t p = 0; p < w.packages; ++p) {
    auto itemAt = [&](std::uint64_t k) { return w.Item(p, k); };
    ItemCursor* cursor = nullptr;
    Clock::time_point start = Clock::now();
    const bool opened = Quillbox_Open(&cursor, p, db) == 0;
    replaySeconds += SecondsSince(start);
    std::unique_ptr<ItemCursor*, void (*)(ItemCursor**)> closer(&cursor,
                                                                [](ItemCursor** c) { Quillbox_Close(c); });
    if (!opened) FailQuillbox(db, "Quillbox_Open");
    std::uint64_t position = 0;
    for (;;) {
      std::uint64_t count = 0;
      start = Clock::now();
      const bool read = Quillbox_RecoverContinous(&count, buffer.size(), buffer.data(), cursor, db) == 0;
      replaySeconds += SecondsSince(start);
      if (!read) FailQuillbox(db, "Quillbox_RecoverContinous");
      if (count > buffer.size() || !MatchesStream(buffer.data(), count, position, w.itemSize, itemAt)) {
        Fail("quillbox: replay of package %" PRIu64 " returned wrong bytes in the piece from byte %" PRIu64,
             p, position);
      }
      position += count;
      if (count < buffer.size()) break;
    }
    if (position != w.perPackage * w.itemSize) {
      Fail("quillbox: replay of package %" PRIu64 " gave %" PRIu64 " bytes, stored %" PRIu64, p, position,
           w.perPackage * w.itemSize);
    }
  }

  const double randomSeconds =
      TimedRandomReads(w, "quillbox", [&](std::uint64_t number, unsigned char* destination) {
        const std::uint64_t package = number / w.perPackage;
        if (Quillbox_RecoverRandom(w.itemSize, destination, &locations[number], package, db) != 0) {
          FailQuillbox(db, "Quillbox_RecoverRandom");
        }
      });
  Record(w, writeSeconds, replaySeconds, randomSeconds, samplers, result);
}

// ---- Plain sequential write ----------------------------------------------------------

class File {
 public:
  explicit File(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {
    if (fd_ < 0) Fail("plain: cannot create %s: %s", path.c_str(), std::strerror(errno));
  }
  ~File() { ::close(fd_); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  void WriteAt(const void* data, std::uint64_t size, std::uint64_t offset) const {
    const char* bytes = static_cast<const char*>(data);
    while (size != 0) {
      const ssize_t done = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) Fail("plain: pwrite failed: %s", std::strerror(errno));
      bytes += done;
      size -= static_cast<std::uint64_t>(done);
      offset += static_cast<std::uint64_t>(done);
    }
  }
  // Reads up to `size` bytes; fewer only at the end of the file.
  std::uint64_t ReadAt(void* data, std::uint64_t size, std::uint64_t offset) const {
    char* bytes = static_cast<char*>(data);
    std::uint64_t total = 0;
    while (total < size) {
      const ssize_t done = ::pread(fd_, bytes + total, size - total, static_cast<off_t>(offset + total));
      if (done < 0 && errno == EINTR) continue;
      if (done < 0) Fail("plain: pread failed: %s", std::strerror(errno));
      if (done == 0) break;
      total += static_cast<std::uint64_t>(done);
    }
    return total;
  }

 private:
  int fd_;
};

void RunPlain(const Options& options, const Workload& w, const std::string& folder, Result* result) {
  std::vector<std::unique_ptr<File>> files;
  for (int t = 0; t < kProducers; ++t) {
    files.push_back(std::make_unique<File>(folder + "/producer-" + std::to_string(t) + ".dat"));
  }
  std::vector<Sampler> samplers = MakeSamplers(w, options);
  // Producer t's file holds its items in the order it stored them: index by index,
  // its packages in turn.
  auto fileItem = [&w](int t, std::uint64_t k) {
    const std::uint64_t mine = w.PackagesOf(t);
    return w.Item(static_cast<std::uint64_t>(t) + (k % mine) * kProducers, k / mine);
  };

  const double writeSeconds = TimedWrite(
      [&](int t) {
        Sampler& sampler = samplers[static_cast<std::size_t>(t)];
        const File& file = *files[static_cast<std::size_t>(t)];
        std::uint64_t offset = 0;
        for (std::uint64_t i = 0; i < w.perPackage; ++i) {
          for (std::uint64_t p = static_cast<std::uint64_t>(t); p < w.packages; p += kProducers) {
            const bool sample = sampler.Due();
            const Clock::time_point start = sample ? Clock::now() : Clock::time_point();
            file.WriteAt(w.Item(p, i), w.itemSize, offset);
            if (sample) sampler.Add(start);
            offset += w.itemSize;
          }
        }
      },
      [] {});

  // Replay: each file whole, in 1 MiB pieces.
  std::vector<unsigned char> buffer(kPiece);
  double replaySeconds = 0;
  for (int t = 0; t < kProducers; ++t) {
    const File& file = *files[static_cast<std::size_t>(t)];
    std::uint64_t position = 0;
    for (;;) {
      const Clock::time_point start = Clock::now();
      const std::uint64_t count = file.ReadAt(buffer.data(), buffer.size(), position);
      replaySeconds += SecondsSince(start);
      if (!MatchesStream(buffer.data(), count, position, w.itemSize,
                         [&](std::uint64_t k) { return fileItem(t, k); })) {
        Fail("plain: replay of file %d returned wrong bytes in the piece from byte %" PRIu64, t, position);
      }
      position += count;
      if (count < buffer.size()) break;
    }
    if (position != w.ItemsOf(t) * w.itemSize) {
      Fail("plain: file %d holds %" PRIu64 " bytes, wrote %" PRIu64, t, position, w.ItemsOf(t) * w.itemSize);
    }
  }

  const double randomSeconds =
      TimedRandomReads(w, "plain", [&](std::uint64_t number, unsigned char* destination) {
        const std::uint64_t package = number / w.perPackage;
        const std::uint64_t index = number % w.perPackage;
        const int t = static_cast<int>(package % kProducers);
        const std::uint64_t offset = (index * w.PackagesOf(t) + package / kProducers) * w.itemSize;
        if (files[static_cast<std::size_t>(t)]->ReadAt(destination, w.itemSize, offset) != w.itemSize) {
          Fail("plain: short read of item %" PRIu64 " of package %" PRIu64, index, package);
        }
      });
  Record(w, writeSeconds, replaySeconds, randomSeconds, samplers, result);
}

// ---- LMDB --------------------------------------------------------------------------------

void CheckLmdb(int rc, const char* what) {
  if (rc != MDB_SUCCESS) Fail("lmdb: %s failed: %s", what, mdb_strerror(rc));
}

// (package, index) as 16 big-endian bytes: the default key order is then package
// order, and index order within a package.
void EncodeKey(std::uint64_t package, std::uint64_t index, unsigned char* key) {
  for (int b = 0; b < 8; ++b) {
    key[b] = static_cast<unsigned char>(package >> (56 - 8 * b));
    key[8 + b] = static_cast<unsigned char>(index >> (56 - 8 * b));
  }
}

std::uint64_t DecodeHalf(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int b = 0; b < 8; ++b) value = value << 8 | bytes[b];
  return value;
}

// Releases a transaction that was neither committed nor aborted (on a failure).
struct TxnGuard {
  MDB_txn* txn = nullptr;
  ~TxnGuard() {
    if (txn != nullptr) mdb_txn_abort(txn);
  }
};

void RunLmdb(const Options& options, const Workload& w, const std::string& folder, Result* result) {
  MDB_env* created = nullptr;
  CheckLmdb(mdb_env_create(&created), "mdb_env_create");
  std::unique_ptr<MDB_env, void (*)(MDB_env*)> owner(created, [](MDB_env* env) { mdb_env_close(env); });
  MDB_env* env = owner.get();
  // Small values take up to ~3 times their bytes in half-filled leaf pages; the map is
  // sparse, so a generous size costs nothing.
  CheckLmdb(mdb_env_set_mapsize(env, static_cast<std::size_t>(4 * w.TotalBytes() + 256 * kMiB)),
            "mdb_env_set_mapsize");
  CheckLmdb(mdb_env_open(env, folder.c_str(), MDB_NOSYNC | (options.lmdbWriteMap ? MDB_WRITEMAP : 0), 0644),
            "mdb_env_open");
  MDB_dbi dbi = 0;
  {
    TxnGuard guard;
    CheckLmdb(mdb_txn_begin(env, nullptr, 0, &guard.txn), "mdb_txn_begin");
    CheckLmdb(mdb_dbi_open(guard.txn, nullptr, 0, &dbi), "mdb_dbi_open");
    MDB_txn* txn = guard.txn;
    guard.txn = nullptr;
    CheckLmdb(mdb_txn_commit(txn), "mdb_txn_commit");
  }
  std::vector<Sampler> samplers = MakeSamplers(w, options);
  // LMDB has one write transaction at a time: a producer holds this mutex from the
  // begin of its transaction to the commit, lmdbTxnItems puts later.
  std::mutex writeTurn;

  const double writeSeconds = TimedWrite(
      [&](int t) {
        Sampler& sampler = samplers[static_cast<std::size_t>(t)];
        std::unique_lock<std::mutex> turn(writeTurn, std::defer_lock);
        TxnGuard guard;  // declared after `turn`: an abort comes before the unlock
        std::uint64_t inTxn = 0;
        unsigned char key[16];
        for (std::uint64_t i = 0; i < w.perPackage; ++i) {
          for (std::uint64_t p = static_cast<std::uint64_t>(t); p < w.packages; p += kProducers) {
            const bool sample = sampler.Due();
            const Clock::time_point start = sample ? Clock::now() : Clock::time_point();
            if (guard.txn == nullptr) {
              turn.lock();
              CheckLmdb(mdb_txn_begin(env, nullptr, 0, &guard.txn), "mdb_txn_begin");
            }
            EncodeKey(p, i, key);
            MDB_val k{sizeof key, key};
            MDB_val v{w.itemSize, const_cast<unsigned char*>(w.Item(p, i))};
            CheckLmdb(mdb_put(guard.txn, dbi, &k, &v, 0), "mdb_put");
            if (++inTxn == options.lmdbTxnItems) {
              MDB_txn* txn = guard.txn;
              guard.txn = nullptr;
              inTxn = 0;
              const int rc = mdb_txn_commit(txn);
              turn.unlock();
              CheckLmdb(rc, "mdb_txn_commit");
            }
            if (sample) sampler.Add(start);
          }
        }
        if (guard.txn != nullptr) {
          MDB_txn* txn = guard.txn;
          guard.txn = nullptr;
          const int rc = mdb_txn_commit(txn);
          turn.unlock();
          CheckLmdb(rc, "mdb_txn_commit");
        }
      },
      [] {});

  TxnGuard reader;
  CheckLmdb(mdb_txn_begin(env, nullptr, MDB_RDONLY, &reader.txn), "mdb_txn_begin (read-only)");

  // Replay: a cursor scan over all keys, values copied into a 1 MiB buffer (as the
  // other systems deliver them), then checked untimed.
  double replaySeconds = 0;
  {
    MDB_cursor* created_cursor = nullptr;
    CheckLmdb(mdb_cursor_open(reader.txn, dbi, &created_cursor), "mdb_cursor_open");
    std::unique_ptr<MDB_cursor, void (*)(MDB_cursor*)> cursor(created_cursor,
                                                              [](MDB_cursor* c) { mdb_cursor_close(c); });
    std::vector<unsigned char> buffer(std::max(kPiece, w.itemSize));
    const std::uint64_t perBuffer = buffer.size() / w.itemSize;
    auto itemAt = [&](std::uint64_t k) { return w.Item(k / w.perPackage, k % w.perPackage); };
    std::uint64_t next = 0;  // the number of the item the scan must deliver next
    MDB_cursor_op op = MDB_FIRST;
    bool more = true;
    while (more) {
      const std::uint64_t first = next;
      std::uint64_t filled = 0;
      bool keyOk = true, sizeOk = true;
      const Clock::time_point start = Clock::now();
      while (filled < perBuffer) {
        MDB_val k, v;
        const int rc = mdb_cursor_get(cursor.get(), &k, &v, op);
        op = MDB_NEXT;
        if (rc == MDB_NOTFOUND) {
          more = false;
          break;
        }
        CheckLmdb(rc, "mdb_cursor_get");
        const unsigned char* key = static_cast<const unsigned char*>(k.mv_data);
        if (k.mv_size != 16 || DecodeHalf(key) * w.perPackage + DecodeHalf(key + 8) != next) {
          keyOk = false;
          break;
        }
        if (v.mv_size != w.itemSize) {
          sizeOk = false;
          break;
        }
        std::memcpy(buffer.data() + filled * w.itemSize, v.mv_data, w.itemSize);
        ++filled;
        ++next;
      }
      replaySeconds += SecondsSince(start);
      if (!keyOk) Fail("lmdb: cursor scan delivered a wrong key in place of item %" PRIu64, next);
      if (!sizeOk) Fail("lmdb: cursor scan delivered a value of a wrong size for item %" PRIu64, next);
      if (!MatchesStream(buffer.data(), filled * w.itemSize, first * w.itemSize, w.itemSize, itemAt)) {
        Fail("lmdb: cursor scan returned wrong bytes among items %" PRIu64 " to %" PRIu64, first, next);
      }
    }
    if (next != w.TotalItems())
      Fail("lmdb: cursor scan gave %" PRIu64 " of %" PRIu64 " items", next, w.TotalItems());
  }

  const double randomSeconds =
      TimedRandomReads(w, "lmdb", [&](std::uint64_t number, unsigned char* destination) {
        unsigned char key[16];
        EncodeKey(number / w.perPackage, number % w.perPackage, key);
        MDB_val k{sizeof key, key}, v;
        CheckLmdb(mdb_get(reader.txn, dbi, &k, &v), "mdb_get");
        if (v.mv_size != w.itemSize) Fail("lmdb: item %" PRIu64 " has %zu bytes", number, v.mv_size);
        std::memcpy(destination, v.mv_data, w.itemSize);
      });
  Record(w, writeSeconds, replaySeconds, randomSeconds, samplers, result);
}

// ---- Running the cases in children ---------------------------------------------------

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size != 0) {
    const ssize_t done = ::write(fd, bytes, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  char* bytes = static_cast<char*>(data);
  while (size != 0) {
    const ssize_t done = ::read(fd, bytes, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

std::string MakeCaseFolder(const std::string& parent) {
  std::string pattern = parent + "/recorder-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "recorder_bench: cannot make a folder in %s: %s\n", parent.c_str(),
                 std::strerror(errno));
    std::exit(1);
  }
  return pattern;
}

void RunCase(const Options& options, System system, std::uint64_t itemSize, std::uint64_t queueLimit,
             const std::string& folder, Result* result) {
  try {
    const Workload w(options, itemSize);
    switch (system) {
      case System::kPlain:
        RunPlain(options, w, folder, result);
        break;
      case System::kLmdb:
        RunLmdb(options, w, folder, result);
        break;
      case System::kQuillbox:
        RunQuillbox(options, w, queueLimit, folder, result);
        break;
    }
    result->ok = 1;
  } catch (const std::exception& e) {
    std::snprintf(result->error, sizeof result->error, "%s", e.what());
  }
}

// Runs one case in a forked child and returns its figures.
Result RunInChild(const Options& options, System system, std::uint64_t itemSize, std::uint64_t queueLimit) {
  const std::string folder = MakeCaseFolder(options.folder);
  int fds[2];
  if (::pipe(fds) != 0) {
    std::perror("recorder_bench: pipe");
    std::exit(1);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("recorder_bench: fork");
    std::exit(1);
  }
  if (child == 0) {
    ::close(fds[0]);
    Result result;
    RunCase(options, system, itemSize, queueLimit, folder, &result);
    result.peakRssMiB = PeakRssMiB();
    result.writeRssMiB = writePhaseRssMiB;
    const bool sent = WriteAll(fds[1], &result, sizeof result);
    ::_exit(sent && result.ok ? 0 : 1);
  }
  ::close(fds[1]);
  Result result;
  const bool received = ReadAll(fds[0], &result, sizeof result);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (!received) {
    result = Result();
    if (WIFSIGNALED(status)) {
      std::snprintf(result.error, sizeof result.error, "the case's process died of signal %d",
                    WTERMSIG(status));
    } else {
      std::snprintf(result.error, sizeof result.error, "the case's process ended without figures (status %d)",
                    WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
  }
  return result;
}

// ---- The table -----------------------------------------------------------------------

std::string SizeText(std::uint64_t bytes) {
  if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  if (bytes >= kKiB && bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
  return std::to_string(bytes) + " B";
}

std::string Number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Ratio(const Result* mine, const Result* base, double Result::*figure) {
  if (mine == nullptr || base == nullptr || !mine->ok || !base->ok || base->*figure <= 0) return "-";
  return Number(mine->*figure / base->*figure, 2);
}

class Table {
 public:
  explicit Table(bool markdown) : markdown_(markdown) {}

  void Header() {
    Row({"system", "item", "queue", "write MiB/s", "replay MiB/s", "random items/s", "p50 ns", "p99 ns",
         "peak RSS MiB", "write RSS MiB", "write/plain", "replay/lmdb", "random/lmdb"});
    if (markdown_) {
      std::string line = "|";
      for (std::size_t c = 0; c < kWidths.size(); ++c) line += c < 3 ? "---|" : "---:|";
      std::printf("%s\n", line.c_str());
    }
  }

  void Row(const std::vector<std::string>& cells) {
    std::string line = markdown_ ? "|" : "";
    for (std::size_t c = 0; c < cells.size(); ++c) {
      char cell[64];
      if (markdown_) {
        std::snprintf(cell, sizeof cell, " %s |", cells[c].c_str());
      } else if (c < 3) {
        std::snprintf(cell, sizeof cell, "%-*s", kWidths[c], cells[c].c_str());
      } else {
        std::snprintf(cell, sizeof cell, "%*s", kWidths[c], cells[c].c_str());
      }
      line += cell;
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }

 private:
  static constexpr std::array<int, 13> kWidths{9, 7, 6, 12, 13, 15, 8, 9, 13, 14, 12, 12, 12};
  bool markdown_;
};

// The median cost of one steady_clock read pair, which every latency sample includes.
std::uint64_t ClockOverhead() {
  std::vector<std::uint64_t> costs(1001);
  for (std::uint64_t& cost : costs) cost = NanosecondsSince(Clock::now());
  std::nth_element(costs.begin(), costs.begin() + 500, costs.end());
  return costs[500];
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  std::printf("recorder_bench: %" PRIu64
              " packages of %s package size, %d producer threads (producer t stores "
              "into packages p %% %d == t, round-robin), %d writer threads, %s per case, %" PRIu64
              " random reads, page cache warm, no fsync\n",
              options.packages, SizeText(kPackageSize).c_str(), kProducers, kProducers, kWriterThreads,
              SizeText(options.bytesPerCase).c_str(), options.randomReads);
  std::printf(
      "plain: one file per producer, one pwrite per item at increasing offsets; replay = pread of the "
      "files in 1 MiB pieces; random = one pread per item\n");
  std::printf("lmdb: MDB_NOSYNC%s, 16-byte big-endian (package, index) keys, %" PRIu64
              " puts per write transaction; the producers share LMDB's single write transaction by "
              "taking turns through a mutex, one transaction per turn\n",
              options.lmdbWriteMap ? " | MDB_WRITEMAP" : "", options.lmdbTxnItems);
  std::printf("latency: every %" PRIu64
              "th Store / mdb_put / pwrite timed with steady_clock (reading the clock "
              "costs ~%" PRIu64
              " ns, included); an LMDB sample includes the lock, begin or commit that falls on "
              "its item\n\n",
              options.sampleEvery, ClockOverhead());

  Table table(options.markdown);
  table.Header();
  int failures = 0;
  auto report = [&](System system, std::uint64_t itemSize, const std::string& queue, const Result& result,
                    const Result* plain, const Result* lmdb) {
    if (!result.ok) {
      ++failures;
      table.Row({SystemName(system), SizeText(itemSize), queue, "FAILED"});
      std::fprintf(stderr, "recorder_bench: %s, %s items, queue %s: %s\n", SystemName(system),
                   SizeText(itemSize).c_str(), queue.c_str(), result.error);
      return;
    }
    const bool library = system == System::kQuillbox;
    table.Row({SystemName(system), SizeText(itemSize), queue, Number(result.writeMiBs, 1),
               Number(result.replayMiBs, 1), Number(result.randomPerSecond, 0), std::to_string(result.p50),
               std::to_string(result.p99), Number(result.peakRssMiB, 1), Number(result.writeRssMiB, 1),
               library ? Ratio(&result, plain, &Result::writeMiBs) : "",
               library ? Ratio(&result, lmdb, &Result::replayMiBs) : "",
               library ? Ratio(&result, lmdb, &Result::randomPerSecond) : ""});
  };

  for (const std::uint64_t itemSize : options.itemSizes) {
    std::optional<Result> plain, lmdb;
    if (options.runPlain) {
      plain = RunInChild(options, System::kPlain, itemSize, 0);
      report(System::kPlain, itemSize, "-", *plain, nullptr, nullptr);
    }
    if (options.runLmdb) {
      lmdb = RunInChild(options, System::kLmdb, itemSize, 0);
      report(System::kLmdb, itemSize, "-", *lmdb, nullptr, nullptr);
    }
    if (options.runQuillbox) {
      for (const std::uint64_t queueLimit : options.queueLimits) {
        const Result result = RunInChild(options, System::kQuillbox, itemSize, queueLimit);
        report(System::kQuillbox, itemSize, std::to_string(queueLimit), result, plain ? &*plain : nullptr,
               lmdb ? &*lmdb : nullptr);
      }
    }
  }
  if (options.runQuillbox) {
    std::printf("\nquillbox's peak RSS includes the benchmark's own ItemLocation array (20 bytes per item):");
    for (const std::uint64_t itemSize : options.itemSizes) {
      const std::uint64_t perPackage =
          std::max<std::uint64_t>(1, options.bytesPerCase / (options.packages * itemSize));
      std::printf(" %.1f MiB at %s",
                  static_cast<double>(perPackage * options.packages * sizeof(ItemLocation)) / kMiB,
                  SizeText(itemSize).c_str());
    }
    std::printf("\n");
  }
  if (failures != 0) {
    std::fprintf(stderr, "recorder_bench: %d case(s) failed\n", failures);
    return 1;
  }
  return 0;
}
