// The simulated driver's synchronous device calls: opening and closing, settings,
// configuration records, queue sizes and counts, modem lines, escapes and break.
// Each one forwards a handle or name that is not the sim's to the saved entry.
#include <stddef.h>
#include <string.h>

#include "sim/sim_internal.h"

namespace {

// One byte per possible handle value of each port: a sim handle is the address of
// one of them, so it can never equal a handle of the platform layer.
char handle_tokens[SIM_PORTS][256];

}  // namespace

HANDLE sim_make_handle(SimDevice *dev) {
  return &handle_tokens[dev->number - 1][dev->generation & 255];
}

bool sim_is_sim_handle(HANDLE h) {
  const char *p = static_cast<const char *>(h);
  const char *first = &handle_tokens[0][0];
  return p >= first && p < first + sizeof handle_tokens;
}

SimDevice *sim_device_of_handle(HANDLE h) {
  ptrdiff_t offset = static_cast<const char *>(h) - &handle_tokens[0][0];
  return &sim_devices[offset / 256];
}

BOOL sim_fail_with(DWORD error) {
  sim_saved.SetLastError(error);
  return FALSE;
}

SimDevice *sim_lookup(HANDLE h, SimOp op, DWORD *error) {
  SimDevice *dev = sim_device_of_handle(h);
  dev->calls[op]++;
  sim_changed.notify_all();
  if (dev->number == 0 || !dev->open || dev->handle != h) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  return dev;
}

SimDevice *sim_begin(HANDLE h, SimOp op, DWORD *error) {
  SimDevice *dev = sim_lookup(h, op, error);
  if (dev && dev->fail[op] != 0) {
    *error = dev->fail[op];
    return nullptr;
  }
  return dev;
}

namespace {


// --- Opening and closing -----------------------------------------------------------

// The device a COM name belongs to, or null when the name is not one of an attached
// device; *prefixed says whether it came as "\\.\COMn".
SimDevice *device_of_name(const char *name, bool *prefixed) {
  int n = sim_port_of_name(name, true, prefixed);
  if (n == 0 || sim_devices[n - 1].number == 0)
    return nullptr;
  return &sim_devices[n - 1];
}

// Whether a name must not reach the platform: on Windows every COM name is a real
// port (under Wine, a /dev/ttyS device), so one without a sim is refused there. On
// POSIX the name leads to TAVO_COM<n>, which the start-up guard or the test chose.
bool refused_name(const char *name) {
#ifdef _WIN32
  bool prefixed;
  return name && sim_port_of_name(name, true, &prefixed) != 0;
#else
  (void)name;
  return false;
#endif
}

HANDLE open_device(SimDevice *dev, bool prefixed, DWORD *error) {
  if (dev->fail[SIM_CREATE_FILE] != 0)
    *error = dev->fail[SIM_CREATE_FILE];
  else if (!prefixed && dev->number >= 10)
    *error = ERROR_FILE_NOT_FOUND;  // only COM1..COM9 exist without the prefix
  else if (dev->busy || dev->open)
    *error = ERROR_ACCESS_DENIED;
  if (*error != 0)
    return INVALID_HANDLE_VALUE;
  dev->generation++;
  dev->open = true;
  dev->handle = sim_make_handle(dev);
  dev->kept_events = 0;
  return dev->handle;
}

HANDLE WINAPI sim_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE tmpl) {
  std::unique_lock<std::mutex> lock(sim_mutex);
  bool prefixed = false;
  SimDevice *dev = name ? device_of_name(name, &prefixed) : nullptr;
  if (!dev) {
    lock.unlock();
    if (refused_name(name)) {
      sim_saved.SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    return sim_saved.CreateFileA(name, access, share, sa, disposition, flags, tmpl);
  }
  dev->calls[SIM_CREATE_FILE]++;
  dev->last_open = SimOpenArgs{name, access, share, disposition, flags};
  sim_changed.notify_all();
  DWORD error = 0;
  HANDLE h = open_device(dev, prefixed, &error);
  if (h == INVALID_HANDLE_VALUE)
    sim_saved.SetLastError(error);
  return h;
}

BOOL WINAPI sim_CloseHandle(HANDLE h) {
  if (!sim_is_sim_handle(h))
    return sim_saved.CloseHandle(h);
  SIM_ENTER(h, SIM_CLOSE_HANDLE);
  sim_end_all_requests(dev, ERROR_OPERATION_ABORTED);
  dev->open = false;
  dev->handle = INVALID_HANDLE_VALUE;
  return TRUE;
}

// --- Configuration records ---------------------------------------------------------

// Fills a record of the device's demanded size: the DCB, and provider data from
// wcProviderData on when the record is longer than COMMCONFIG.
void fill_config(const SimDevice *dev, COMMCONFIG *cc) {
  DWORD size = dev->config_size;
  memset(cc, 0, size);
  cc->dwSize = size;
  cc->wVersion = 1;
  cc->dcb = dev->dcb;
  cc->dwProviderSubType = 1;  // PST_RS232
  if (size > sizeof(COMMCONFIG)) {
    DWORD offset = offsetof(COMMCONFIG, wcProviderData);
    cc->dwProviderOffset = offset;
    cc->dwProviderSize = size - offset;
    uint8_t *p = reinterpret_cast<uint8_t *>(cc);
    for (DWORD i = offset; i < size; i++)
      p[i] = static_cast<uint8_t>(0xA0 + (i - offset));
  }
}

// The size protocol of GetDefaultCommConfigA and GetCommConfig.
BOOL read_config(const SimDevice *dev, COMMCONFIG *cc, DWORD *size) {
  if (!size)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  if (*size < dev->config_size || !cc) {
    *size = dev->config_size;
    return sim_fail_with(ERROR_INSUFFICIENT_BUFFER);
  }
  fill_config(dev, cc);
  *size = dev->config_size;
  return TRUE;
}

BOOL WINAPI sim_GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG cc, LPDWORD size) {
  std::unique_lock<std::mutex> lock(sim_mutex);
  bool prefixed = false;
  SimDevice *dev = name ? device_of_name(name, &prefixed) : nullptr;
  if (!dev) {
    lock.unlock();
    if (refused_name(name))
      return sim_fail_with(ERROR_FILE_NOT_FOUND);
    return sim_saved.GetDefaultCommConfigA(name, cc, size);
  }
  dev->calls[SIM_GET_DEFAULT_COMM_CONFIG]++;
  sim_changed.notify_all();
  if (dev->fail[SIM_GET_DEFAULT_COMM_CONFIG] != 0)
    return sim_fail_with(dev->fail[SIM_GET_DEFAULT_COMM_CONFIG]);
  if (prefixed)
    return sim_fail_with(ERROR_FILE_NOT_FOUND);  // the plain name only
  return read_config(dev, cc, size);
}

BOOL WINAPI sim_GetCommConfig(HANDLE h, LPCOMMCONFIG cc, LPDWORD size) {
  if (!sim_is_sim_handle(h))
    return sim_saved.GetCommConfig(h, cc, size);
  SIM_ENTER(h, SIM_GET_COMM_CONFIG);
  return read_config(dev, cc, size);
}

BOOL WINAPI sim_SetCommConfig(HANDLE h, LPCOMMCONFIG cc, DWORD size) {
  if (!sim_is_sim_handle(h))
    return sim_saved.SetCommConfig(h, cc, size);
  SIM_ENTER(h, SIM_SET_COMM_CONFIG);
  if (!cc)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  if (size < dev->config_size)
    return sim_fail_with(ERROR_INSUFFICIENT_BUFFER);
  const uint8_t *p = reinterpret_cast<const uint8_t *>(cc);
  dev->last_config.assign(p, p + size);
  dev->dcb = cc->dcb;
  return TRUE;
}

// --- Settings ----------------------------------------------------------------------

BOOL WINAPI sim_GetCommState(HANDLE h, LPDCB dcb) {
  if (!sim_is_sim_handle(h))
    return sim_saved.GetCommState(h, dcb);
  SIM_ENTER(h, SIM_GET_COMM_STATE);
  if (!dcb)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  *dcb = dev->dcb;
  return TRUE;
}

BOOL WINAPI sim_SetCommState(HANDLE h, LPDCB dcb) {
  if (!sim_is_sim_handle(h))
    return sim_saved.SetCommState(h, dcb);
  SIM_ENTER(h, SIM_SET_COMM_STATE);
  if (!dcb)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  dev->dcb = *dcb;
  return TRUE;
}

BOOL WINAPI sim_GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  if (!sim_is_sim_handle(h))
    return sim_saved.GetCommTimeouts(h, t);
  SIM_ENTER(h, SIM_GET_COMM_TIMEOUTS);
  if (!t)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  *t = dev->timeouts;
  return TRUE;
}

BOOL WINAPI sim_SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  if (!sim_is_sim_handle(h))
    return sim_saved.SetCommTimeouts(h, t);
  SIM_ENTER(h, SIM_SET_COMM_TIMEOUTS);
  if (!t)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  dev->timeouts = *t;
  return TRUE;
}

BOOL WINAPI sim_GetCommMask(HANDLE h, LPDWORD mask) {
  if (!sim_is_sim_handle(h))
    return sim_saved.GetCommMask(h, mask);
  SIM_ENTER(h, SIM_GET_COMM_MASK);
  if (!mask)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  *mask = dev->mask;
  return TRUE;
}

// --- Queues ------------------------------------------------------------------------

BOOL WINAPI sim_GetCommProperties(HANDLE h, LPCOMMPROP p) {
  if (!sim_is_sim_handle(h))
    return sim_saved.GetCommProperties(h, p);
  SIM_ENTER(h, SIM_GET_COMM_PROPERTIES);
  if (!p)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  memset(p, 0, sizeof *p);
  p->wPacketLength = sizeof *p;
  p->wPacketVersion = 2;
  p->dwServiceMask = 1;        // SP_SERIALCOMM
  p->dwMaxBaud = 0x10000000;   // BAUD_USER
  p->dwProvSubType = 1;        // PST_RS232
  p->dwProvCapabilities = 0xFF;
  p->dwSettableParams = 0x7F;
  p->dwSettableBaud = 0x1006FFFF;
  p->wSettableData = 0x000F;
  p->wSettableStopParity = 0x1F07;
  p->dwMaxTxQueue = dev->max_tx;
  p->dwMaxRxQueue = dev->max_rx;
  p->dwCurrentTxQueue = dev->fixed_tx != SIM_FROM_SETUP ? dev->fixed_tx : dev->setup_tx;
  p->dwCurrentRxQueue = dev->fixed_rx != SIM_FROM_SETUP ? dev->fixed_rx : dev->setup_rx;
  return TRUE;
}

BOOL WINAPI sim_SetupComm(HANDLE h, DWORD in_queue, DWORD out_queue) {
  if (!sim_is_sim_handle(h))
    return sim_saved.SetupComm(h, in_queue, out_queue);
  SIM_ENTER(h, SIM_SETUP_COMM);
  dev->setups.push_back(SimSetup{in_queue, out_queue});
  dev->setup_rx = in_queue;
  dev->setup_tx = out_queue;
  return TRUE;
}

BOOL WINAPI sim_ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  if (!sim_is_sim_handle(h))
    return sim_saved.ClearCommError(h, errors, stat);
  SIM_ENTER(h, SIM_CLEAR_COMM_ERROR);
  if (errors)
    *errors = dev->errors;
  dev->errors = 0;  // reported once, then cleared
  if (stat) {
    memset(stat, 0, sizeof *stat);
    stat->fCtsHold = (dev->holds & SIM_HOLD_CTS) != 0;
    stat->fDsrHold = (dev->holds & SIM_HOLD_DSR) != 0;
    stat->fRlsdHold = (dev->holds & SIM_HOLD_RLSD) != 0;
    stat->fXoffHold = (dev->holds & SIM_HOLD_XOFF) != 0;
    stat->fXoffSent = (dev->holds & SIM_XOFF_SENT) != 0;
    stat->fEof = (dev->holds & SIM_EOF) != 0;
    stat->fTxim = (dev->holds & SIM_TXIM) != 0;
    stat->cbInQue = dev->in_override != SIM_NO_OVERRIDE ? dev->in_override
                                                         : static_cast<DWORD>(dev->input.size());
    stat->cbOutQue = sim_out_queue(dev);
  }
  return TRUE;
}

// --- Modem lines, escapes, break ---------------------------------------------------

BOOL WINAPI sim_GetCommModemStatus(HANDLE h, LPDWORD status) {
  if (!sim_is_sim_handle(h))
    return sim_saved.GetCommModemStatus(h, status);
  SIM_ENTER(h, SIM_GET_COMM_MODEM_STATUS);
  if (!status)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  *status = dev->modem;
  return TRUE;
}

bool known_escape(DWORD func) {
  return (func >= SETXOFF && func <= CLRDTR) || func == SETBREAK || func == CLRBREAK;
}

BOOL WINAPI sim_EscapeCommFunction(HANDLE h, DWORD func) {
  if (!sim_is_sim_handle(h))
    return sim_saved.EscapeCommFunction(h, func);
  SIM_ENTER(h, SIM_ESCAPE_COMM_FUNCTION);
  dev->escapes.push_back(func);
  if (!known_escape(func))
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  return TRUE;
}

BOOL WINAPI sim_TransmitCommChar(HANDLE h, char c) {
  if (!sim_is_sim_handle(h))
    return sim_saved.TransmitCommChar(h, c);
  SIM_ENTER(h, SIM_TRANSMIT_COMM_CHAR);
  dev->transmitted.push_back(static_cast<uint8_t>(c));
  return TRUE;
}

BOOL WINAPI sim_ClearCommBreak(HANDLE h) {
  if (!sim_is_sim_handle(h))
    return sim_saved.ClearCommBreak(h);
  SIM_ENTER(h, SIM_CLEAR_COMM_BREAK);
  return TRUE;
}

}  // namespace

void sim_fill_device_entries(Win32Calls &t) {
  t.CreateFileA = sim_CreateFileA;
  t.CloseHandle = sim_CloseHandle;
  t.GetDefaultCommConfigA = sim_GetDefaultCommConfigA;
  t.GetCommConfig = sim_GetCommConfig;
  t.SetCommConfig = sim_SetCommConfig;
  t.GetCommState = sim_GetCommState;
  t.SetCommState = sim_SetCommState;
  t.GetCommTimeouts = sim_GetCommTimeouts;
  t.SetCommTimeouts = sim_SetCommTimeouts;
  t.GetCommMask = sim_GetCommMask;
  t.GetCommProperties = sim_GetCommProperties;
  t.SetupComm = sim_SetupComm;
  t.ClearCommError = sim_ClearCommError;
  t.GetCommModemStatus = sim_GetCommModemStatus;
  t.EscapeCommFunction = sim_EscapeCommFunction;
  t.TransmitCommChar = sim_TransmitCommChar;
  t.ClearCommBreak = sim_ClearCommBreak;
}
