// Runs the command-line tool as a separate process, the way a person or a script runs
// it. Only POSIX builds that have the tool run it; elsewhere its tests skip.
#ifndef QUILLBOX_TESTS_TOOL_SUPPORT_H_
#define QUILLBOX_TESTS_TOOL_SUPPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(QUILLBOX_CLI_PATH) && !defined(_WIN32)
#define QUILLBOX_HAS_TOOL 1
#define QUILLBOX_SKIP_WITHOUT_TOOL() (void)0
#else
#define QUILLBOX_HAS_TOOL 0
#define QUILLBOX_SKIP_WITHOUT_TOOL() \
  GTEST_SKIP() << "the tool is run as a child process only in POSIX builds that have it"
#endif

namespace qbx::test {

struct ToolRun {
  int code = -1;  // The exit code; -1 when the tool did not run or did not exit.
  bool timedOut = false;  // It was still running at the bound, and was killed.
  std::string out, err;
  std::string all() const { return out + err; }
};

// Runs the tool with `arguments`, its standard output and error going to files in a
// folder of its own. A tool still running after `seconds` is killed (timedOut). With a
// `fileSizeLimit`, the tool may write no file past that many bytes (RLIMIT_FSIZE, with
// SIGXFSZ ignored, so that such a write fails with EFBIG); its standard error too.
ToolRun RunTool(const std::vector<std::string>& arguments, double seconds = 120,
                std::uint64_t fileSizeLimit = 0);

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Whether the tool ran to an exit with `code`, its standard output holding each of `out`
// and its standard error each of `err`; a failure shows what is missing and all it wrote.
inline ::testing::AssertionResult Exits(const ToolRun& run, int code,
                                        const std::vector<std::string>& out = {},
                                        const std::vector<std::string>& err = {}) {
  std::string missing;
  for (const std::string& part : out) {
    if (!Has(run.out, part)) missing += "\nnot in the output: " + part;
  }
  for (const std::string& part : err) {
    if (!Has(run.err, part)) missing += "\nnot in the errors: " + part;
  }
  if (run.code == code && missing.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exit code " << run.code << missing << "\noutput:\n"
                                       << run.out << "\nerrors:\n" << run.err;
}

}  // namespace qbx::test

#endif  // QUILLBOX_TESTS_TOOL_SUPPORT_H_
