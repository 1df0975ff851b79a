// The exported functions: each forwards to one operation of the database and turns
// what comes back into a result. No logic lives here.
#include <memory>
#include <stdexcept>
#include <string>

#include "interface/guarded.h"
#include "quillbox.h"

using qbx::Guarded;

extern "C" {

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Create(Quillbox** out, uint64_t packageSize,
                                                      uint64_t maxQueuedPackages,
                                                      const char* folder) {
  try {
    auto db = std::make_unique<Quillbox>(packageSize, maxQueuedPackages, folder);
    *out = db.release();
    return 0;
  } catch (...) {
    return 1;
  }
}

QUILLBOX_EXPORT void QUILLBOX_CALL Quillbox_Destroy(Quillbox* db) { delete db; }

QUILLBOX_EXPORT const char* QUILLBOX_CALL Quillbox_GetVersionInfo(Quillbox* db) {
  return db->VersionText();
}

QUILLBOX_EXPORT const char* QUILLBOX_CALL Quillbox_GetErrorMessage(Quillbox* db) {
  return db->ErrorText();
}

QUILLBOX_EXPORT uint64_t QUILLBOX_CALL Quillbox_GetPackageSize(Quillbox* db) {
  return db->PackageSize();
}

QUILLBOX_EXPORT uint64_t QUILLBOX_CALL Quillbox_GetPackageCount(Quillbox* db) {
  return db->PackageCount();
}

QUILLBOX_EXPORT uint32_t QUILLBOX_CALL Quillbox_GetThreadCount(Quillbox* db) {
  return db->ThreadCount();
}

QUILLBOX_EXPORT uint64_t QUILLBOX_CALL Quillbox_GetFileCount(Quillbox* db) {
  return db->FileCount();
}

QUILLBOX_EXPORT const char* QUILLBOX_CALL Quillbox_GetDatabaseFileName(uint64_t index,
                                                                       Quillbox* db) {
  return db->FileName(index);
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_NewThread(const char** out, const char* folder,
                                                         uint64_t maxFileSize, Quillbox* db) {
  const char* path = nullptr;
  const uint8_t result = Guarded(db, [&] {
    if (folder == nullptr) throw std::invalid_argument("A thread needs a folder");
    path = db->NewThread(folder, maxFileSize);
  });
  if (path != nullptr) *out = path;
  return result;
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_NewPackage(uint64_t* out, Quillbox* db) {
  return Guarded(db, [&] { *out = db->NewPackage(); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Store(uint64_t package, uint64_t size,
                                                     const void* data, ItemLocation* location,
                                                     Quillbox* db) {
  return Guarded(db, [&] { db->Store(package, size, data, location); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Synchronize(Quillbox* db) {
  return Guarded(db, [&] { db->Synchronize(); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_SynchronizePackage(uint64_t package,
                                                                  Quillbox* db) {
  return Guarded(db, [&] { db->SynchronizePackage(package); });
}

}  // extern "C"
