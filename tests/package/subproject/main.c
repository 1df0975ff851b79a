/* The including project's own program, linked against the Quillbox subproject. */
#include <quillbox.h>
#include <stdio.h>

int main(void) {
  printf("built with Quillbox %s\n", QUILLBOX_VERSION_STRING);
  return 0;
}
