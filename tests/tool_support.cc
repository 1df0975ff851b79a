// Runs the command-line tool as a child process.
#include "tool_support.h"

#if QUILLBOX_HAS_TOOL
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

extern char** environ;
#endif

#include "test_support.h"

namespace qbx::test {

#if QUILLBOX_HAS_TOOL
namespace {

// Waits for `child` to exit; kills it once `seconds` have passed. The child is reaped
// only after the watchdog has finished, so that its id cannot be taken by another
// process while the watchdog may still signal it. Returns the wait status, or -1.
int WaitBounded(pid_t child, double seconds, bool* timedOut) {
  std::mutex mutex;
  std::condition_variable exited;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!exited.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done; })) {
      *timedOut = true;
      kill(child, SIGKILL);
    }
  });
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  exited.notify_all();
  watchdog.join();
  int status = 0;
  while (waitpid(child, &status, 0) != child) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// Starts the tool under a file size limit: fork, since posix_spawn sets no limits. The
// child calls only async-signal-safe functions before exec (the test process has
// threads).
pid_t SpawnLimited(char* const* argv, const char* out, const char* err, std::uint64_t limit) {
  const pid_t child = fork();
  if (child != 0) return child;
  const int outFd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int errFd = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const rlimit size{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0 ||
      sigaction(SIGXFSZ, &ignore, nullptr) != 0 || setrlimit(RLIMIT_FSIZE, &size) != 0) {
    _exit(126);
  }
  execve(argv[0], argv, environ);
  _exit(127);
}

}  // namespace
#endif

ToolRun RunTool(const std::vector<std::string>& arguments, double seconds,
                std::uint64_t fileSizeLimit) {
  ToolRun run;
#if QUILLBOX_HAS_TOOL
  TempDir scratch;
  const std::string out = scratch.File("out"), err = scratch.File("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> words{QUILLBOX_CLI_PATH};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  const bool started =
      fileSizeLimit != 0
          ? (child = SpawnLimited(argv.data(), out.c_str(), err.c_str(), fileSizeLimit)) > 0
          : posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  if (started) {
    const int status = WaitBounded(child, seconds, &run.timedOut);
    if (status != -1 && !run.timedOut && WIFEXITED(status)) run.code = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = ReadWholeFile(out);
  run.err = ReadWholeFile(err);
#else
  (void)arguments;
  (void)seconds;
  (void)fileSizeLimit;
#endif
  return run;
}

}  // namespace qbx::test
