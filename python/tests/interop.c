// The C side of the Python binding's interop test. Both sides make the same items
// (ItemSize and ItemByte, mirrored in test_quillbox.py), so each can check what the
// other recorded without a description file:
//   interop write FOLDER INDEX LOCATIONS   records, saves INDEX, writes every item's
//                                          20-byte ItemLocation to LOCATIONS
//   interop read INDEX LOCATIONS           imports INDEX, checks every package through
//                                          a cursor and every item by its location
// Locations are written package by package, item by item. Exit status 0 means ok.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillbox.h"

#define PACKAGES 3
#define ITEMS 60
#define PACKAGE_SIZE 1024
#define MAX_FILE_SIZE 16384
#define LARGEST_ITEM 5100

#define CHECK(ok)                                                          \
  do {                                                                     \
    if (!(ok)) {                                                           \
      fprintf(stderr, "interop: line %d: failed: %s\n", __LINE__, #ok);    \
      return 1;                                                            \
    }                                                                      \
  } while (0)

// Item k of package p: some empty, one longer than a package buffer.
static uint64_t ItemSize(unsigned p, unsigned k) {
  if (k % 17 == 5) return 0;
  if (k == 23) return 5000 + p;
  return (k * 37 + p * 11) % 300 + 1;
}

static unsigned char ItemByte(unsigned p, unsigned k, uint64_t i) {
  return (unsigned char)(p * 131 + k * 17 + i * 7 + (i >> 8));
}

static void Fill(unsigned char* bytes, unsigned p, unsigned k) {
  uint64_t i;
  for (i = 0; i < ItemSize(p, k); ++i) bytes[i] = ItemByte(p, k, i);
}

static int Write(const char* folder, const char* index, const char* locationsPath) {
  static ItemLocation at[PACKAGES][ITEMS];
  static unsigned char bytes[LARGEST_ITEM];
  Quillbox* db = NULL;
  const char* path = NULL;
  uint64_t package = 0;
  unsigned p, k;
  FILE* out;
  CHECK(Quillbox_Create(&db, PACKAGE_SIZE, 4, folder) == 0);
  CHECK(Quillbox_NewThread(&path, folder, MAX_FILE_SIZE, db) == 0 && path != NULL);
  for (p = 0; p < PACKAGES; ++p) CHECK(Quillbox_NewPackage(&package, db) == 0 && package == p);
  for (k = 0; k < ITEMS; ++k) {  // Interleaved, as a recorder of several streams does.
    for (p = 0; p < PACKAGES; ++p) {
      Fill(bytes, p, k);
      CHECK(Quillbox_Store(p, ItemSize(p, k), bytes, &at[p][k], db) == 0);
    }
  }
  CHECK(Quillbox_Save(index, db) == 0);  // Synchronizes: every location is final.
  out = fopen(locationsPath, "wb");
  CHECK(out != NULL);
  CHECK(fwrite(at, sizeof(ItemLocation), PACKAGES * ITEMS, out) == PACKAGES * ITEMS);
  CHECK(fclose(out) == 0);
  Quillbox_Destroy(db);
  printf("interop: wrote %u items\n", PACKAGES * ITEMS);
  return 0;
}

static int Read(const char* index, const char* locationsPath) {
  static ItemLocation at[PACKAGES][ITEMS];
  static unsigned char expected[LARGEST_ITEM], back[LARGEST_ITEM];
  Quillbox* db = NULL;
  ItemCursor* cursor = NULL;
  uint64_t count = 0;
  unsigned p, k;
  FILE* in = fopen(locationsPath, "rb");
  CHECK(in != NULL);
  CHECK(fread(at, sizeof(ItemLocation), PACKAGES * ITEMS, in) == PACKAGES * ITEMS);
  CHECK(fgetc(in) == EOF);
  fclose(in);
  CHECK(Quillbox_Import(&db, index, 4) == 0);
  CHECK(Quillbox_GetPackageCount(db) == PACKAGES);
  for (p = 0; p < PACKAGES; ++p) {
    CHECK(Quillbox_Open(&cursor, p, db) == 0);
    for (k = 0; k < ITEMS; ++k) {
      const uint64_t size = ItemSize(p, k);
      Fill(expected, p, k);
      CHECK(Quillbox_RecoverContinous(&count, size, back, cursor, db) == 0 && count == size);
      CHECK(memcmp(expected, back, size) == 0);
      memset(back, 0, size);
      CHECK(Quillbox_RecoverRandom(size, back, &at[p][k], p, db) == 0);
      CHECK(memcmp(expected, back, size) == 0);
    }
    CHECK(Quillbox_RecoverContinous(&count, 1, back, cursor, db) == 0 && count == 0);
    CHECK(Quillbox_PackageEnd(cursor, db) == 1);
    CHECK(Quillbox_Close(&cursor) == 0 && cursor == NULL);
  }
  Quillbox_Destroy(db);
  printf("interop: read %u items\n", PACKAGES * ITEMS);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "write") == 0) return Write(argv[2], argv[3], argv[4]);
  if (argc == 4 && strcmp(argv[1], "read") == 0) return Read(argv[2], argv[3]);
  fprintf(stderr, "usage: interop write FOLDER INDEX LOCATIONS | interop read INDEX LOCATIONS\n");
  return 2;
}
