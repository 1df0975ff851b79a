/* A C application of the shared library: creates a database in the folder given as
 * the first argument, stores an item, synchronizes and checks the item's location. */
#include <stdio.h>
#include <string.h>

#include "quillbox.h"

int main(int argc, char** argv) {
  Quillbox* db = NULL;
  const char* path = NULL;
  uint64_t package = 0;
  ItemLocation location;
  const char item[] = "one item from C";
  if (argc < 2) return 2;
  if (Quillbox_Create(&db, 1024, 4, NULL) != 0) return 1;
  if (Quillbox_NewThread(&path, argv[1], (uint64_t)-1, db) != 0) return 1;
  if (Quillbox_NewPackage(&package, db) != 0) return 1;
  if (Quillbox_Store(package, sizeof item, item, &location, db) != 0) return 1;
  if (Quillbox_SynchronizePackage(package, db) != 0) return 1;
  if (location.file != 0 || location.pos != 16 || location.blockLen != sizeof item) return 1;
  if (strcmp(Quillbox_GetVersionInfo(db), "1.0.168") != 0) return 1;
  Quillbox_Destroy(db);
  printf("c_client: ok\n");
  return 0;
}
