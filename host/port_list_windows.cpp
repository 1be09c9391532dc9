// --list on Windows: the COM ports the system knows (QueryDosDevice), none opened.
#include <windows.h>

#include <stdio.h>

#include "host/host.h"

void list_serial_ports(void) {
  int found = 0;
  for (int n = 1; n <= 36; n++) {
    char name[16], target[512];
    snprintf(name, sizeof name, "COM%d", n);
    if (QueryDosDeviceA(name, target, sizeof target) != 0) {
      printf("%s  %s\n", name, target);
      found = 1;
    }
  }
  if (!found) {
    printf("No COM ports found\n");
  }
}
