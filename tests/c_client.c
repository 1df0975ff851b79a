/* A C application of the shipped library, linked against it alone (on Windows through
 * the import library): stores items, saves, destroys, imports the index again and
 * reads everything back, through a cursor and item by item. The first argument is a
 * folder for the database's files. */
#include <stdio.h>
#include <string.h>

#include "quillbox.h"

#define ITEMS 200

static int fail(const char* what) {
  fprintf(stderr, "c_client: %s failed\n", what);
  return 1;
}

static void fill(unsigned char* item, int index, uint32_t size) {
  uint32_t b;
  for (b = 0; b < size; ++b) item[b] = (unsigned char)(index * 13 + b);
}

int main(int argc, char** argv) {
  Quillbox* db = NULL;
  ItemCursor* cursor = NULL;
  const char* path = NULL;
  uint64_t package = 0, count = 0;
  ItemLocation locations[ITEMS];
  uint32_t sizes[ITEMS];
  unsigned char expected[300], actual[300];
  char index[1024];
  int i;
  if (argc < 2) return 2;
  snprintf(index, sizeof index, "%s/c_client.index", argv[1]);

  if (Quillbox_Create(&db, 1024, 4, argv[1]) != 0) return fail("Create");
  if (strcmp(Quillbox_GetVersionInfo(db), "1.0.168") != 0) return fail("GetVersionInfo");
  if (Quillbox_NewThread(&path, argv[1], (uint64_t)-1, db) != 0) return fail("NewThread");
  if (Quillbox_NewPackage(&package, db) != 0) return fail("NewPackage");
  for (i = 0; i < ITEMS; ++i) {
    sizes[i] = 1 + (uint32_t)(i * 37) % 300;
    fill(expected, i, sizes[i]);
    if (Quillbox_Store(package, sizes[i], expected, &locations[i], db) != 0) return fail("Store");
  }
  if (Quillbox_Save(index, db) != 0) return fail("Save");
  Quillbox_Destroy(db);

  db = NULL;
  if (Quillbox_Import(&db, index, 4) != 0) return fail("Import");
  if (Quillbox_GetPackageCount(db) != 1 || Quillbox_GetThreadCount(db) != 0) return fail("counts");
  if (Quillbox_Open(&cursor, package, db) != 0) return fail("Open");
  for (i = 0; i < ITEMS; ++i) {
    fill(expected, i, sizes[i]);
    if (Quillbox_RecoverContinous(&count, sizes[i], actual, cursor, db) != 0 || count != sizes[i] ||
        memcmp(expected, actual, sizes[i]) != 0) {
      return fail("RecoverContinous");
    }
    if (Quillbox_RecoverRandom(sizes[i], actual, &locations[i], package, db) != 0 ||
        memcmp(expected, actual, sizes[i]) != 0) {
      return fail("RecoverRandom");
    }
  }
  if (!Quillbox_PackageEnd(cursor, db)) return fail("PackageEnd");
  Quillbox_Close(&cursor);
  if (cursor != NULL) return fail("Close");
  /* The saved files outlive the database; this client removes them itself. */
  {
    char names[8][1024];
    uint64_t files = Quillbox_GetFileCount(db), k;
    if (files > 8) return fail("GetFileCount");
    for (k = 0; k < files; ++k) snprintf(names[k], sizeof names[k], "%s", Quillbox_GetDatabaseFileName(k, db));
    Quillbox_Destroy(db);
    for (k = 0; k < files; ++k) remove(names[k]);
  }
  remove(index);
  printf("c_client: ok\n");
  return 0;
}
