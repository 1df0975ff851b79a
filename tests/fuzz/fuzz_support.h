// Shared by the fuzz targets: a check of every file read the library makes, a temporary
// working folder per target, and small file helpers.
#ifndef QUILLBOX_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define QUILLBOX_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzz {

// The sanitizers do not see reads from files, so the targets link the library with its
// pread calls routed through a check (-Wl,--wrap=pread): a read of file `fd` from
// `offset` for `count` bytes is passed to `check`, which aborts the run when the read
// reaches past what the file may hold. Null: no check.
using ReadCheck = void (*)(int fd, uint64_t offset, size_t count);
void SetReadCheck(ReadCheck check);

// The file's inode and its length now; false when fstat fails.
bool FileIdentity(int fd, uint64_t* inode, uint64_t* length);
// The path the descriptor was opened with (from /proc/self/fd); empty if unknown.
std::string PathOf(int fd);

// Makes a new folder under $TMPDIR (or /tmp) named from `name`, changes into it, and
// removes it with everything in it at exit. Returns its path.
std::string EnterTemporaryFolder(const char* name);
// What a target's LLVMFuzzerInitialize does: enters its temporary folder (named from
// `name`) and runs `prepare` there (when not null); then, when QUILLBOX_FUZZ_WRITE_SEEDS
// names a folder, writes the target's seeds there with `writeSeeds` and exits, and
// otherwise sets `check` as the read check. Returns 0.
int InitializeTarget(const char* name, void (*prepare)(), void (*writeSeeds)(const std::string&),
                     ReadCheck check);
// Removes every entry of the working folder except those whose names start with `keep`.
void ClearFolder(const std::string& keep);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// Aborts with a message: a finding of the fuzzer.
[[noreturn]] void Fail(const char* what);
#define FUZZ_CHECK(condition)                                         \
  do {                                                                \
    if (!(condition)) ::fuzz::Fail(__FILE__ ": check failed: " #condition); \
  } while (0)

// Bytes of the input taken in order; reads past the end give zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  size_t left() const { return at_ < size_ ? size_ - at_ : 0; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
  uint64_t U64() { return U32() | static_cast<uint64_t>(U32()) << 32; }
  // Up to `n` bytes as they stand in the input.
  std::string Bytes(size_t n) {
    if (n > left()) n = left();
    std::string taken(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return taken;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace fuzz

#endif  // QUILLBOX_TESTS_FUZZ_FUZZ_SUPPORT_H_
