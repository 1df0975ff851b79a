/* Quillbox: records many data streams ("packages") at high rate into data files
 * written by background threads, and reads them back.
 *
 * Conventions for every function below:
 *  - Functions returning uint8_t report 0 for success and 1 for failure. A failure of
 *    a background writer thread sets the database's error flag; from then on every
 *    such function returns 1 (even when it did its work) and
 *    Quillbox_GetErrorMessage gives the writer's text. Other failures leave no text.
 *  - After a writer failure nothing already in a data file is lost: Save still writes
 *    an index (it returns 1 all the same; save to a new path, on another disk if the
 *    recording's own is full, and check that the file exists) of every block that was
 *    written whole, and an Import of it reads back every item whose ItemLocation held
 *    a file position (`file` not 0xFFFFFFFF, `pos` not all ones) by location and by
 *    replay. Items still in memory at the failure are lost.
 *  - Out-parameters come first; the database handle, where a function takes one
 *    besides other arguments, comes last. Handles are opaque.
 *  - Null pointers: a function returning uint8_t given a null database, cursor,
 *    location, path or out-parameter returns 1 and writes nothing (no database or
 *    cursor is allocated). Data and buffer pointers may be null only with size 0,
 *    except RecoverContinous's buffer (null skips the bytes). Store's location and
 *    Create's folder are optional. Getters return 0 or NULL for a null database.
 *    Close(NULL) returns 0; PackageEnd reads a null cursor or database as "at the
 *    end" (1), which also ends a read loop.
 *  - A database used after Destroy, or a cursor after Close, is undefined behaviour:
 *    no check can tell a stale handle from a live one.
 *  - Paths and folders are zero-terminated UTF-8 strings.
 *  - Texts handed out stay owned by the library and live until the database is
 *    destroyed (a file name until that file is relocated).
 *  - Any number of threads may call Store, NewPackage, NewThread, Synchronize,
 *    SynchronizePackage, Replace, RelocateFileTo and the read functions at once; a
 *    Synchronize(Package) beside Stores covers the items stored before it began.
 *    Destroy must not overlap any other call.
 *  - An ItemLocation passed to Store is filled in by the library, also later from its
 *    writer threads, until Synchronize or SynchronizePackage returns; keep it alive
 *    and in place until then. While writers may still change
 *    it, wait for its item through RecoverRandom, which waits for the location, and
 *    read its fields only after Synchronize or SynchronizePackage: a direct read of a
 *    `pos` that is not 8-byte aligned (one crossing a cache line, say) may tear.
 */
#ifndef QUILLBOX_QUILLBOX_H_
#define QUILLBOX_QUILLBOX_H_

#include <stdint.h>

/* QUILLBOX_VERSION_MAJOR, _MINOR, _PATCH and QUILLBOX_VERSION_STRING: the version of
 * this header (generated in the build tree and installed beside this header). */
#include "quillbox_version.h"

#if defined(_WIN32)
#if defined(QUILLBOX_BUILDING_LIBRARY)
#define QUILLBOX_EXPORT __declspec(dllexport)
#else
#define QUILLBOX_EXPORT __declspec(dllimport)
#endif
#define QUILLBOX_CALL __stdcall
#else
#define QUILLBOX_EXPORT __attribute__((visibility("default")))
#define QUILLBOX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Where a stored item lies. While the item is in memory, `file` is 0xFFFFFFFF and
 * `pos` is its offset in the package's buffer; once placed, `pos` is the absolute
 * position of its first byte in data file `file`, inside a block whose payload is
 * `blockLen` bytes long, at `offsetInBlock` of that payload. `pos` is all ones while
 * the item is not yet accepted or while its block is being written. */
#pragma pack(push, 1)
typedef struct ItemLocation {
  uint64_t pos;
  uint32_t file;
  uint32_t offsetInBlock;
  uint32_t blockLen;
} ItemLocation;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(ItemLocation) == 20, "ItemLocation is a packed 20-byte record");
#else
_Static_assert(sizeof(ItemLocation) == 20, "ItemLocation is a packed 20-byte record");
#endif

typedef struct Quillbox Quillbox;
typedef struct ItemCursor ItemCursor;

/* Database lifetime. Create takes the package (buffer) size, at most 2^32 bytes, the
 * number of packages that may wait for the database writer, and an optional folder
 * for the package file. */
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Create(Quillbox** out, uint64_t packageSize,
                                                      uint64_t maxQueuedPackages,
                                                      const char* folder);
/* Import reopens a saved database. A data file that is no longer at the path the index
 * lists (the recording was copied or moved) is looked for below the index file's
 * folder by the trailing parts of that path (its name, its parent folder and name,
 * and so on; the longest that exists wins); GetDatabaseFileName then gives the path
 * found. An import writes no file; nor does reading what it opened.
 * When the system refuses to open a listed file for writing (a read-only file system,
 * no permission), the recording is opened read-only: every read works, while Store,
 * NewThread, NewPackage, Replace and RelocateFileTo return 1 and write nothing, the
 * error message staying empty; Save can still write an index elsewhere, and Destroy
 * deletes nothing. */
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Import(Quillbox** out, const char* indexPath,
                                                      uint64_t maxQueuedPackages);
/* Synchronizes (unless a writer has failed), stops the threads and releases
 * everything; data files not listed by a saved index are deleted. NULL is allowed. */
QUILLBOX_EXPORT void QUILLBOX_CALL Quillbox_Destroy(Quillbox* db);

/* Getters. */
QUILLBOX_EXPORT const char* QUILLBOX_CALL Quillbox_GetVersionInfo(Quillbox* db);
QUILLBOX_EXPORT const char* QUILLBOX_CALL Quillbox_GetErrorMessage(Quillbox* db);
QUILLBOX_EXPORT uint64_t QUILLBOX_CALL Quillbox_GetPackageSize(Quillbox* db);
QUILLBOX_EXPORT uint64_t QUILLBOX_CALL Quillbox_GetPackageCount(Quillbox* db);
QUILLBOX_EXPORT uint32_t QUILLBOX_CALL Quillbox_GetThreadCount(Quillbox* db);
QUILLBOX_EXPORT uint64_t QUILLBOX_CALL Quillbox_GetFileCount(Quillbox* db);
/* The full path of data file `index`, or NULL when there is no such file. */
QUILLBOX_EXPORT const char* QUILLBOX_CALL Quillbox_GetDatabaseFileName(uint64_t index,
                                                                       Quillbox* db);

/* Writing. */
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_NewThread(const char** out, const char* folder,
                                                         uint64_t maxFileSize, Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_NewPackage(uint64_t* out, Quillbox* db);
/* Copies `size` bytes at `data` to the end of `package`. Needs at least one thread. */
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Store(uint64_t package, uint64_t size,
                                                     const void* data, ItemLocation* location,
                                                     Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Synchronize(Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_SynchronizePackage(uint64_t package,
                                                                  Quillbox* db);

/* Saving and moving files. */
/* Save makes the data it indexes durable (also each new data file's folder entry)
 * before it renames the new index into place. RelocateFileTo makes the copy durable,
 * and with removeOld rewrites every index this database saved or was imported from to
 * name the new path before it deletes the old file; if an index cannot be rewritten,
 * the old file stays and the call returns 1. */
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Save(const char* indexPath, Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_RelocateFileTo(uint64_t fileIndex,
                                                              const char* newPath,
                                                              uint32_t removeOld, Quillbox* db);

/* Reading. A cursor handed out by Open or OpenItem, also when they fail, is released
 * with Close. RecoverContinous delivers fewer bytes than asked only at the package's
 * end; after a failure *count still tells how many bytes were delivered, and the
 * cursor stands right after them (in most failures at its old place, count 0). A call
 * refused for a null count, cursor or database writes nothing, not even *count. */
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Open(ItemCursor** out, uint64_t package,
                                                    Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_OpenItem(ItemCursor** out,
                                                        const ItemLocation* location,
                                                        Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Close(ItemCursor** cursor);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_PackageEnd(const ItemCursor* cursor,
                                                          Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_RecoverContinous(uint64_t* count, uint64_t size,
                                                                void* buffer,
                                                                ItemCursor* cursor,
                                                                Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_RecoverRandom(uint64_t size, void* buffer,
                                                             const ItemLocation* location,
                                                             uint64_t package, Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_RecoverRandomContinous(uint64_t size,
                                                                      void* buffer,
                                                                      ItemLocation* location,
                                                                      Quillbox* db);
QUILLBOX_EXPORT uint8_t QUILLBOX_CALL Quillbox_Replace(uint64_t size, const void* data,
                                                       const ItemLocation* location,
                                                       Quillbox* db);

#ifdef __cplusplus
}
#endif

#endif /* QUILLBOX_QUILLBOX_H_ */
