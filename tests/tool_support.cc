// Runs the command-line tool as a child process.
#include "tool_support.h"

#if QUILLBOX_HAS_TOOL
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

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

}  // namespace
#endif

ToolRun RunTool(const std::vector<std::string>& arguments, double seconds) {
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
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    const int status = WaitBounded(child, seconds, &run.timedOut);
    if (status != -1 && !run.timedOut && WIFEXITED(status)) run.code = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = ReadWholeFile(out);
  run.err = ReadWholeFile(err);
#else
  (void)arguments;
  (void)seconds;
#endif
  return run;
}

}  // namespace qbx::test
