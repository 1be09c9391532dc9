// The test's side of the simulated device (attaching names, setting what the driver
// reports, feeding and releasing data, reading back what the library did), the sim's
// place in the `win32` table, and its clock.
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <chrono>

#include "sim/sim_internal.h"

std::mutex sim_mutex;
std::condition_variable sim_changed;
SimDevice sim_devices[SIM_PORTS];
Win32Calls sim_saved;

namespace {

bool installed = false, clock_on = false;  // guarded by sim_mutex
DWORD clock_ms = 0;

template <class F>
auto locked(F f) {
  std::lock_guard<std::mutex> lock(sim_mutex);
  return f();
}
template <class T> T get(const T &field) { return locked([&] { return field; }); }
template <class T, class V> void put(T &field, const V &value) { locked([&] { field = value; }); }

// Blocks on the sim's condition until `done` (checked under sim_mutex) or time is up.
template <class F>
bool wait_until(DWORD timeout_ms, F done) {
  std::unique_lock<std::mutex> lock(sim_mutex);
  return sim_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

void install_locked(void) {
  if (installed)
    return;
  sim_saved = win32;  // the sim forwards to, and completes requests through, these
#define SIM_INSTALL(name) win32.name = sim_##name;
  SIM_ENTRIES(SIM_INSTALL)
  installed = true;
}

void device_init(SimDevice *dev, int number) {
  *dev = SimDevice();
  dev->number = number;
  DCB &dcb = dev->dcb;
  dcb.DCBlength = sizeof dcb, dcb.BaudRate = 9600, dcb.fBinary = 1, dcb.ByteSize = 8;
  dcb.Parity = NOPARITY, dcb.StopBits = ONESTOPBIT, dcb.XonChar = 0x11, dcb.XoffChar = 0x13;
  dcb.fDtrControl = DTR_CONTROL_ENABLE, dcb.fRtsControl = RTS_CONTROL_ENABLE, dcb.XonLim = 2048, dcb.XoffLim = 512;
}

}  // namespace

DWORD WINAPI sim_timeGetTime(void) {
  std::unique_lock<std::mutex> lock(sim_mutex);
  return clock_on ? clock_ms : (lock.unlock(), sim_saved.timeGetTime());
}

int sim_port_of_name(const char *name, bool *prefixed) {
  *prefixed = strncmp(name, "\\\\.\\", 4) == 0;
  if (*prefixed)
    name += 4;
  if (strncasecmp(name, "COM", 3) != 0)
    return 0;
  const char *d = name + 3;  // one or two digits, the first not 0
  size_t digits = strspn(d, "0123456789");
  int port = (digits == 1 || digits == 2) && d[digits] == 0 && d[0] != '0' ? atoi(d) : 0;
  return port <= SIM_PORTS ? port : 0;
}

SimDevice *sim_attach(const char *name) {
  bool prefixed;
  int n = name ? sim_port_of_name(name, &prefixed) : 0;
  return n == 0 ? nullptr : locked([n] {
    install_locked();
    if (sim_devices[n - 1].number == 0)
      device_init(&sim_devices[n - 1], n);
    return &sim_devices[n - 1];
  });
}

void sim_reset_all(void) {
  std::lock_guard<std::mutex> lock(sim_mutex);
  for (SimDevice &dev : sim_devices) {
    if (dev.number != 0)
      sim_end_all_requests(&dev, ERROR_OPERATION_ABORTED);
    device_init(&dev, 0);
  }
#define SIM_RESTORE(name) win32.name = sim_saved.name;
  if (installed) {
    SIM_ENTRIES(SIM_RESTORE)
  }
  installed = clock_on = false;
}

// The clock installs the sim too, so that its entry answers.
void sim_set_clock(DWORD ms) { locked([=] { install_locked(); clock_ms = ms, clock_on = true; }); }
void sim_advance_clock(DWORD ms) {
  locked([=] { install_locked(); clock_ms += ms, clock_on = true; });  // wraps at 2^32 as the real clock does
}

HANDLE sim_handle(SimDevice *dev) { return get(dev->handle); }

void sim_fail(SimDevice *dev, SimOp op, DWORD error) { put(dev->fail[op], error); }
unsigned sim_calls(SimDevice *dev, SimOp op) { return get(dev->calls[op]); }
bool sim_wait_calls(SimDevice *dev, SimOp op, unsigned count, DWORD ms) {
  return wait_until(ms, [=] { return dev->calls[op] >= count; });
}

DCB sim_dcb(SimDevice *dev) { return get(dev->dcb); }
void sim_set_dcb(SimDevice *dev, const DCB &dcb) { put(dev->dcb, dcb); }
COMMTIMEOUTS sim_timeouts(SimDevice *dev) { return get(dev->timeouts); }
void sim_set_timeouts(SimDevice *dev, const COMMTIMEOUTS &t) { put(dev->timeouts, t); }
DWORD sim_comm_mask(SimDevice *dev) { return get(dev->mask); }
void sim_set_comm_mask(SimDevice *dev, DWORD mask) { locked([=] { dev->mask = mask, dev->kept_events &= mask; }); }

void sim_set_max_queues(SimDevice *dev, DWORD rx, DWORD tx) { locked([=] { dev->max_rx = rx, dev->max_tx = tx; }); }
void sim_set_current_queues(SimDevice *dev, DWORD rx, DWORD tx) {
  locked([=] { dev->fixed_rx = rx, dev->fixed_tx = tx; });
}
std::vector<SimSetup> sim_setup_calls(SimDevice *dev) { return get(dev->setups); }
void sim_set_in_queue_count(SimDevice *dev, DWORD count) { put(dev->in_override, count); }
void sim_set_out_queue_count(SimDevice *dev, DWORD count) { put(dev->out_override, count); }
void sim_set_holds(SimDevice *dev, DWORD hold_bits) { put(dev->holds, hold_bits); }
void sim_set_errors(SimDevice *dev, DWORD ce_bits) { locked([=] { dev->errors |= ce_bits; }); }

void sim_feed(SimDevice *dev, const void *bytes, size_t len) {
  locked([=] { sim_feed_locked(dev, static_cast<const uint8_t *>(bytes), len); });
}
void sim_feed(SimDevice *dev, const std::string &bytes) { sim_feed(dev, bytes.data(), bytes.size()); }

void sim_set_read_mode(SimDevice *dev, SimIoMode mode, DWORD error) {
  locked([=] { dev->read_mode = mode, dev->read_error = error; });
}
bool sim_read_pending(SimDevice *dev) { return get(dev->read.pending); }
bool sim_wait_read_pending(SimDevice *dev, DWORD ms) { return wait_until(ms, [dev] { return dev->read.pending; }); }

std::vector<DWORD> sim_write_sizes(SimDevice *dev) { return get(dev->write_sizes); }
std::vector<uint8_t> sim_written(SimDevice *dev) { return get(dev->written); }
bool sim_wait_written(SimDevice *dev, size_t count, DWORD ms) {
  return wait_until(ms, [=] { return dev->written.size() >= count; });
}

void sim_set_write_mode(SimDevice *dev, SimIoMode mode, DWORD error) {
  locked([=] { dev->write_mode = mode, dev->write_error = error; });
}
bool sim_release_write(SimDevice *dev, DWORD count) {
  return locked([=] {
    bool pending = dev->write.pending;
    if (pending)
      sim_complete_write_locked(dev, count);
    return pending;
  });
}
bool sim_wait_write_pending(SimDevice *dev, DWORD ms) { return wait_until(ms, [dev] { return dev->write.pending; }); }
std::vector<uint8_t> sim_transmitted_chars(SimDevice *dev) { return get(dev->transmitted); }

void sim_raise(SimDevice *dev, DWORD events) { locked([=] { sim_raise_locked(dev, events); }); }
bool sim_wait_comm_wait_pending(SimDevice *dev, DWORD ms) {
  return wait_until(ms, [dev] { return dev->wait.pending; });
}

void sim_set_modem_status(SimDevice *dev, DWORD ms_bits) { put(dev->modem, ms_bits); }
std::vector<DWORD> sim_escapes(SimDevice *dev) { return get(dev->escapes); }
std::vector<DWORD> sim_purges(SimDevice *dev) { return get(dev->purges); }
unsigned sim_misuse_count(SimDevice *dev) { return get(dev->misuse); }

void sim_clear_records(SimDevice *dev) {
  locked([=] {
    dev->written.clear(), dev->write_sizes.clear(), dev->setups.clear();
    dev->escapes.clear(), dev->purges.clear(), dev->transmitted.clear();
    memset(dev->calls, 0, sizeof dev->calls);
  });
}
