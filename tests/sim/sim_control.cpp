// The test's side of the simulated device: attaching names, setting what the driver
// reports, feeding and releasing data, and reading back what the library did.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "sim/sim_internal.h"

namespace {

using Lock = std::lock_guard<std::mutex>;

// A copy of a piece of the sim's state, taken under sim_mutex.
template <class T>
T get(const T &field) {
  Lock lock(sim_mutex);
  return field;
}

// Sets a piece of the sim's state under sim_mutex.
template <class T, class V>
void put(T &field, const V &value) {
  Lock lock(sim_mutex);
  field = value;
}

void put_mode(SimIoMode &mode_field, DWORD &error_field, SimIoMode mode, DWORD error) {
  Lock lock(sim_mutex);
  mode_field = mode;
  error_field = error;
}

// Blocks on the sim's condition until `done` (checked with sim_mutex held) or the
// time is up.
bool wait_until(DWORD timeout_ms, const std::function<bool()> &done) {
  std::unique_lock<std::mutex> lock(sim_mutex);
  return sim_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

unsigned calls_locked(const SimDevice *dev, SimOp op) {
  if (op < 0 || op >= SIM_OP_COUNT)
    return 0;
  if (dev)
    return dev->calls[op];
  unsigned total = sim_global_calls[op];
  for (const SimDevice &d : sim_devices)
    total += d.calls[op];
  return total;
}

}  // namespace

// --- Names and attaching -----------------------------------------------------------

int sim_port_of_name(const char *name, bool *prefixed) {
  *prefixed = strncmp(name, "\\\\.\\", 4) == 0;
  if (*prefixed)
    name += 4;
  if (strncasecmp(name, "COM", 3) != 0)
    return 0;
  const char *d = name + 3;  // one or two digits, the first not 0
  bool digits = isdigit((unsigned char)d[0]) && d[0] != '0' &&
                (d[1] == 0 || (isdigit((unsigned char)d[1]) && d[2] == 0));
  int port = digits ? atoi(d) : 0;
  return port <= SIM_PORTS ? port : 0;
}

void sim_device_init(SimDevice *dev, int number) {
  *dev = SimDevice();
  dev->number = number;
  DCB &dcb = dev->dcb;
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
}

SimDevice *sim_attach(const char *name) {
  bool prefixed;
  int n = name ? sim_port_of_name(name, &prefixed) : 0;
  if (n == 0)
    return nullptr;
  Lock lock(sim_mutex);
  sim_install_locked();
  if (sim_devices[n - 1].number == 0)
    sim_device_init(&sim_devices[n - 1], n);
  return &sim_devices[n - 1];
}

void sim_reset_all(void) {
  Lock lock(sim_mutex);
  for (SimDevice &dev : sim_devices) {
    if (dev.number != 0)
      sim_end_all_requests(&dev, ERROR_OPERATION_ABORTED);
    sim_device_init(&dev, 0);
  }
  memset(sim_global_calls, 0, sizeof sim_global_calls);
  sim_restore_locked();
}

// --- Opening, failures and counts --------------------------------------------------

void sim_set_busy(SimDevice *dev, bool busy) { put(dev->busy, busy); }
bool sim_is_open(SimDevice *dev) { return get(dev->open); }
HANDLE sim_handle(SimDevice *dev) { return get(dev->handle); }
SimOpenArgs sim_last_open(SimDevice *dev) { return get(dev->last_open); }

void sim_fail(SimDevice *dev, SimOp op, DWORD error) {
  if (op >= 0 && op < SIM_OP_COUNT)
    put(dev->fail[op], error);
}

unsigned sim_calls(SimDevice *dev, SimOp op) {
  Lock lock(sim_mutex);
  return calls_locked(dev, op);
}

bool sim_wait_calls(SimDevice *dev, SimOp op, unsigned count, DWORD timeout_ms) {
  return wait_until(timeout_ms, [=] { return calls_locked(dev, op) >= count; });
}

// --- Settings and queues -----------------------------------------------------------

DCB sim_dcb(SimDevice *dev) { return get(dev->dcb); }
void sim_set_dcb(SimDevice *dev, const DCB &dcb) { put(dev->dcb, dcb); }
void sim_set_config_size(SimDevice *dev, DWORD size) {
  put(dev->config_size, std::max<DWORD>(size, sizeof(COMMCONFIG)));
}
std::vector<uint8_t> sim_last_config_written(SimDevice *dev) { return get(dev->last_config); }
COMMTIMEOUTS sim_timeouts(SimDevice *dev) { return get(dev->timeouts); }
void sim_set_timeouts(SimDevice *dev, const COMMTIMEOUTS &t) { put(dev->timeouts, t); }
DWORD sim_comm_mask(SimDevice *dev) { return get(dev->mask); }

void sim_set_comm_mask(SimDevice *dev, DWORD mask) {
  Lock lock(sim_mutex);
  dev->mask = mask;
  dev->kept_events &= mask;
}

void sim_set_max_queues(SimDevice *dev, DWORD max_rx, DWORD max_tx) {
  Lock lock(sim_mutex);
  dev->max_rx = max_rx;
  dev->max_tx = max_tx;
}

void sim_set_current_queues(SimDevice *dev, DWORD current_rx, DWORD current_tx) {
  Lock lock(sim_mutex);
  dev->fixed_rx = current_rx;
  dev->fixed_tx = current_tx;
}

std::vector<SimSetup> sim_setup_calls(SimDevice *dev) { return get(dev->setups); }
void sim_set_in_queue_count(SimDevice *dev, DWORD count) { put(dev->in_override, count); }
void sim_set_out_queue_count(SimDevice *dev, DWORD count) { put(dev->out_override, count); }
void sim_set_holds(SimDevice *dev, DWORD hold_bits) { put(dev->holds, hold_bits); }

void sim_set_errors(SimDevice *dev, DWORD ce_bits) {
  Lock lock(sim_mutex);
  dev->errors |= ce_bits;
}

// --- Receiving and transmitting ----------------------------------------------------

void sim_feed(SimDevice *dev, const void *bytes, size_t len) {
  Lock lock(sim_mutex);
  sim_feed_locked(dev, static_cast<const uint8_t *>(bytes), len);
}

void sim_feed(SimDevice *dev, const std::string &bytes) { sim_feed(dev, bytes.data(), bytes.size()); }

size_t sim_rx_waiting(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->input.size();
}

void sim_set_read_mode(SimDevice *dev, SimIoMode mode, DWORD error) {
  put_mode(dev->read_mode, dev->read_error, mode, error);
}

bool sim_read_pending(SimDevice *dev) { return get(dev->read.pending); }
bool sim_wait_read_pending(SimDevice *dev, DWORD timeout_ms) {
  return wait_until(timeout_ms, [dev] { return dev->read.pending; });
}

std::vector<DWORD> sim_write_sizes(SimDevice *dev) { return get(dev->write_sizes); }
std::vector<uint8_t> sim_written(SimDevice *dev) { return get(dev->written); }

std::string sim_written_text(SimDevice *dev) {
  std::vector<uint8_t> bytes = sim_written(dev);
  return std::string(bytes.begin(), bytes.end());
}

bool sim_wait_written(SimDevice *dev, size_t count, DWORD timeout_ms) {
  return wait_until(timeout_ms, [=] { return dev->written.size() >= count; });
}

void sim_set_write_mode(SimDevice *dev, SimIoMode mode, DWORD error) {
  put_mode(dev->write_mode, dev->write_error, mode, error);
}

bool sim_release_write(SimDevice *dev, DWORD count) {
  Lock lock(sim_mutex);
  if (!dev->write.pending)
    return false;
  sim_complete_write_locked(dev, count);
  return true;
}

bool sim_write_pending(SimDevice *dev) { return get(dev->write.pending); }
bool sim_wait_write_pending(SimDevice *dev, DWORD timeout_ms) {
  return wait_until(timeout_ms, [dev] { return dev->write.pending; });
}

std::vector<uint8_t> sim_transmitted_chars(SimDevice *dev) { return get(dev->transmitted); }

// --- Events, modem lines, records --------------------------------------------------

void sim_raise(SimDevice *dev, DWORD events) {
  Lock lock(sim_mutex);
  sim_raise_locked(dev, events);
}

bool sim_wait_comm_wait_pending(SimDevice *dev, DWORD timeout_ms) {
  return wait_until(timeout_ms, [dev] { return dev->wait.pending; });
}

void sim_set_modem_status(SimDevice *dev, DWORD ms_bits) { put(dev->modem, ms_bits); }
std::vector<DWORD> sim_escapes(SimDevice *dev) { return get(dev->escapes); }
std::vector<DWORD> sim_purges(SimDevice *dev) { return get(dev->purges); }
unsigned sim_misuse_count(SimDevice *dev) { return get(dev->misuse); }

void sim_clear_records(SimDevice *dev) {
  Lock lock(sim_mutex);
  dev->written.clear();
  dev->write_sizes.clear();
  dev->setups.clear();
  dev->escapes.clear();
  dev->purges.clear();
  dev->transmitted.clear();
  dev->last_config.clear();
  memset(dev->calls, 0, sizeof dev->calls);
}
