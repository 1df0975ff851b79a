/* Built against an installed Quillbox: creates a database in the folder given as the
 * first argument, stores items, saves, imports the index again and reads every item
 * back, then removes its files. Checks that the library it runs with is the version
 * its header names. */
#include <quillbox.h>
#include <stdio.h>
#include <string.h>

#define ITEMS 50
#define CHECK(ok) \
  do { if (!(ok)) { fprintf(stderr, "consumer: failed: %s\n", #ok); return 1; } } while (0)

int main(int argc, char** argv) {
  Quillbox* db = NULL;
  ItemCursor* cursor = NULL;
  const char* file = NULL;
  uint64_t package = 0, count = 0, files, k;
  ItemLocation at[ITEMS];
  unsigned char bytes[ITEMS], back[ITEMS];
  char index[1024], names[8][1024];
  int i;
  if (argc < 2) return 2;
  snprintf(index, sizeof index, "%s/consumer.index", argv[1]);
  for (i = 0; i < ITEMS; ++i) bytes[i] = (unsigned char)(i * 31 + 5); /* Item i: i + 1 bytes. */

  CHECK(Quillbox_Create(&db, 256, 4, argv[1]) == 0);
  printf("Quillbox_GetVersionInfo: %s, header: %s\n", Quillbox_GetVersionInfo(db),
         QUILLBOX_VERSION_STRING);
  CHECK(strcmp(Quillbox_GetVersionInfo(db), QUILLBOX_VERSION_STRING) == 0);
  CHECK(Quillbox_NewThread(&file, argv[1], (uint64_t)-1, db) == 0);
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
  CHECK(Quillbox_PackageEnd(cursor, db) && Quillbox_Close(&cursor) == 0);
  files = Quillbox_GetFileCount(db);
  CHECK(files <= 8);
  for (k = 0; k < files; ++k) {
    snprintf(names[k], sizeof names[k], "%s", Quillbox_GetDatabaseFileName(k, db));
  }
  Quillbox_Destroy(db);
  for (k = 0; k < files; ++k) remove(names[k]);
  remove(index);
  printf("consumer: %d items stored, saved, imported and read back\n", ITEMS);
  return 0;
}
