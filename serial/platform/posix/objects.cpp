// Handles: the registry of live handle objects, their reference counts, CloseHandle,
// and the thread's last error.
#include <shared_mutex>
#include <unordered_set>

#include "objects.h"

namespace posix {

namespace {

// Live handles. Looked up by every call that takes a handle (shared lock), changed by
// handle creation and CloseHandle (exclusive lock). Readers take no system call.
std::shared_mutex &registry_lock() {
  static std::shared_mutex lock;
  return lock;
}

std::unordered_set<Object *> &registry() {
  static std::unordered_set<Object *> live;
  return live;
}

thread_local DWORD last_error = 0;

}  // namespace

void set_error(DWORD code) { last_error = code; }

DWORD WINAPI GetLastError(void) { return last_error; }

void WINAPI SetLastError(DWORD code) { last_error = code; }

HANDLE handle_register(Object *obj) {
  obj->refs.store(1, std::memory_order_relaxed);
  std::unique_lock<std::shared_mutex> hold(registry_lock());
  registry().insert(obj);
  return obj;
}

Object *handle_acquire(HANDLE h, Kind kind) {
  std::shared_lock<std::shared_mutex> hold(registry_lock());
  auto it = registry().find(static_cast<Object *>(h));
  if (it == registry().end() || (*it)->kind != kind) {
    set_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  (*it)->refs.fetch_add(1, std::memory_order_relaxed);
  return *it;
}

void handle_release(Object *obj) {
  // acq_rel: the last release sees every write made under the other references.
  if (obj->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) obj->destroy(obj);
}

BOOL WINAPI CloseHandle(HANDLE h) {
  Object *obj = static_cast<Object *>(h);
  {
    std::unique_lock<std::shared_mutex> hold(registry_lock());
    if (registry().erase(obj) == 0) {
      set_error(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  if (obj->on_close) obj->on_close(obj);
  handle_release(obj);
  return TRUE;
}

}  // namespace posix
