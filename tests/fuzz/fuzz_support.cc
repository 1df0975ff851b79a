#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>

extern "C" ssize_t __real_pread(int fd, void* buffer, size_t count, off_t offset);

namespace fuzz {
namespace {

std::atomic<ReadCheck> readCheck{nullptr};
std::string folder;

}  // namespace

void SetReadCheck(ReadCheck check) { readCheck.store(check); }

bool FileIdentity(int fd, uint64_t* inode, uint64_t* length) {
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  *inode = static_cast<uint64_t>(info.st_ino);
  *length = static_cast<uint64_t>(info.st_size);
  return true;
}

std::string PathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t got = readlink(link, target, sizeof target);
  return got <= 0 ? std::string() : std::string(target, static_cast<size_t>(got));
}

std::string EnterTemporaryFolder(const char* name) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/quillbox_fuzz_" + name + ".XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) Fail("no temporary folder");
  folder = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  return folder;
}

int InitializeTarget(const char* name, void (*prepare)(), void (*writeSeeds)(const std::string&),
                     ReadCheck check) {
  EnterTemporaryFolder(name);
  if (prepare != nullptr) prepare();
  if (const char* seeds = getenv("QUILLBOX_FUZZ_WRITE_SEEDS")) {
    writeSeeds(seeds);
    exit(0);
  }
  SetReadCheck(check);
  return 0;
}

void ClearFolder(const std::string& keep) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(".", ignored)) {
    const std::string name = entry.path().filename().string();
    if (!keep.empty() && name.compare(0, keep.size(), keep) == 0) continue;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

std::string ReadFile(const std::string& path) {
  std::string bytes;
  if (FILE* in = std::fopen(path.c_str(), "rb")) {
    char piece[4096];
    for (size_t got; (got = std::fread(piece, 1, sizeof piece, in)) != 0;) bytes.append(piece, got);
    std::fclose(in);
  }
  return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) Fail("cannot write a file");
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
    Fail("cannot write a file");
  }
  std::fclose(out);
}

void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::fflush(stderr);
  abort();
}

}  // namespace fuzz

// Every pread of the library's platform layer comes here (the targets link with
// -Wl,--wrap=pread).
extern "C" ssize_t __wrap_pread(int fd, void* buffer, size_t count, off_t offset) {
  if (fuzz::ReadCheck check = fuzz::readCheck.load()) check(fd, static_cast<uint64_t>(offset), count);
  return __real_pread(fd, buffer, count, offset);
}
