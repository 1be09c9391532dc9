// The tavo host program's entry.
#include <stdio.h>

int main() {
  printf("TAVO version 6.0. \n");
  return 0;
}
