// Device names and what can be learnt of a device without opening a port: the
// name of each port, the probe, the opening of a device handle, and the reading and
// writing of a device's configuration record.
#include "port_table.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CONFIG_RECORD_SIZE 52u  // sizeof(COMMCONFIG)

// Writes at most 11 bytes (\\.\COM256 and its terminator); ports 0 to 35 need 10.
void SioBuildPortName(uint8_t port, char *out, uint8_t probing) {
  const char *prefix = (probing == 0 && port > 8) ? "\\\\.\\" : "";
  snprintf(out, 11, "%sCOM%u", prefix, unsigned(port) + 1);
}

HANDLE SioCreatePortHandle(const char *name) {
  return win32.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Reads a configuration record through `read`, trying 52 bytes first and, when the
// call reports a larger size, once more at that size. Returns the record (to be
// released with free) and its size, or null.
typedef BOOL (*ConfigReader)(const void *source, LPCOMMCONFIG record, LPDWORD size);

static COMMCONFIG *SioReadConfigRecord(ConfigReader read, const void *source, DWORD *size) {
  *size = CONFIG_RECORD_SIZE;
  COMMCONFIG *record = static_cast<COMMCONFIG *>(calloc(1, CONFIG_RECORD_SIZE));
  if (record == nullptr) return nullptr;
  record->dwSize = CONFIG_RECORD_SIZE;
  if (read(source, record, size)) return record;
  free(record);
  if (*size <= CONFIG_RECORD_SIZE) return nullptr;
  record = static_cast<COMMCONFIG *>(calloc(1, *size));
  if (record == nullptr) return nullptr;
  record->dwSize = *size;
  if (read(source, record, size)) return record;
  free(record);
  return nullptr;
}

static BOOL SioReadDefaultConfig(const void *name, LPCOMMCONFIG record, LPDWORD size) {
  return win32.GetDefaultCommConfigA(static_cast<const char *>(name), record, size);
}

static BOOL SioReadDeviceConfig(const void *handle, LPCOMMCONFIG record, LPDWORD size) {
  return win32.GetCommConfig(const_cast<HANDLE>(handle), record, size);
}

// The reason of a failed probe or open, from the platform's error.
int16_t SioOpenFailure(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return SIO_ERR_NO_DEVICE;
    case ERROR_ACCESS_DENIED:
      return SIO_ERR_ACCESS_DENIED;
    case ERROR_SHARING_VIOLATION:
      return SIO_ERR_BUSY;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return SIO_ERR_NOT_SERIAL;
    case ERROR_CONNECTION_REFUSED:
      return SIO_ERR_NET_REFUSED;
    case ERROR_SEM_TIMEOUT:
      return SIO_ERR_NET_TIMED_OUT;
    case ERROR_HOST_UNREACHABLE:
      return SIO_ERR_NET_UNREACHABLE;
    case ERROR_NETNAME_DELETED:
      return SIO_ERR_NET_CLOSED;
    case ERROR_BAD_NETPATH:
      return SIO_ERR_NET_UNKNOWN_HOST;
    default:
      return SIO_FAILED;
  }
}

static uint16_t SioProbeResult(uint8_t port, uint16_t result, int16_t outcome) {
  if (port < SIO_PORT_COUNT) table().ports[port].last_error.store(outcome);
  return result;
}

uint16_t SioProbePort(uint8_t port) {
  if (port_table.load(std::memory_order_acquire) == nullptr) SioInitLibrary();
  char name[16];
  SioBuildPortName(port, name, 1);
  DWORD size = 0;
  COMMCONFIG *record = SioReadConfigRecord(SioReadDefaultConfig, name, &size);
  if (record == nullptr) return SioProbeResult(port, 0, SioOpenFailure(win32.GetLastError()));
  free(record);
  SioBuildPortName(port, name, 0);
  HANDLE handle = SioCreatePortHandle(name);
  if (handle == INVALID_HANDLE_VALUE) return SioProbeResult(port, 2, SioOpenFailure(win32.GetLastError()));
  win32.CloseHandle(handle);
  return SioProbeResult(port, 1, SIO_OK);
}

bool SioReadCommConfig(HANDLE handle, DCB *dcb) {
  DWORD size = 0;
  COMMCONFIG *record = SioReadConfigRecord(SioReadDeviceConfig, handle, &size);
  if (record == nullptr) return false;
  *dcb = record->dcb;
  free(record);
  return true;
}

// The rest of the record, provider data included, goes back as it was read.
bool SioWriteCommConfig(HANDLE handle, const DCB *dcb) {
  DWORD size = 0;
  COMMCONFIG *record = SioReadConfigRecord(SioReadDeviceConfig, handle, &size);
  if (record == nullptr) return false;
  record->dcb = *dcb;
  bool ok = win32.SetCommConfig(handle, record, size) != 0;
  free(record);
  return ok;
}
