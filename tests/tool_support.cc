// Runs the command-line tool as a child process.
#include "tool_support.h"

#if QUILLBOX_HAS_TOOL
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;
#endif

#include "test_support.h"

namespace qbx::test {

ToolRun RunTool(const std::vector<std::string>& arguments) {
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
  int status = 0;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
      waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    run.code = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  run.out = ReadWholeFile(out);
  run.err = ReadWholeFile(err);
#else
  (void)arguments;
#endif
  return run;
}

}  // namespace qbx::test
