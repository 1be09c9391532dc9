// open_link against the simulated device: a port that cannot be had once its probe
// has succeeded (taken by another program, an adapter unplugged) is a refused open.
#include <gtest/gtest.h>

#include "host/host.h"
#include "serial/sio.h"
#include "sim/sim_device.h"

namespace {

// CreateFileA as the sim has it; the first call (the probe's) goes through, and from
// then on the device fails every open with `error_after_probe` (0: it opens).
SimDevice *device = nullptr;
DWORD error_after_probe = 0;
decltype(Win32Calls::CreateFileA) sim_create_file = nullptr;

HANDLE WINAPI create_then_lose(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                               DWORD flags, HANDLE tmpl) {
  HANDLE handle = sim_create_file(name, access, share, sa, disposition, flags, tmpl);
  sim_fail(device, SIM_CREATE_FILE, error_after_probe);
  return handle;
}

}  // namespace

TEST(OpenLink, APortLostBetweenItsProbeAndItsOpenIsRefused) {
  const struct { const char *what; DWORD error; int opened; } rows[] = {
      {"taken by another program", ERROR_ACCESS_DENIED, 0},
      {"unplugged", ERROR_FILE_NOT_FOUND, 0},
      {"still there", 0, 1},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    device = sim_attach("COM3");
    error_after_probe = row.error;
    sim_create_file = win32.CreateFileA;
    win32.CreateFileA = create_then_lose;
    EXPECT_EQ(open_link(3, 9600), row.opened);
    EXPECT_EQ(port_index.load(), row.opened ? 2 : -1) << "the port the main loop would use";
    EXPECT_EQ(SioIsOpen(2), row.opened == 1);
    EXPECT_EQ(sim_calls(device, SIM_CREATE_FILE), 2u) << "the probe's open and the port's";
    close_link();
    win32.CreateFileA = sim_create_file;
    sim_reset_all();
  }
}
