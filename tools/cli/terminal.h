// What the tool needs from the terminal and the process: UTF-8 arguments, binary
// standard output, and a progress line on standard error that is drawn only when a
// person is watching (stderr is a terminal), so that redirected output stays clean.
#ifndef QUILLBOX_TOOLS_CLI_TERMINAL_H_
#define QUILLBOX_TOOLS_CLI_TERMINAL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qbx::cli {

// The command line as UTF-8 strings, the program's name first (on Windows taken from
// the system's UTF-16 command line, whatever the code page).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

bool StderrIsTerminal();

// Switches standard output to binary mode, so that bytes go out unchanged (on Windows
// text mode would expand every line feed).
void UseBinaryStdout();

// Writes all `size` bytes to standard output; false when the write failed.
bool WriteStdout(const void* data, std::size_t size);

// One line on stderr, redrawn in place. Drawn only on a terminal, only once a run has
// lasted half a second, and at most ten times a second; cleared by Clear and at the
// end. Confined to one thread.
class Progress {
 public:
  Progress();
  ~Progress() { Clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // A bar: "label [#####     ]  45%".
  void Bar(const std::string& label, std::uint64_t done, std::uint64_t total);
  // Any text that fits a line.
  void Line(const std::string& text);
  void Clear();

 private:
  bool Due();

  const bool enabled_;
  const std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
  std::size_t drawn_ = 0;  // Characters of the line on screen.
};

}  // namespace qbx::cli

#endif  // QUILLBOX_TOOLS_CLI_TERMINAL_H_
