// A C application of the shipped library, linked against it alone (on Windows through
// the import library): stores items, saves, destroys, imports the index again, reads
// everything back through a cursor and item by item, and removes its files. Its files
// go into a folder of its own under the system's temporary folder, removed on every
// way out.
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L  // mkdtemp
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include "quillbox.h"

#define ITEMS 200
#define CHECK(ok)                                            \
  do {                                                       \
    if (!(ok)) {                                             \
      fprintf(stderr, "c_client: failed: %s\n", #ok);        \
      result = 1;                                            \
      goto done;                                             \
    }                                                        \
  } while (0)

// Makes a new, empty folder for this run; its path goes to `folder`. 0 on failure.
static int MakeFolder(char* folder, size_t size) {
#if defined(_WIN32)
  char base[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof base, base);
  unsigned attempt;
  if (length == 0 || length >= sizeof base) return 0;
  for (attempt = 0; attempt < 100; ++attempt) {
    snprintf(folder, size, "%squillbox-c-client-%lu-%u", base,
             (unsigned long)GetCurrentProcessId(), attempt);
    if (CreateDirectoryA(folder, NULL)) return 1;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return 0;
  }
  return 0;
#else
  const char* base = getenv("TMPDIR");
  if (base == NULL || *base == '\0') base = "/tmp";
  snprintf(folder, size, "%s/quillbox-c-client-XXXXXX", base);
  return mkdtemp(folder) != NULL;
#endif
}

// Removes the files in `folder` (it has no folders inside), then the folder.
static void RemoveFolder(const char* folder) {
  char path[1024];
#if defined(_WIN32)
  WIN32_FIND_DATAA entry;
  HANDLE found;
  found = snprintf(path, sizeof path, "%s\\*", folder) < (int)sizeof path
              ? FindFirstFileA(path, &entry)
              : INVALID_HANDLE_VALUE;
  if (found != INVALID_HANDLE_VALUE) {
    do {
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      if (snprintf(path, sizeof path, "%s\\%s", folder, entry.cFileName) < (int)sizeof path) {
        DeleteFileA(path);
      }
    } while (FindNextFileA(found, &entry));
    FindClose(found);
  }
  RemoveDirectoryA(folder);
#else
  DIR* listing = opendir(folder);
  const struct dirent* entry;
  if (listing != NULL) {
    while ((entry = readdir(listing)) != NULL) {
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      if (snprintf(path, sizeof path, "%s/%s", folder, entry->d_name) < (int)sizeof path) {
        remove(path);
      }
    }
    closedir(listing);
  }
  rmdir(folder);
#endif
}

int main(void) {
  Quillbox* db = NULL;
  ItemCursor* cursor = NULL;
  const char* path = NULL;
  uint64_t package = 0, count = 0, files, k;
  ItemLocation at[ITEMS];
  unsigned char bytes[ITEMS], back[ITEMS];
  char folder[900], index[1024], names[8][1024];
  int i, result = 0;
  if (!MakeFolder(folder, sizeof folder)) {
    fprintf(stderr, "c_client: no temporary folder\n");
    return 2;
  }
  snprintf(index, sizeof index, "%s/c_client.index", folder);
  for (i = 0; i < ITEMS; ++i) bytes[i] = (unsigned char)(i * 13 + 7);  // Item i: i + 1 bytes.
  CHECK(Quillbox_Create(&db, 1024, 4, folder) == 0);
  CHECK(strcmp(Quillbox_GetVersionInfo(db), "1.0.168") == 0);
  CHECK(Quillbox_NewThread(&path, folder, (uint64_t)-1, db) == 0);
  CHECK(Quillbox_NewPackage(&package, db) == 0);
  for (i = 0; i < ITEMS; ++i) CHECK(Quillbox_Store(package, i + 1, bytes, &at[i], db) == 0);
  CHECK(Quillbox_Save(index, db) == 0);
  Quillbox_Destroy(db);
  db = NULL;
  CHECK(Quillbox_Import(&db, index, 4) == 0 && Quillbox_GetPackageCount(db) == 1);
  CHECK(Quillbox_Open(&cursor, package, db) == 0);
  for (i = 0; i < ITEMS; ++i) {
    CHECK(Quillbox_RecoverContinous(&count, i + 1, back, cursor, db) == 0 && count == i + 1u);
    CHECK(memcmp(bytes, back, i + 1) == 0);
    CHECK(Quillbox_RecoverRandom(i + 1, back, &at[i], package, db) == 0);
    CHECK(memcmp(bytes, back, i + 1) == 0);
  }
  CHECK(Quillbox_PackageEnd(cursor, db) && Quillbox_Close(&cursor) == 0 && cursor == NULL);
  // The saved files outlive the database; this client removes them itself.
  files = Quillbox_GetFileCount(db);
  CHECK(files <= 8);
  for (k = 0; k < files; ++k) {
    snprintf(names[k], sizeof names[k], "%s", Quillbox_GetDatabaseFileName(k, db));
  }
  Quillbox_Destroy(db);
  db = NULL;
  for (k = 0; k < files; ++k) remove(names[k]);
  remove(index);
  printf("c_client: ok\n");
done:
  // The database goes first: its files are open until then.
  if (cursor != NULL) Quillbox_Close(&cursor);
  Quillbox_Destroy(db);
  RemoveFolder(folder);
  return result;
}
