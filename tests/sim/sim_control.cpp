// The test's side of the simulated device: attaching names, setting what the driver
// reports, feeding and releasing data, and reading back what the library did.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <chrono>
#include <functional>

#include "sim/sim_internal.h"

namespace {

using Lock = std::lock_guard<std::mutex>;

bool wait_until(DWORD timeout_ms, const std::function<bool()> &done);

}  // namespace

// --- Names and attaching -----------------------------------------------------------

int sim_port_of_name(const char *name, bool allow_prefix, bool *prefixed) {
  *prefixed = strncmp(name, "\\\\.\\", 4) == 0;
  if (*prefixed) {
    if (!allow_prefix)
      return 0;
    name += 4;
  }
  if (strncasecmp(name, "COM", 3) != 0)
    return 0;
  const char *digits = name + 3;
  size_t n = strlen(digits);
  if (n < 1 || n > 2 || digits[0] == '0' || !isdigit((unsigned char)digits[0]) ||
      (n == 2 && !isdigit((unsigned char)digits[1])))
    return 0;
  int port = atoi(digits);
  return port >= 1 && port <= SIM_PORTS ? port : 0;
}

DCB sim_initial_dcb(void) {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
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
  return dcb;
}

void sim_device_init(SimDevice *dev, int number) {
  *dev = SimDevice();
  dev->number = number;
  dev->dcb = sim_initial_dcb();
}

SimDevice *sim_attach(const char *name) {
  bool prefixed;
  int n = name ? sim_port_of_name(name, true, &prefixed) : 0;
  if (n == 0)
    return nullptr;
  Lock lock(sim_mutex);
  sim_install_locked();
  SimDevice *dev = &sim_devices[n - 1];
  if (dev->number == 0)
    sim_device_init(dev, n);
  return dev;
}

SimDevice *sim_find(const char *name) {
  bool prefixed;
  int n = name ? sim_port_of_name(name, true, &prefixed) : 0;
  if (n == 0)
    return nullptr;
  Lock lock(sim_mutex);
  return sim_devices[n - 1].number != 0 ? &sim_devices[n - 1] : nullptr;
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

int sim_port_number(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->number;
}

// --- Opening -----------------------------------------------------------------------

void sim_set_busy(SimDevice *dev, bool busy) {
  Lock lock(sim_mutex);
  dev->busy = busy;
}

bool sim_is_open(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->open;
}

HANDLE sim_handle(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->handle;
}

SimOpenArgs sim_last_open(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->last_open;
}

// --- Failures and counts -----------------------------------------------------------

void sim_fail(SimDevice *dev, SimOp op, DWORD error) {
  Lock lock(sim_mutex);
  if (op >= 0 && op < SIM_OP_COUNT)
    dev->fail[op] = error;
}

namespace {

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

unsigned sim_calls(SimDevice *dev, SimOp op) {
  Lock lock(sim_mutex);
  return calls_locked(dev, op);
}

bool sim_wait_calls(SimDevice *dev, SimOp op, unsigned count, DWORD timeout_ms) {
  return wait_until(timeout_ms, [=] { return calls_locked(dev, op) >= count; });
}

// --- Settings ----------------------------------------------------------------------

DCB sim_dcb(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->dcb;
}

void sim_set_dcb(SimDevice *dev, const DCB &dcb) {
  Lock lock(sim_mutex);
  dev->dcb = dcb;
}

void sim_set_config_size(SimDevice *dev, DWORD size) {
  Lock lock(sim_mutex);
  dev->config_size = size < sizeof(COMMCONFIG) ? sizeof(COMMCONFIG) : size;
}

std::vector<uint8_t> sim_last_config_written(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->last_config;
}

COMMTIMEOUTS sim_timeouts(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->timeouts;
}

void sim_set_timeouts(SimDevice *dev, const COMMTIMEOUTS &t) {
  Lock lock(sim_mutex);
  dev->timeouts = t;
}

DWORD sim_comm_mask(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->mask;
}

void sim_set_comm_mask(SimDevice *dev, DWORD mask) {
  Lock lock(sim_mutex);
  dev->mask = mask;
  dev->kept_events &= mask;
}

// --- Queues ------------------------------------------------------------------------

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

std::vector<SimSetup> sim_setup_calls(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->setups;
}

void sim_set_in_queue_count(SimDevice *dev, DWORD count) {
  Lock lock(sim_mutex);
  dev->in_override = count;
}

void sim_set_out_queue_count(SimDevice *dev, DWORD count) {
  Lock lock(sim_mutex);
  dev->out_override = count;
}

void sim_set_errors(SimDevice *dev, DWORD ce_bits) {
  Lock lock(sim_mutex);
  dev->errors |= ce_bits;
}

void sim_set_holds(SimDevice *dev, DWORD hold_bits) {
  Lock lock(sim_mutex);
  dev->holds = hold_bits;
}

// --- Receiving ---------------------------------------------------------------------

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
  Lock lock(sim_mutex);
  dev->read_mode = mode;
  dev->read_error = error;
}

bool sim_complete_read(SimDevice *dev, DWORD error) {
  Lock lock(sim_mutex);
  SimRequest &r = dev->read;
  if (!r.pending)
    return false;
  if (error != 0)
    sim_request_end(r, error, 0);
  else
    sim_request_end(r, 0, sim_take_input(dev, r.read_buf, r.len));
  return true;
}

bool sim_read_pending(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->read.pending;
}

bool sim_wait_read_pending(SimDevice *dev, DWORD timeout_ms) {
  return wait_until(timeout_ms, [dev] { return dev->read.pending; });
}

// --- Transmitting ------------------------------------------------------------------

std::vector<DWORD> sim_write_sizes(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->write_sizes;
}

std::vector<uint8_t> sim_written(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->written;
}

std::string sim_written_text(SimDevice *dev) {
  Lock lock(sim_mutex);
  return std::string(dev->written.begin(), dev->written.end());
}

bool sim_wait_written(SimDevice *dev, size_t count, DWORD timeout_ms) {
  return wait_until(timeout_ms, [=] { return dev->written.size() >= count; });
}

void sim_set_write_mode(SimDevice *dev, SimIoMode mode, DWORD error) {
  Lock lock(sim_mutex);
  dev->write_mode = mode;
  dev->write_error = error;
}

bool sim_release_write(SimDevice *dev, DWORD count) {
  Lock lock(sim_mutex);
  if (!dev->write.pending)
    return false;
  sim_complete_write_locked(dev, count);
  return true;
}

bool sim_write_pending(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->write.pending;
}

bool sim_wait_write_pending(SimDevice *dev, DWORD timeout_ms) {
  return wait_until(timeout_ms, [dev] { return dev->write.pending; });
}

std::vector<uint8_t> sim_transmitted_chars(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->transmitted;
}

// --- Events, modem lines, records --------------------------------------------------

void sim_raise(SimDevice *dev, DWORD events) {
  Lock lock(sim_mutex);
  sim_raise_locked(dev, events);
}

bool sim_comm_wait_pending(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->wait.pending;
}

bool sim_wait_comm_wait_pending(SimDevice *dev, DWORD timeout_ms) {
  return wait_until(timeout_ms, [dev] { return dev->wait.pending; });
}

void sim_set_modem_status(SimDevice *dev, DWORD ms_bits) {
  Lock lock(sim_mutex);
  dev->modem = ms_bits;
}

std::vector<DWORD> sim_escapes(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->escapes;
}

std::vector<DWORD> sim_purges(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->purges;
}

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

unsigned sim_misuse_count(SimDevice *dev) {
  Lock lock(sim_mutex);
  return dev->misuse;
}

namespace {

// Blocks on the sim's condition until `done` (checked with sim_mutex held) or the
// time is up.
bool wait_until(DWORD timeout_ms, const std::function<bool()> &done) {
  std::unique_lock<std::mutex> lock(sim_mutex);
  return sim_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

}  // namespace
