// The stream transfers, the same on every platform: the run-time's buffered fread and
// fwrite, with the test builds' faults.
#include <cstdio>

#include "platform/platform.h"
#ifdef QUILLBOX_TESTING
#include "platform/fault_hook.h"
#endif

namespace qbx {

std::size_t WriteFile(FileHandle file, const void* data, std::size_t size) {
#ifdef QUILLBOX_TESTING
  std::size_t allowed = 0;
  if (testing::WriteFaultFires(size, &allowed)) {
    return allowed == 0 ? 0 : std::fwrite(data, 1, allowed, file);
  }
#endif
  return std::fwrite(data, 1, size, file);
}

std::size_t ReadFile(FileHandle file, void* data, std::size_t size) {
#ifdef QUILLBOX_TESTING
  if (testing::ReadFaultFires()) return 0;
#endif
  return std::fread(data, 1, size, file);
}

void CloseFile(FileHandle file) { std::fclose(file); }

FileHandle Unbuffered(FileHandle file) {
  if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

}  // namespace qbx
