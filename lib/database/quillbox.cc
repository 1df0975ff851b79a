// Construction of the database from its components.
#include "database/quillbox.h"

#include <sstream>
#include <stdexcept>

namespace {

// "major.minor.patch" from the version macros of the public header, which CMake
// generates from the project's version.
std::string MakeVersionText() {
  std::ostringstream text;
  text << QUILLBOX_VERSION_MAJOR << "." << QUILLBOX_VERSION_MINOR << "."
       << std::to_string(QUILLBOX_VERSION_PATCH);
  return text.str();
}

}  // namespace

Quillbox::Quillbox(std::uint64_t packageSize, std::uint64_t maxQueuedPackages,
                   const char* folder)
    : Quillbox(ImportTag{}, maxQueuedPackages) {
  // A block holds the buffered bytes and one item under a 32-bit length, so a buffer
  // larger than 2^32 bytes could never be written out.
  if (packageSize > kLargestPackageSize) throw std::runtime_error("Datatype range exceeded");
  packages.SetPackageSize(packageSize);
  if (folder != nullptr) files.AddPackageFile(folder);
  writers.StartDatabaseWriter();
}

// Every component as a new database has it: no package file, no threads, no packages.
Quillbox::Quillbox(ImportTag, std::uint64_t maxQueuedPackages)
    : packages(files, maxQueuedPackages),
      writers(packages, files, errors),
      reader(packages, files, errors, writers),
      versionText(MakeVersionText()) {}
