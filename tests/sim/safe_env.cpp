// Start-up guard of every test program: COM1..COM36 are pointed at paths that do not
// exist before any test runs, so no test can reach a real serial device by accident.
// A test that wants a device (a pseudo-terminal) sets TAVO_COM<n> itself.
#include <stdio.h>
#include <stdlib.h>

// Referenced by the link of every test program (see CMakeLists.txt), so that this
// object is taken from the sim library even by programs that use nothing else of it.
extern "C" {
int sim_safe_env_anchor = 0;
}

#ifndef _WIN32  // the COM names of a Windows build are the system's own
namespace {

struct SafeComNames {
  SafeComNames() {
    for (int n = 1; n <= 36; n++) {
      char name[16], path[64];
      snprintf(name, sizeof name, "TAVO_COM%d", n);
      snprintf(path, sizeof path, "/nonexistent/tavo-test/COM%d", n);
      setenv(name, path, 0);  // a value set by the caller stays
    }
  }
};

SafeComNames safe_com_names;

}  // namespace
#endif
