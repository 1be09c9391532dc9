// Start-up guard of every test program: TAVO_COM1..36 point at paths that do not exist
// before any test runs, unless already set, so no test reaches a real device by accident.
#include <stdio.h>
#include <stdlib.h>

// Referenced by the link of every test program, so that this object is taken from the
// sim library even by programs that use nothing else of it.
extern "C" {
int sim_safe_env_anchor = 0;
}

#ifndef _WIN32  // the COM names of a Windows build are the system's own
__attribute__((constructor)) static void point_com_names_nowhere(void) {
  for (int n = 1; n <= 36; n++) {
    char name[16], path[64];
    snprintf(name, sizeof name, "TAVO_COM%d", n);
    snprintf(path, sizeof path, "/nonexistent/tavo-test/COM%d", n);
    setenv(name, path, 0);  // a test that wants a device (a pseudo-terminal) sets its own
  }
}
#endif
