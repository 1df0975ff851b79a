/* Built against an installed Quillbox with the flags pkg-config gives: the header and
 * its version header are found, the library links and loads, and it is the version the
 * header names. */
#include <quillbox.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  Quillbox* db = NULL;
  char expected[32];
  snprintf(expected, sizeof expected, "%d.%d.%d", QUILLBOX_VERSION_MAJOR,
           QUILLBOX_VERSION_MINOR, QUILLBOX_VERSION_PATCH);
  if (strcmp(expected, QUILLBOX_VERSION_STRING) != 0) {
    fprintf(stderr, "pkg-config consumer: version macros %s and %s differ\n", expected,
            QUILLBOX_VERSION_STRING);
    return 1;
  }
  /* A database without a package file: nothing on disk. */
  if (Quillbox_Create(&db, 1024, 4, NULL) != 0) {
    fprintf(stderr, "pkg-config consumer: Quillbox_Create failed\n");
    return 1;
  }
  printf("Quillbox_GetVersionInfo: %s, header: %s\n", Quillbox_GetVersionInfo(db),
         QUILLBOX_VERSION_STRING);
  if (strcmp(Quillbox_GetVersionInfo(db), QUILLBOX_VERSION_STRING) != 0 ||
      Quillbox_GetPackageSize(db) != 1024) {
    fprintf(stderr, "pkg-config consumer: unexpected database\n");
    Quillbox_Destroy(db);
    return 1;
  }
  Quillbox_Destroy(db);
  printf("pkg-config consumer: ok\n");
  return 0;
}
