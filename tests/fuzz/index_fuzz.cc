// Fuzz target: arbitrary bytes as an index file. The parser must refuse every damaged
// index with an exception (never crash, never allocate more than the input's own size
// bounds); an index it accepts whose data files all lie in the fuzzer's folder is then
// imported, read through and destroyed, which must not crash either.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "quillbox.h"
#include "storage/index_format.h"

namespace {

// A small recording with fixed file names ("./d0" the package file, "./d1" and on the
// writers' files, rolled over at 2000 bytes), which the seed indexes name: three
// packages of items of mixed sizes, some parked in the package file. Returns the number
// of files.
int MakeRecording() {
  Quillbox* db = nullptr;
  if (Quillbox_Create(&db, 256, 1, ".") != 0) abort();
  const char* name = nullptr;
  if (Quillbox_NewThread(&name, ".", 2000, db) != 0 || Quillbox_NewThread(&name, ".", ~0ull, db) != 0) {
    abort();
  }
  char item[700];
  for (int p = 0; p < 3; ++p) {
    uint64_t package = 0;
    if (Quillbox_NewPackage(&package, db) != 0) abort();
  }
  for (int i = 0; i < 60; ++i) {
    const uint64_t size = (i * 37) % sizeof item;
    for (uint64_t b = 0; b < size; ++b) item[b] = static_cast<char>(i + b);
    if (Quillbox_Store(i % 3, size, item, nullptr, db) != 0) abort();
  }
  if (Quillbox_Synchronize(db) != 0) abort();
  for (uint64_t k = 0; k < Quillbox_GetFileCount(db); ++k) {
    const std::string fixed = "./d" + std::to_string(k);
    if (Quillbox_RelocateFileTo(k, fixed.c_str(), 1, db) != 0) abort();
  }
  if (Quillbox_Save("./seed.index", db) != 0) abort();
  const int files = static_cast<int>(Quillbox_GetFileCount(db));
  Quillbox_Destroy(db);
  return files;
}

// The recording's data files as made; each input starts from them, so that what one
// import wrote does not change the next.
std::vector<std::string> pristine;

// The fuzzer's own folder, made once with the recording in it, and the working folder
// from then on: the index and every file it may name lie there. (Give libFuzzer its
// corpus folders as absolute paths.)
const std::string& Folder() {
  static const std::string folder = [] {
    std::string made = fuzz::EnterTemporaryFolder("index");
    const int files = MakeRecording();
    for (int k = 0; k < files; ++k) pristine.push_back(fuzz::ReadFile("./d" + std::to_string(k)));
    return made;
  }();
  return folder;
}

// Only "./" and a plain name: an index may name any path, and an import opens its files
// for writing.
bool AllFilesHere(const qbx::IndexContents& contents) {
  for (const qbx::IndexFileEntry& file : contents.files) {
    const std::string& name = file.name;
    if (name.size() < 3 || name.compare(0, 2, "./") != 0 ||
        name.find('/', 2) != std::string::npos || name == "./." || name == "./..") {
      return false;
    }
  }
  return true;
}

void ReadEverything(Quillbox* db) {
  char bytes[4096];
  for (uint64_t p = 0; p < Quillbox_GetPackageCount(db) && p < 64; ++p) {
    ItemCursor* cursor = nullptr;
    if (Quillbox_Open(&cursor, p, db) != 0) {
      Quillbox_Close(&cursor);  // A failed Open still hands out a cursor.
      continue;
    }
    uint64_t count = 0;
    for (int k = 0; k < 64 && Quillbox_RecoverContinous(&count, sizeof bytes, bytes, cursor, db) == 0 &&
                    count != 0;
         ++k) {
    }
    Quillbox_Close(&cursor);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string index = Folder() + "/fuzz.index";
  fuzz::WriteFile(index, std::string(reinterpret_cast<const char*>(data), size));
  try {
    const qbx::IndexContents contents = qbx::ReadIndexFile(index);
    if (!AllFilesHere(contents)) return 0;
  } catch (...) {
    return 0;
  }
  for (std::size_t k = 0; k < pristine.size(); ++k) fuzz::WriteFile("./d" + std::to_string(k), pristine[k]);
  Quillbox* db = nullptr;
  // A queue limit above every package count keeps the records in memory.
  if (Quillbox_Import(&db, index.c_str(), 1000) == 0) {
    ReadEverything(db);
    Quillbox_Destroy(db);
  }
  return 0;
}
