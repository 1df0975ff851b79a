// The exported functions: each refuses null handles and null required pointers, then
// forwards to one operation of the database and turns what comes back into a result.
// A refused call returns 1 (0 or null from a getter) and writes nothing; the database
// behind never sees a null pointer it would have to dereference. No other logic lives
// here.
#include <memory>
#include <new>

#include "interface/guarded.h"
#include "quillbox.h"

using qbx::AllPresent;
using qbx::Guarded;
using qbx::RangePresent;

namespace {

// Allocates a cursor, hands it to the caller, then positions it; a cursor handed out
// is the caller's to close even when positioning fails. The caller has checked `out`
// and `db`.
template <typename Position>
uint8_t OpenCursor(ItemCursor** out, Quillbox* db, Position&& position) {
  ItemCursor* cursor = new (std::nothrow) qbx::CursorWalk;
  if (cursor == nullptr) return 1;
  cursor->consumed = 0;
  cursor->buffer = nullptr;
  cursor->capacity = 0;
  cursor->nextBlockPos = qbx::kNoPosition;
  cursor->nextBlockFile = 0;
  cursor->bufferedLen = 0;
  *out = cursor;
  return Guarded(db, [&] { position(*cursor); });
}

}  // namespace

extern "C" {

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Create(Quillbox** out, uint64_t packageSize,
                                                      uint64_t maxQueuedPackages,
                                                      const char* folder) {
  if (out == nullptr) return 1;
  try {
    auto db = std::make_unique<Quillbox>(packageSize, maxQueuedPackages, folder);
    *out = db.release();
    return 0;
  } catch (...) {
    return 1;
  }
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Import(Quillbox** out, const char* indexPath,
                                                      uint64_t maxQueuedPackages) {
  if (!AllPresent(out, indexPath)) return 1;
  try {
    std::unique_ptr<Quillbox> db = Quillbox::Import(indexPath, maxQueuedPackages);
    *out = db.release();
    return 0;
  } catch (...) {
    return 1;
  }
}

QUILLBOX_EXPORT void QUILLBOX_CALL Quillbox_Destroy(Quillbox* db) { delete db; }

QUILLBOX_EXPORT const char* QUILLBOX_CALL Quillbox_GetVersionInfo(Quillbox* db) {
  return db == nullptr ? nullptr : db->VersionText();
}

QUILLBOX_EXPORT const char* QUILLBOX_CALL Quillbox_GetErrorMessage(Quillbox* db) {
  return db == nullptr ? nullptr : db->ErrorText();
}

QUILLBOX_EXPORT uint64_t QUILLBOX_CALL Quillbox_GetPackageSize(Quillbox* db) {
  return db == nullptr ? 0 : db->PackageSize();
}

QUILLBOX_EXPORT uint64_t QUILLBOX_CALL Quillbox_GetPackageCount(Quillbox* db) {
  return db == nullptr ? 0 : db->PackageCount();
}

QUILLBOX_EXPORT uint32_t QUILLBOX_CALL Quillbox_GetThreadCount(Quillbox* db) {
  return db == nullptr ? 0 : db->ThreadCount();
}

QUILLBOX_EXPORT uint64_t QUILLBOX_CALL Quillbox_GetFileCount(Quillbox* db) {
  return db == nullptr ? 0 : db->FileCount();
}

QUILLBOX_EXPORT const char* QUILLBOX_CALL Quillbox_GetDatabaseFileName(uint64_t index,
                                                                       Quillbox* db) {
  return db == nullptr ? nullptr : db->FileName(index);
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_NewThread(const char** out, const char* folder,
                                                         uint64_t maxFileSize, Quillbox* db) {
  if (!AllPresent(out, folder)) return 1;
  const char* path = nullptr;
  const uint8_t result = Guarded(db, [&] { path = db->NewThread(folder, maxFileSize); });
  if (path != nullptr) *out = path;
  return result;
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_NewPackage(uint64_t* out, Quillbox* db) {
  if (out == nullptr) return 1;
  return Guarded(db, [&] { *out = db->NewPackage(); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Store(uint64_t package, uint64_t size,
                                                     const void* data, ItemLocation* location,
                                                     Quillbox* db) {
  // The location is optional; the data may be null only for an empty item.
  if (!RangePresent(data, size)) return 1;
  return Guarded(db, [&] { db->Store(package, size, data, location); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Synchronize(Quillbox* db) {
  return Guarded(db, [&] { db->Synchronize(); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_SynchronizePackage(uint64_t package,
                                                                  Quillbox* db) {
  return Guarded(db, [&] { db->SynchronizePackage(package); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Save(const char* indexPath, Quillbox* db) {
  if (indexPath == nullptr) return 1;
  return Guarded(db, [&] { db->Save(indexPath); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_RelocateFileTo(uint64_t fileIndex,
                                                              const char* newPath,
                                                              uint32_t removeOld, Quillbox* db) {
  if (newPath == nullptr) return 1;
  return Guarded(db, [&] { db->RelocateFileTo(fileIndex, newPath, removeOld != 0); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Open(ItemCursor** out, uint64_t package,
                                                    Quillbox* db) {
  if (!AllPresent(out, db)) return 1;
  return OpenCursor(out, db, [&](ItemCursor& cursor) { db->Open(cursor, package); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_OpenItem(ItemCursor** out,
                                                        const ItemLocation* location,
                                                        Quillbox* db) {
  if (!AllPresent(out, location, db)) return 1;
  return OpenCursor(out, db, [&](ItemCursor& cursor) { db->OpenItem(cursor, *location); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Close(ItemCursor** cursor) {
  if (cursor == nullptr) return 0;  // No variable: nothing to close.
  if (*cursor != nullptr) {
    delete[] (*cursor)->buffer;
    delete &qbx::Walk(**cursor);
  }
  *cursor = nullptr;
  return 0;
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_PackageEnd(const ItemCursor* cursor,
                                                          Quillbox* db) {
  // Without a cursor or a database there is nothing left to read: 1 ("at the end") also
  // stops a caller's read loop.
  if (!AllPresent(cursor, db)) return 1;
  return cursor->bufferedLen == cursor->consumed && cursor->nextBlockPos == qbx::kNoPosition;
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_RecoverContinous(uint64_t* count, uint64_t size,
                                                                void* buffer,
                                                                ItemCursor* cursor,
                                                                Quillbox* db) {
  // The buffer may be null: the bytes are skipped.
  if (!AllPresent(count, cursor, db)) return 1;
  // The count is reported also after a failure: the cursor stands right after the
  // bytes it names.
  uint64_t delivered = 0;
  const uint8_t result = Guarded(db, [&] { db->RecoverContinous(size, buffer, *cursor, &delivered); });
  *count = delivered;
  return result;
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_RecoverRandom(uint64_t size, void* buffer,
                                                             const ItemLocation* location,
                                                             uint64_t package, Quillbox* db) {
  if (location == nullptr || !RangePresent(buffer, size)) return 1;
  return Guarded(db, [&] { db->RecoverRandom(size, buffer, *location, package); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_RecoverRandomContinous(uint64_t size,
                                                                      void* buffer,
                                                                      ItemLocation* location,
                                                                      Quillbox* db) {
  if (location == nullptr || !RangePresent(buffer, size)) return 1;
  return Guarded(db, [&] { db->RecoverRandomContinous(size, buffer, *location); });
}

QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Replace(uint64_t size, const void* data,
                                                       const ItemLocation* location,
                                                       Quillbox* db) {
  if (location == nullptr || !RangePresent(data, size)) return 1;
  return Guarded(db, [&] { db->Replace(size, data, *location); });
}

}  // extern "C"
