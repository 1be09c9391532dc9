// The simulated driver's synchronous calls: opening and closing, settings, configuration
// records, queue sizes and counts, modem lines, escapes and break.
#include <string.h>

#include "sim/sim_internal.h"

namespace {

// One byte per possible handle value of each port: a sim handle is the address of one
// of them, so it can never equal a handle of the platform layer.
char handle_tokens[SIM_PORTS][256];

// A result the caller asked for, or ERROR_INVALID_PARAMETER for a null pointer.
template <class T>
BOOL copy_out(T *to, const T &from) {
  return to ? (*to = from, TRUE) : sim_fail_with(ERROR_INVALID_PARAMETER);
}
template <class T>
BOOL copy_in(T &to, const T *from) {
  return from ? copy_out(&to, *from) : sim_fail_with(ERROR_INVALID_PARAMETER);
}

// The attached device of a COM name, the call counted, *error sim_fail's; or null with
// *error 0 to forward the call, or ERROR_FILE_NOT_FOUND for a COM name that must not reach
// the platform (on Windows every one is a real port; on POSIX it leads to TAVO_COM<n>).
SimDevice *device_of_name(const char *name, SimOp op, bool *prefixed, DWORD *error) {
  int n = name ? sim_port_of_name(name, prefixed) : 0;
#ifdef _WIN32
  *error = n != 0 ? ERROR_FILE_NOT_FOUND : 0;
#else
  *error = 0;
#endif
  if (n == 0 || sim_devices[n - 1].number == 0)
    return nullptr;
  sim_devices[n - 1].calls[op]++, sim_changed.notify_all();
  *error = sim_devices[n - 1].fail[op];
  return &sim_devices[n - 1];
}

// Opens an entry that takes a name, as SIM_LOOKUP does for a handle.
#define SIM_NAME_ENTER(op, forward)                             \
  std::unique_lock<std::mutex> lock(sim_mutex);                 \
  bool prefixed = false;                                        \
  DWORD error;                                                  \
  SimDevice *dev = device_of_name(name, op, &prefixed, &error); \
  if (!dev && !error)                                           \
  return lock.unlock(), sim_saved.forward

// The size protocol of GetDefaultCommConfigA and GetCommConfig, then the record: the DCB.
BOOL read_config(const SimDevice *dev, COMMCONFIG *cc, DWORD *size) {
  if (!size)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  bool too_small = *size < sizeof(COMMCONFIG) || !cc;
  *size = sizeof(COMMCONFIG);
  if (too_small)
    return sim_fail_with(ERROR_INSUFFICIENT_BUFFER);
  *cc = COMMCONFIG{};
  cc->dwSize = sizeof(COMMCONFIG), cc->wVersion = 1, cc->dcb = dev->dcb, cc->dwProviderSubType = 1;  // PST_RS232
  return TRUE;
}

}  // namespace

bool sim_is_sim_handle(HANDLE h) {
  const char *p = static_cast<const char *>(h);
  return p >= &handle_tokens[0][0] && p < &handle_tokens[0][0] + sizeof handle_tokens;
}

BOOL sim_fail_with(DWORD error) { return sim_saved.SetLastError(error), FALSE; }

SimDevice *sim_lookup(HANDLE h, SimOp op) {
  SimDevice *dev = &sim_devices[(static_cast<const char *>(h) - &handle_tokens[0][0]) / 256];
  dev->calls[op]++, sim_changed.notify_all();
  return dev->number != 0 && dev->open && dev->handle == h ? dev : nullptr;
}

HANDLE WINAPI sim_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE tmpl) {
  SIM_NAME_ENTER(SIM_CREATE_FILE, CreateFileA(name, access, share, sa, disposition, flags, tmpl));
  if (dev && !error && !prefixed && dev->number >= 10)
    error = ERROR_FILE_NOT_FOUND;  // only COM1..COM9 exist without the prefix
  else if (dev && !error && dev->open)
    error = ERROR_ACCESS_DENIED;
  if (error != 0)
    return sim_fail_with(error), INVALID_HANDLE_VALUE;
  dev->open = true, dev->kept_events = 0;
  return dev->handle = &handle_tokens[dev->number - 1][++dev->generation & 255];
}

BOOL WINAPI sim_GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG cc, LPDWORD size) {
  SIM_NAME_ENTER(SIM_GET_DEFAULT_COMM_CONFIG, GetDefaultCommConfigA(name, cc, size));
  if (!error && prefixed)
    error = ERROR_FILE_NOT_FOUND;  // the plain name only
  return error ? sim_fail_with(error) : read_config(dev, cc, size);
}

SIM_ENTRY(CloseHandle, SIM_CLOSE_HANDLE, (HANDLE h), (h),
          sim_end_all_requests(dev, ERROR_OPERATION_ABORTED);
          dev->open = false, dev->handle = INVALID_HANDLE_VALUE;
          return TRUE;)

SIM_ENTRY(GetCommConfig, SIM_GET_COMM_CONFIG, (HANDLE h, LPCOMMCONFIG cc, LPDWORD size), (h, cc, size),
          return read_config(dev, cc, size);)

SIM_ENTRY(SetCommConfig, SIM_SET_COMM_CONFIG, (HANDLE h, LPCOMMCONFIG cc, DWORD size), (h, cc, size),
          if (!cc) return sim_fail_with(ERROR_INVALID_PARAMETER);
          if (size < sizeof(COMMCONFIG)) return sim_fail_with(ERROR_INSUFFICIENT_BUFFER);
          dev->dcb = cc->dcb;
          return TRUE;)

SIM_ENTRY(GetCommState, SIM_GET_COMM_STATE, (HANDLE h, LPDCB dcb), (h, dcb), return copy_out(dcb, dev->dcb);)
SIM_ENTRY(SetCommState, SIM_SET_COMM_STATE, (HANDLE h, LPDCB dcb), (h, dcb), return copy_in(dev->dcb, dcb);)
SIM_ENTRY(GetCommTimeouts, SIM_GET_COMM_TIMEOUTS, (HANDLE h, LPCOMMTIMEOUTS t), (h, t),
          return copy_out(t, dev->timeouts);)
SIM_ENTRY(SetCommTimeouts, SIM_SET_COMM_TIMEOUTS, (HANDLE h, LPCOMMTIMEOUTS t), (h, t),
          return copy_in(dev->timeouts, t);)
SIM_ENTRY(GetCommMask, SIM_GET_COMM_MASK, (HANDLE h, LPDWORD mask), (h, mask), return copy_out(mask, dev->mask);)
SIM_ENTRY(GetCommModemStatus, SIM_GET_COMM_MODEM_STATUS, (HANDLE h, LPDWORD status), (h, status),
          return copy_out(status, dev->modem);)
SIM_ENTRY(ClearCommBreak, SIM_CLEAR_COMM_BREAK, (HANDLE h), (h), return TRUE;)

SIM_ENTRY(SetupComm, SIM_SETUP_COMM, (HANDLE h, DWORD in_queue, DWORD out_queue), (h, in_queue, out_queue),
          dev->setups.push_back(SimSetup{in_queue, out_queue});
          dev->setup_rx = in_queue, dev->setup_tx = out_queue;
          return TRUE;)

SIM_ENTRY(EscapeCommFunction, SIM_ESCAPE_COMM_FUNCTION, (HANDLE h, DWORD func), (h, func),
          dev->escapes.push_back(func);
          bool known = (func >= SETXOFF && func <= CLRDTR) || func == SETBREAK || func == CLRBREAK;
          return known ? TRUE : sim_fail_with(ERROR_INVALID_PARAMETER);)

SIM_ENTRY(TransmitCommChar, SIM_TRANSMIT_COMM_CHAR, (HANDLE h, char c), (h, c),
          dev->transmitted.push_back(static_cast<uint8_t>(c));
          dev->written.push_back(static_cast<uint8_t>(c));  // on the line ahead of a pending write
          sim_changed.notify_all();
          return TRUE;)

BOOL WINAPI sim_GetCommProperties(HANDLE h, LPCOMMPROP p) {
  SIM_ENTER(h, SIM_GET_COMM_PROPERTIES, GetCommProperties(h, p));
  COMMPROP prop = {};
  prop.wPacketLength = sizeof prop, prop.wPacketVersion = 2;  // the queue sizes are all the library reads
  prop.dwMaxTxQueue = dev->max_tx, prop.dwMaxRxQueue = dev->max_rx;
  prop.dwCurrentTxQueue = dev->fixed_tx != SIM_FROM_SETUP ? dev->fixed_tx : dev->setup_tx;
  prop.dwCurrentRxQueue = sim_current_rx_queue(dev);
  return copy_out(p, prop);
}

BOOL WINAPI sim_ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  SIM_ENTER(h, SIM_CLEAR_COMM_ERROR, ClearCommError(h, errors, stat));
  if (errors)
    *errors = dev->errors;
  dev->errors = 0;  // reported once, then cleared
  if (!stat)
    return TRUE;
  memset(stat, 0, sizeof *stat);
  DWORD b = dev->holds;
  stat->fCtsHold = (b & SIM_HOLD_CTS) != 0, stat->fDsrHold = (b & SIM_HOLD_DSR) != 0;
  stat->fRlsdHold = (b & SIM_HOLD_RLSD) != 0, stat->fXoffHold = (b & SIM_HOLD_XOFF) != 0;
  stat->fXoffSent = (b & SIM_XOFF_SENT) != 0, stat->fEof = (b & SIM_EOF) != 0, stat->fTxim = (b & SIM_TXIM) != 0;
  stat->cbInQue = dev->in_override != SIM_NO_OVERRIDE ? dev->in_override : DWORD(dev->input.size());
  stat->cbOutQue = dev->out_override != SIM_NO_OVERRIDE ? dev->out_override : dev->write.pending ? dev->write.len : 0;
  return TRUE;
}
