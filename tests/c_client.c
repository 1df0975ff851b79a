// A C application of the shipped library, linked against it alone (on Windows through
// the import library): stores items, saves, destroys, imports the index again, reads
// everything back through a cursor and item by item, and removes its files. The first
// argument is a folder for them.
#include <stdio.h>
#include <string.h>

#include "quillbox.h"

#define ITEMS 200
#define CHECK(ok) \
  do { if (!(ok)) { fprintf(stderr, "c_client: failed: %s\n", #ok); return 1; } } while (0)

int main(int argc, char** argv) {
  Quillbox* db = NULL;
  ItemCursor* cursor = NULL;
  const char* path = NULL;
  uint64_t package = 0, count = 0, files, k;
  ItemLocation at[ITEMS];
  unsigned char bytes[ITEMS], back[ITEMS];
  char index[1024], names[8][1024];
  int i;
  if (argc < 2) return 2;
  snprintf(index, sizeof index, "%s/c_client.index", argv[1]);
  for (i = 0; i < ITEMS; ++i) bytes[i] = (unsigned char)(i * 13 + 7);  // Item i: i + 1 bytes.
  CHECK(Quillbox_Create(&db, 1024, 4, argv[1]) == 0);
  CHECK(strcmp(Quillbox_GetVersionInfo(db), "1.0.168") == 0);
  CHECK(Quillbox_NewThread(&path, argv[1], (uint64_t)-1, db) == 0);
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
  for (k = 0; k < files; ++k) remove(names[k]);
  remove(index);
  printf("c_client: ok\n");
  return 0;
}
