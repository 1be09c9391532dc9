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

HANDLE sim_make_handle(SimDevice *dev) { return &handle_tokens[dev->number - 1][dev->generation & 255]; }

bool sim_is_sim_handle(HANDLE h) {
  const char *p = static_cast<const char *>(h);
  return p >= &handle_tokens[0][0] && p < &handle_tokens[0][0] + sizeof handle_tokens;
}

BOOL sim_fail_with(DWORD error) {
  sim_saved.SetLastError(error);
  return FALSE;
}

SimDevice *sim_lookup(HANDLE h, SimOp op, DWORD *error) {
  SimDevice *dev = &sim_devices[(static_cast<const char *>(h) - &handle_tokens[0][0]) / 256];
  dev->calls[op]++;
  sim_changed.notify_all();
  if (dev->number == 0 || !dev->open || dev->handle != h) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  return dev;
}

namespace {

// A result the caller asked for, or ERROR_INVALID_PARAMETER for a null pointer.
template <class T>
BOOL copy_out(T *to, const T &from) {
  if (!to)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  *to = from;
  return TRUE;
}

template <class T>
BOOL copy_in(T &to, const T *from) {
  if (!from)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  to = *from;
  return TRUE;
}

// --- Opening and closing -----------------------------------------------------------

// The attached device a COM name belongs to, or null; *prefixed when it came as
// "\\.\COMn". *refused: a COM name that must not reach the platform, as on Windows
// every one is a real port; on POSIX it leads to TAVO_COM<n>, which the test chose.
SimDevice *device_of_name(const char *name, bool *prefixed, bool *refused) {
  int n = name ? sim_port_of_name(name, prefixed) : 0;
#ifdef _WIN32
  *refused = n != 0;
#else
  *refused = false;
#endif
  return n != 0 && sim_devices[n - 1].number != 0 ? &sim_devices[n - 1] : nullptr;
}

HANDLE refuse_open(DWORD error) {
  sim_fail_with(error);
  return INVALID_HANDLE_VALUE;
}

DWORD open_error(const SimDevice *dev, bool prefixed) {
  if (dev->fail[SIM_CREATE_FILE] != 0)
    return dev->fail[SIM_CREATE_FILE];
  if (!prefixed && dev->number >= 10)
    return ERROR_FILE_NOT_FOUND;  // only COM1..COM9 exist without the prefix
  return dev->busy || dev->open ? ERROR_ACCESS_DENIED : 0;
}

HANDLE WINAPI sim_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE tmpl) {
  std::unique_lock<std::mutex> lock(sim_mutex);
  bool prefixed = false, refused;
  SimDevice *dev = device_of_name(name, &prefixed, &refused);
  if (!dev) {
    lock.unlock();
    if (refused)
      return refuse_open(ERROR_FILE_NOT_FOUND);
    return sim_saved.CreateFileA(name, access, share, sa, disposition, flags, tmpl);
  }
  dev->calls[SIM_CREATE_FILE]++;
  dev->last_open = SimOpenArgs{name, access, share, disposition, flags};
  sim_changed.notify_all();
  if (DWORD error = open_error(dev, prefixed))
    return refuse_open(error);
  dev->generation++;
  dev->open = true;
  dev->handle = sim_make_handle(dev);
  dev->kept_events = 0;
  return dev->handle;
}

BOOL WINAPI sim_CloseHandle(HANDLE h) {
  SIM_ENTER(h, SIM_CLOSE_HANDLE, CloseHandle(h));
  sim_end_all_requests(dev, ERROR_OPERATION_ABORTED);
  dev->open = false;
  dev->handle = INVALID_HANDLE_VALUE;
  return TRUE;
}

// --- Configuration records ---------------------------------------------------------

// The size protocol of GetDefaultCommConfigA and GetCommConfig, then a record of the
// device's demanded size: the DCB, and provider data from wcProviderData on when the
// record is longer than COMMCONFIG.
BOOL read_config(const SimDevice *dev, COMMCONFIG *cc, DWORD *size) {
  if (!size)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  DWORD demand = dev->config_size, offset = offsetof(COMMCONFIG, wcProviderData);
  bool too_small = *size < demand || !cc;
  *size = demand;
  if (too_small)
    return sim_fail_with(ERROR_INSUFFICIENT_BUFFER);
  memset(cc, 0, demand);
  cc->dwSize = demand;
  cc->wVersion = 1;
  cc->dcb = dev->dcb;
  cc->dwProviderSubType = 1;  // PST_RS232
  if (demand > sizeof(COMMCONFIG)) {
    cc->dwProviderOffset = offset;
    cc->dwProviderSize = demand - offset;
    for (DWORD i = offset; i < demand; i++)
      reinterpret_cast<uint8_t *>(cc)[i] = static_cast<uint8_t>(0xA0 + (i - offset));
  }
  return TRUE;
}

BOOL WINAPI sim_GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG cc, LPDWORD size) {
  std::unique_lock<std::mutex> lock(sim_mutex);
  bool prefixed = false, refused;
  SimDevice *dev = device_of_name(name, &prefixed, &refused);
  if (!dev) {
    lock.unlock();
    return refused ? sim_fail_with(ERROR_FILE_NOT_FOUND) : sim_saved.GetDefaultCommConfigA(name, cc, size);
  }
  dev->calls[SIM_GET_DEFAULT_COMM_CONFIG]++;
  sim_changed.notify_all();
  if (dev->fail[SIM_GET_DEFAULT_COMM_CONFIG] != 0)
    return sim_fail_with(dev->fail[SIM_GET_DEFAULT_COMM_CONFIG]);
  return prefixed ? sim_fail_with(ERROR_FILE_NOT_FOUND) : read_config(dev, cc, size);  // the plain name only
}

BOOL WINAPI sim_GetCommConfig(HANDLE h, LPCOMMCONFIG cc, LPDWORD size) {
  SIM_ENTER(h, SIM_GET_COMM_CONFIG, GetCommConfig(h, cc, size));
  return read_config(dev, cc, size);
}

BOOL WINAPI sim_SetCommConfig(HANDLE h, LPCOMMCONFIG cc, DWORD size) {
  SIM_ENTER(h, SIM_SET_COMM_CONFIG, SetCommConfig(h, cc, size));
  if (!cc)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  if (size < dev->config_size)
    return sim_fail_with(ERROR_INSUFFICIENT_BUFFER);
  const uint8_t *p = reinterpret_cast<const uint8_t *>(cc);
  dev->last_config.assign(p, p + size);
  dev->dcb = cc->dcb;
  return TRUE;
}

// --- Settings and queues -----------------------------------------------------------

BOOL WINAPI sim_GetCommState(HANDLE h, LPDCB dcb) {
  SIM_ENTER(h, SIM_GET_COMM_STATE, GetCommState(h, dcb));
  return copy_out(dcb, dev->dcb);
}

BOOL WINAPI sim_SetCommState(HANDLE h, LPDCB dcb) {
  SIM_ENTER(h, SIM_SET_COMM_STATE, SetCommState(h, dcb));
  return copy_in(dev->dcb, dcb);
}

BOOL WINAPI sim_GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  SIM_ENTER(h, SIM_GET_COMM_TIMEOUTS, GetCommTimeouts(h, t));
  return copy_out(t, dev->timeouts);
}

BOOL WINAPI sim_SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  SIM_ENTER(h, SIM_SET_COMM_TIMEOUTS, SetCommTimeouts(h, t));
  return copy_in(dev->timeouts, t);
}

BOOL WINAPI sim_GetCommMask(HANDLE h, LPDWORD mask) {
  SIM_ENTER(h, SIM_GET_COMM_MASK, GetCommMask(h, mask));
  return copy_out(mask, dev->mask);
}

BOOL WINAPI sim_GetCommProperties(HANDLE h, LPCOMMPROP p) {
  SIM_ENTER(h, SIM_GET_COMM_PROPERTIES, GetCommProperties(h, p));
  COMMPROP prop = {};
  prop.wPacketLength = sizeof prop;
  prop.wPacketVersion = 2;
  prop.dwServiceMask = 1;        // SP_SERIALCOMM
  prop.dwMaxBaud = 0x10000000;   // BAUD_USER
  prop.dwProvSubType = 1;        // PST_RS232
  prop.dwProvCapabilities = 0xFF;
  prop.dwSettableParams = 0x7F;
  prop.dwSettableBaud = 0x1006FFFF;
  prop.wSettableData = 0x000F;
  prop.wSettableStopParity = 0x1F07;
  prop.dwMaxTxQueue = dev->max_tx;
  prop.dwMaxRxQueue = dev->max_rx;
  prop.dwCurrentTxQueue = dev->fixed_tx != SIM_FROM_SETUP ? dev->fixed_tx : dev->setup_tx;
  prop.dwCurrentRxQueue = sim_current_rx_queue(dev);
  return copy_out(p, prop);
}

BOOL WINAPI sim_SetupComm(HANDLE h, DWORD in_queue, DWORD out_queue) {
  SIM_ENTER(h, SIM_SETUP_COMM, SetupComm(h, in_queue, out_queue));
  dev->setups.push_back(SimSetup{in_queue, out_queue});
  dev->setup_rx = in_queue;
  dev->setup_tx = out_queue;
  return TRUE;
}

BOOL WINAPI sim_ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  SIM_ENTER(h, SIM_CLEAR_COMM_ERROR, ClearCommError(h, errors, stat));
  if (errors)
    *errors = dev->errors;
  dev->errors = 0;  // reported once, then cleared
  if (!stat)
    return TRUE;
  memset(stat, 0, sizeof *stat);
  stat->fCtsHold = (dev->holds & SIM_HOLD_CTS) != 0;
  stat->fDsrHold = (dev->holds & SIM_HOLD_DSR) != 0;
  stat->fRlsdHold = (dev->holds & SIM_HOLD_RLSD) != 0;
  stat->fXoffHold = (dev->holds & SIM_HOLD_XOFF) != 0;
  stat->fXoffSent = (dev->holds & SIM_XOFF_SENT) != 0;
  stat->fEof = (dev->holds & SIM_EOF) != 0;
  stat->fTxim = (dev->holds & SIM_TXIM) != 0;
  stat->cbInQue = dev->in_override != SIM_NO_OVERRIDE ? dev->in_override : DWORD(dev->input.size());
  stat->cbOutQue = dev->out_override != SIM_NO_OVERRIDE ? dev->out_override : dev->write.pending ? dev->write.len : 0;
  return TRUE;
}

// --- Modem lines, escapes, break ---------------------------------------------------

BOOL WINAPI sim_GetCommModemStatus(HANDLE h, LPDWORD status) {
  SIM_ENTER(h, SIM_GET_COMM_MODEM_STATUS, GetCommModemStatus(h, status));
  return copy_out(status, dev->modem);
}

BOOL WINAPI sim_EscapeCommFunction(HANDLE h, DWORD func) {
  SIM_ENTER(h, SIM_ESCAPE_COMM_FUNCTION, EscapeCommFunction(h, func));
  dev->escapes.push_back(func);
  bool known = (func >= SETXOFF && func <= CLRDTR) || func == SETBREAK || func == CLRBREAK;
  return known ? TRUE : sim_fail_with(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI sim_TransmitCommChar(HANDLE h, char c) {
  SIM_ENTER(h, SIM_TRANSMIT_COMM_CHAR, TransmitCommChar(h, c));
  dev->transmitted.push_back(static_cast<uint8_t>(c));
  dev->written.push_back(static_cast<uint8_t>(c));  // on the line ahead of a pending write
  sim_changed.notify_all();
  return TRUE;
}

BOOL WINAPI sim_ClearCommBreak(HANDLE h) {
  SIM_ENTER(h, SIM_CLEAR_COMM_BREAK, ClearCommBreak(h));
  return TRUE;
}

}  // namespace

void sim_fill_device_entries(Win32Calls &t) {
#define SIM_FILL(name) t.name = sim_##name;
  SIM_FILL(CreateFileA) SIM_FILL(CloseHandle) SIM_FILL(GetDefaultCommConfigA) SIM_FILL(GetCommConfig)
  SIM_FILL(SetCommConfig) SIM_FILL(GetCommState) SIM_FILL(SetCommState) SIM_FILL(GetCommTimeouts)
  SIM_FILL(SetCommTimeouts) SIM_FILL(GetCommMask) SIM_FILL(GetCommProperties) SIM_FILL(SetupComm)
  SIM_FILL(ClearCommError) SIM_FILL(GetCommModemStatus) SIM_FILL(EscapeCommFunction) SIM_FILL(TransmitCommChar)
  SIM_FILL(ClearCommBreak)
#undef SIM_FILL
}
