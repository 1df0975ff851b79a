// The terminal and process helpers, with the one place that differs on Windows.
#include "terminal.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <utility>

namespace qbx::cli {

namespace {

constexpr auto kFirstDraw = std::chrono::milliseconds(500);
constexpr auto kRedraw = std::chrono::milliseconds(100);
constexpr std::size_t kBarWidth = 30;

}  // namespace

#if defined(_WIN32)

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8.data(), size, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);  // The terminating zero.
    arguments.push_back(std::move(utf8));
  }
  LocalFree(wide);
  return arguments;
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void UseBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

#else

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

bool StderrIsTerminal() { return isatty(fileno(stderr)) != 0; }

void UseBinaryStdout() {}

#endif

bool WriteStdout(const void* data, std::size_t size) {
  return std::fwrite(data, 1, size, stdout) == size;
}

Progress::Progress()
    : enabled_(StderrIsTerminal()), start_(std::chrono::steady_clock::now()), last_(start_) {}

bool Progress::Due() {
  if (!enabled_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < kFirstDraw || (drawn_ != 0 && now - last_ < kRedraw)) return false;
  last_ = now;
  return true;
}

void Progress::Bar(const std::string& label, std::uint64_t done, std::uint64_t total) {
  if (!Due()) return;
  const double fraction = total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / total);
  const std::size_t filled = static_cast<std::size_t>(fraction * kBarWidth);
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
  std::string text = label + " [" + std::string(filled, '#') +
                     std::string(kBarWidth - filled, ' ') + "] " + percent;
  const std::size_t width = text.size();
  if (width < drawn_) text += std::string(drawn_ - width, ' ');
  std::fprintf(stderr, "\r%s", text.c_str());
  std::fflush(stderr);
  drawn_ = width;
}

void Progress::Line(const std::string& text) {
  if (!Due()) return;
  std::string padded = text;
  if (padded.size() < drawn_) padded += std::string(drawn_ - padded.size(), ' ');
  std::fprintf(stderr, "\r%s", padded.c_str());
  std::fflush(stderr);
  drawn_ = text.size();
}

void Progress::Clear() {
  if (drawn_ == 0) return;
  std::fprintf(stderr, "\r%s\r", std::string(drawn_, ' ').c_str());
  std::fflush(stderr);
  drawn_ = 0;
}

}  // namespace qbx::cli
