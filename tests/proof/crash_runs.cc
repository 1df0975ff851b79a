// Crash runs: a child process records (several packages, two callers, several writers
// with tiny file limits, Save every so often, Replace and relocation among the stores)
// and is killed with SIGKILL at a random moment of its progress. The parent imports the
// last index whose Save returned 0 and checks every item that index covers, by replay
// and by location, against items whose bytes are a function of (seed, package, item).
//
//   quillbox_crash_runs [--runs N] [--seed S] [--verbose]
//
// Run r uses seed S + r. A failing run prints its seed; `--seed <it> --runs 1` runs it
// again (the same recording, killed after the same number of steps; the delay before
// the kill is drawn from the seed too, but the child's speed varies). Exit code 0 only
// when no run lost an item, read back bytes never stored, hung or failed to import.
//
// The child appends to a log with write(2): after each Save that returned 0 the
// locations of the items that Save covers first ("L package item pos file offset
// length"), then "S index count0 count1 ...". A SIGKILL loses no write that returned,
// and lines are written in order, so everything before the last complete S line holds.
// "R package item" follows each Replace that returned 0: such an item must read back
// new from every later index; one replaced after the last Save may read old or new.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "read_support.h"

namespace qbx::test {
namespace {

namespace fs = std::filesystem;

std::uint64_t Mix(std::uint64_t a, std::uint64_t b = 0, std::uint64_t c = 0) {
  std::uint64_t x = a * 0x9E3779B97F4A7C15ull ^ (b + 1) * 0xC2B2AE3D27D4EB4Full ^
                    (c + 1) * 0x165667B19E3779F9ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// What one run records, drawn from its seed.
struct Plan {
  std::uint64_t seed = 0;
  std::uint64_t packageSize = 0;
  std::uint64_t maxQueued = 0;
  std::uint64_t fileLimit = 0;
  int writers = 0;
  std::size_t packages = 0;  // The main caller stores the even ones, the helper the odd.
  int mainSteps = 0;
  int helperStores = 0;
  int stepsPerSave = 0;

  explicit Plan(std::uint64_t runSeed) : seed(runSeed) {
    std::mt19937_64 random(Mix(seed, 1));
    packageSize = std::uint64_t{256} << (random() % 3 * 2);  // 256, 1 KiB or 4 KiB.
    maxQueued = 1 + random() % 4;
    fileLimit = packageSize * (4 + random() % 13);
    writers = 2 + static_cast<int>(random() % 2);
    packages = 4 + random() % 5;
    mainSteps = 500 + static_cast<int>(random() % 300);
    helperStores = mainSteps / 2;
    stepsPerSave = 30 + static_cast<int>(random() % 60);
  }

  // Sizes: a few empty items, mostly small ones, some larger than a package buffer.
  std::size_t ItemSize(std::size_t package, std::size_t item) const {
    const std::uint64_t h = Mix(seed, package, item);
    const std::uint64_t kind = h % 16;
    if (kind == 0) return 0;
    if (kind == 1) return packageSize / 2 + (h >> 8) % (packageSize * 3 / 2);
    return 1 + (h >> 8) % std::min<std::uint64_t>(200, packageSize / 2);
  }
  // Version 0 is what Store wrote, version 1 what Replace writes over it.
  std::string ItemBytes(std::size_t package, std::size_t item, int version) const {
    return MakeItem(Mix(seed, package, 1000 + version), item, ItemSize(package, item));
  }
};

// Progress events the child writes to its pipe, one byte each.
constexpr char kStored = '.';
constexpr char kHelperStored = ',';
constexpr char kReplaced = 'r';
constexpr char kSaveBegins = 's';
constexpr char kSaved = 'S';
constexpr char kRelocationBegins = 'm';
constexpr char kRelocated = 'M';
constexpr char kDone = 'E';

bool WriteAll(int fd, const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t written = write(fd, bytes.data() + at, bytes.size() - at);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += static_cast<std::size_t>(written);
  }
  return true;
}

std::string IndexPath(const std::string& dir, int save) {
  return dir + "/index" + std::to_string(save % 2);
}

// The child: records until it is killed. Returns an exit code only on a failure of its
// own (a call that returned 1); a recording that ends waits to be killed.
class Recorder {
 public:
  Recorder(const Plan& plan, std::string dir, int logFd, int eventFd)
      : plan_(plan), dir_(std::move(dir)), logFd_(logFd), eventFd_(eventFd),
        random_(Mix(plan.seed, 2)), stored_(plan.packages), saved_(plan.packages) {}

  int Run() {
    if (Quillbox_Create(&db_, plan_.packageSize, plan_.maxQueued, (dir_ + "/a").c_str()) != 0) {
      return 10;
    }
    for (int w = 0; w < plan_.writers; ++w) {
      const char* name = nullptr;
      const std::string folder = dir_ + "/w" + std::to_string(w);
      if (Quillbox_NewThread(&name, folder.c_str(), plan_.fileLimit, db_) != 0) return 11;
    }
    for (std::size_t p = 0; p < plan_.packages; ++p) {
      std::uint64_t number = 0;
      if (Quillbox_NewPackage(&number, db_) != 0 || number != p) return 12;
    }
    std::atomic<int> helperFailed{0};
    std::thread helper([&] {
      std::mt19937_64 random(Mix(plan_.seed, 3));
      for (int n = 0; n < plan_.helperStores && helperFailed == 0; ++n) {
        {
          // Paced by the main caller (a store for every second step of it), so that
          // both store until the end; a second's wait at most.
          std::unique_lock<std::mutex> lock(progressMutex_);
          progress_.wait_for(lock, std::chrono::seconds(1),
                             [&] { return mainDone_ || mainStep_ >= 2 * n; });
        }
        bool stored = false;
        {
          std::lock_guard<std::mutex> lock(gate_);
          stored = StoreOne(1 + 2 * (random() % (plan_.packages / 2)));
        }
        if (!stored) helperFailed = 13;
        Event(kHelperStored);
      }
    });
    int failure = 0;
    for (int step = 1; step <= plan_.mainSteps && failure == 0 && helperFailed == 0; ++step) {
      const unsigned roll = random_() % 100;
      if (step % plan_.stepsPerSave == 0) {
        failure = Save() ? 0 : 14;
      } else if (roll < 6) {
        failure = ReplaceOne() ? 0 : 15;
      } else if (roll < 8) {
        failure = RelocateOne() ? 0 : 16;
      } else {
        failure = StoreOne(2 * (random_() % ((plan_.packages + 1) / 2))) ? 0 : 17;
        Event(kStored);
      }
      Progress(step == plan_.mainSteps || failure != 0);
    }
    Progress(true);
    helper.join();
    if (failure == 0) failure = helperFailed;
    if (failure != 0) return failure;
    Event(kDone);
    for (;;) pause();  // The parent kills the child.
  }

 private:
  void Event(char what) { WriteAll(eventFd_, std::string(1, what)); }
  void Progress(bool done) {
    {
      std::lock_guard<std::mutex> lock(progressMutex_);
      ++mainStep_;
      mainDone_ = mainDone_ || done;
    }
    progress_.notify_one();
  }

  // Stores the next item of `package`; its location stays in place for the library.
  bool StoreOne(std::size_t package) {
    std::deque<ItemLocation>& locations = stored_[package];
    const std::string bytes = plan_.ItemBytes(package, locations.size(), 0);
    ItemLocation& location = locations.emplace_back();
    return Quillbox_Store(package, bytes.size(), bytes.data(), &location, db_) == 0;
  }

  // Saves with both callers kept out, then logs what the index covers.
  bool Save() {
    std::lock_guard<std::mutex> lock(gate_);
    Event(kSaveBegins);
    const std::string path = IndexPath(dir_, saves_++);
    if (Quillbox_Save(path.c_str(), db_) != 0) return false;
    std::string log, counts;
    char line[128];
    for (std::size_t p = 0; p < plan_.packages; ++p) {
      for (std::size_t i = saved_[p].size(); i < stored_[p].size(); ++i) {
        const ItemLocation* at = &stored_[p][i];
        const ItemLocation location{LoadPos(at), LoadFile(at), LoadOffsetInBlock(at),
                                    LoadBlockLen(at)};
        saved_[p].push_back(location);
        std::snprintf(line, sizeof line, "L %zu %zu %" PRIu64 " %" PRIu32 " %" PRIu32 " %" PRIu32 "\n",
                      p, i, location.pos, location.file, location.offsetInBlock,
                      location.blockLen);
        log += line;
      }
      counts += " " + std::to_string(saved_[p].size());
    }
    if (!WriteAll(logFd_, log + "S " + path + counts + "\n")) return false;
    Event(kSaved);
    return true;
  }

  // Replaces an item that the last Save placed.
  bool ReplaceOne() {
    const std::size_t p = random_() % plan_.packages;
    if (saved_[p].empty()) return true;
    const std::size_t i = random_() % saved_[p].size();
    const std::string bytes = plan_.ItemBytes(p, i, 1);
    if (bytes.empty()) return true;
    if (Quillbox_Replace(bytes.size(), bytes.data(), &saved_[p][i], db_) != 0) return false;
    if (!WriteAll(logFd_, "R " + std::to_string(p) + " " + std::to_string(i) + "\n")) return false;
    Event(kReplaced);
    return true;
  }

  // Moves a data file into one of two other folders, keeping or removing the old one.
  bool RelocateOne() {
    const std::uint64_t file = random_() % Quillbox_GetFileCount(db_);
    const std::string target =
        dir_ + "/m" + std::to_string(relocations_ % 2) + "/r" + std::to_string(relocations_);
    ++relocations_;
    const std::uint32_t removeOld = random_() % 2;
    Event(kRelocationBegins);
    if (Quillbox_RelocateFileTo(file, target.c_str(), removeOld, db_) != 0) return false;
    Event(kRelocated);
    return true;
  }

  const Plan& plan_;
  const std::string dir_;
  const int logFd_, eventFd_;
  std::mt19937_64 random_;
  Quillbox* db_ = nullptr;
  // Held by the helper's stores and by Save, so that a Save covers a known set of items
  // (the main caller's own stores never overlap its Saves).
  std::mutex gate_;
  std::mutex progressMutex_;
  std::condition_variable progress_;
  int mainStep_ = 0;
  bool mainDone_ = false;
  std::vector<std::deque<ItemLocation>> stored_;  // Filled in by the library.
  std::vector<std::vector<ItemLocation>> saved_;  // Copies, once a Save placed them.
  int saves_ = 0;
  int relocations_ = 0;
};

// What the log says the last completed Save covers.
struct Covered {
  std::string index;
  std::vector<std::vector<ItemLocation>> locations;  // Per package, items in order.
  std::set<std::pair<std::size_t, std::size_t>> replaced;  // Before that Save.
};

bool ParseLog(const std::string& text, std::size_t packages, Covered* covered,
              std::string* problem) {
  std::vector<std::map<std::size_t, ItemLocation>> seen(packages);
  std::set<std::pair<std::size_t, std::size_t>> replaced;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::istringstream line(text.substr(start, end - start));
    char kind = 0;
    std::size_t p = 0, i = 0;
    line >> kind;
    if (kind == 'S') {
      Covered next;
      line >> next.index;
      for (std::size_t q = 0; q < packages; ++q) {
        std::size_t count = 0;
        line >> count;
        for (std::size_t k = 0; k < count; ++k) {
          const auto found = seen[q].find(k);
          if (found == seen[q].end()) {
            *problem = "the log names no location for item " + std::to_string(k) +
                       " of package " + std::to_string(q);
            return false;
          }
          next.locations.resize(packages);
          next.locations[q].push_back(found->second);
        }
      }
      next.locations.resize(packages);
      next.replaced = replaced;
      if (!line) {
        *problem = "a save line of the log does not parse";
        return false;
      }
      *covered = std::move(next);
      continue;
    }
    line >> p >> i;
    if (!line || p >= packages) {
      *problem = "a line of the log does not parse";
      return false;
    }
    if (kind == 'R') {
      replaced.insert({p, i});
    } else {
      std::uint64_t pos = 0;
      std::uint32_t file = 0, offsetInBlock = 0, blockLen = 0;
      line >> pos >> file >> offsetInBlock >> blockLen;
      seen[p][i] = ItemLocation{pos, file, offsetInBlock, blockLen};
    }
  }
  return true;
}

struct Tally {
  std::uint64_t runs = 0, checked = 0, lost = 0, failedRuns = 0;
  std::uint64_t withoutSave = 0, killedInSave = 0, killedInRelocation = 0, completed = 0;
  std::uint64_t saves = 0, savesBesideStores = 0, relocations = 0, replaces = 0;
};

// Checks the database imported from the covered index against the plan; returns the
// number of covered items that do not come back, and describes problems in `report`.
std::uint64_t CheckImport(const Plan& plan, const Covered& covered, std::uint64_t* checked,
                          std::string* report) {
  Quillbox* db = nullptr;
  if (Quillbox_Import(&db, covered.index.c_str(), 1000) != 0) {
    *report += "the last saved index does not import: " + covered.index + "\n";
    return 0;
  }
  std::uint64_t lost = 0;
  const auto note = [&](const std::string& what) {
    if (report->size() < 4000) *report += what + "\n";
  };
  for (std::size_t p = 0; p < plan.packages; ++p) {
    const std::vector<ItemLocation>& locations = covered.locations[p];
    const auto accepts = [&](std::size_t i, const std::string& bytes) {
      return bytes == plan.ItemBytes(p, i, 1) ||
             (covered.replaced.count({p, i}) == 0 && bytes == plan.ItemBytes(p, i, 0));
    };
    // By location.
    for (std::size_t i = 0; i < locations.size(); ++i) {
      std::string bytes(plan.ItemSize(p, i), '\0');
      if (Quillbox_RecoverRandom(bytes.size(), bytes.data(), &locations[i], p, db) != 0 ||
          !accepts(i, bytes)) {
        ++lost;
        note("item " + std::to_string(i) + " of package " + std::to_string(p) +
             " does not read back by its location");
      }
    }
    // By replay: whole items in order, every covered one; items stored after the Save
    // may follow (their package's record was parked in the package file meanwhile).
    bool ended = false;
    const std::string replay = ReadByCursor(db, p, &ended);
    std::size_t offset = 0, whole = 0;
    for (;; ++whole) {
      const std::size_t size = plan.ItemSize(p, whole);
      if (offset + size > replay.size() || (size == 0 && offset == replay.size())) break;
      if (!accepts(whole, replay.substr(offset, size))) break;
      offset += size;
    }
    while (whole < locations.size() && plan.ItemSize(p, whole) == 0) ++whole;
    if (offset != replay.size() || !ended) {
      note("package " + std::to_string(p) + " replays bytes that were never stored (" +
           std::to_string(offset) + " of " + std::to_string(replay.size()) + " bytes match)");
    }
    if (whole < locations.size()) {
      lost += locations.size() - whole;
      note("package " + std::to_string(p) + " replays " + std::to_string(whole) + " of its " +
           std::to_string(locations.size()) + " covered items");
    }
    *checked += locations.size();
  }
  Quillbox_Destroy(db);
  return lost;
}

// One run: records in a child, kills it, checks. Returns false on any problem.
bool OneRun(std::uint64_t seed, bool verbose, Tally* tally) {
  const Plan plan(seed);
  TempDir dir;
  for (const char* folder : {"a", "w0", "w1", "w2", "m0", "m1"}) {
    fs::create_directory(dir.File(folder));
  }
  const std::string logPath = dir.File("log");
  const int logFd = open(logPath.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0644);
  int events[2];
  if (logFd < 0 || pipe(events) != 0) {
    std::printf("run seed %" PRIu64 ": no log or pipe\n", seed);
    return false;
  }
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    close(events[0]);
    _exit(Recorder(plan, dir.path(), logFd, events[1]).Run());
  }
  close(logFd);
  close(events[1]);
  std::string problem;

  // The kill, once the first Save is logged: after a number of steps, or as the k-th
  // Save or relocation from then on begins; then after a random delay of up to a few
  // milliseconds, about as long as a Save or a relocation takes.
  std::mt19937_64 random(Mix(seed, 4));
  const int way = static_cast<int>(random() % 3);
  const char trigger = way == 0 ? 0 : way == 1 ? kSaveBegins : kRelocationBegins;
  const int expected = way == 0   ? plan.mainSteps + plan.helperStores
                       : way == 1 ? plan.mainSteps / plan.stepsPerSave
                                  : plan.mainSteps / 60;
  const int target = static_cast<int>(random() % std::max(1, expected * 4 / 5));
  const auto delay = std::chrono::microseconds(random() % 4 == 0 ? 0 : random() % 4000);
  std::string seen;
  bool saved = false, done = false;
  int counted = 0;
  char piece[4096];
  while (child > 0 && !done && !(saved && counted > target)) {
    pollfd ready{events[0], POLLIN, 0};
    if (poll(&ready, 1, 60000) <= 0) {
      problem = "the child made no progress for 60 s (hang)";
      break;
    }
    const ssize_t count = read(events[0], piece, sizeof piece);
    if (count <= 0) break;  // The child ended.
    for (ssize_t k = 0; k < count; ++k) {
      counted += saved && (trigger == 0 || piece[k] == trigger) ? 1 : 0;
      saved = saved || piece[k] == kSaved;
      done = done || piece[k] == kDone;
    }
    seen.append(piece, static_cast<std::size_t>(count));
  }
  if (child > 0) {
    std::this_thread::sleep_for(delay);  // The random moment of the kill, not a wait.
    kill(child, SIGKILL);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) {
    problem = "no child";
  } else if (WIFEXITED(status)) {
    problem = "the child failed by itself, code " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL) {
    problem = "the child died of signal " + std::to_string(WTERMSIG(status));
  }
  for (ssize_t count; (count = read(events[0], piece, sizeof piece)) > 0;) {
    seen.append(piece, static_cast<std::size_t>(count));
  }
  close(events[0]);

  const char last = seen.empty() ? ' ' : seen.back();
  tally->killedInSave += last == kSaveBegins;
  tally->killedInRelocation += last == kRelocationBegins;
  tally->completed += last == kDone;
  const std::size_t helperLast = seen.rfind(kHelperStored);
  for (std::size_t k = 0; k < seen.size(); ++k) {
    const char event = seen[k];
    tally->saves += event == kSaved;
    tally->savesBesideStores += event == kSaved && helperLast != std::string::npos && k < helperLast;
    tally->relocations += event == kRelocated;
    tally->replaces += event == kReplaced;
  }

  std::string report;
  std::uint64_t lost = 0, checked = 0;
  Covered covered;
  if (!ParseLog(ReadWholeFile(logPath), plan.packages, &covered, &problem)) {
    // Described in problem.
  } else if (covered.index.empty()) {
    ++tally->withoutSave;
  } else {
    lost = CheckImport(plan, covered, &checked, &report);
  }
  ++tally->runs;
  tally->checked += checked;
  tally->lost += lost;
  const bool ok = problem.empty() && report.empty();
  if (!ok) {
    ++tally->failedRuns;
    std::printf("run seed %" PRIu64 " FAILED (killed after event '%c', %zu events)\n%s%s%s"
                "repeat with: --seed %" PRIu64 " --runs 1\n",
                seed, last, seen.size(), problem.c_str(), problem.empty() ? "" : "\n",
                report.c_str(), seed);
  } else if (verbose) {
    std::printf("run seed %" PRIu64 ": killed after event '%c' (%zu events), %" PRIu64
                " items checked\n",
                seed, last, seen.size(), checked);
  }
  std::fflush(stdout);
  return ok;
}

int Main(int argc, char** argv) {
  std::uint64_t runs = 200;
  std::uint64_t seed = std::random_device()();
  bool verbose = false;
  for (int k = 1; k < argc; ++k) {
    const std::string option = argv[k];
    if (option == "--runs" && k + 1 < argc) {
      runs = std::strtoull(argv[++k], nullptr, 10);
    } else if (option == "--seed" && k + 1 < argc) {
      seed = std::strtoull(argv[++k], nullptr, 10);
    } else if (option == "--verbose") {
      verbose = true;
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] [--seed S] [--verbose]\n", argv[0]);
      return 2;
    }
  }
  std::printf("crash runs: seed %" PRIu64 ", %" PRIu64 " runs (run r uses seed %" PRIu64 " + r)\n",
              seed, runs, seed);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  Tally tally;
  for (std::uint64_t r = 0; r < runs; ++r) OneRun(seed + r, verbose, &tally);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("crash runs: killed inside a Save %" PRIu64 ", inside a relocation %" PRIu64
              ", after the recording ended %" PRIu64 ", before the first Save %" PRIu64 "\n",
              tally.killedInSave, tally.killedInRelocation, tally.completed, tally.withoutSave);
  std::printf("crash runs: saves %" PRIu64 " (%" PRIu64 " while the other caller stored), "
              "relocations %" PRIu64 ", replaces %" PRIu64 ", %.1f s\n",
              tally.saves, tally.savesBesideStores, tally.relocations, tally.replaces, seconds);
  std::printf("crash runs: %" PRIu64 ", items checked: %" PRIu64 ", lost: %" PRIu64 "\n",
              tally.runs, tally.checked, tally.lost);
  if (tally.failedRuns != 0) {
    std::printf("crash runs: %" PRIu64 " runs failed\n", tally.failedRuns);
  }
  return tally.failedRuns == 0 && tally.lost == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qbx::test

int main(int argc, char** argv) { return qbx::test::Main(argc, argv); }
