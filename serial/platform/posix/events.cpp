// Events and waits: auto- and manual-reset events, and the wait for any of several
// events or threads. A waiting thread registers itself with each object it waits
// for; setting an object wakes only the threads registered there, so setting an
// event that nobody waits for makes no system call.
#include <algorithm>
#include <chrono>
#include <new>
#include <type_traits>

#include "objects.h"

namespace posix {

namespace {

typedef std::chrono::steady_clock Clock;

struct Event {
  Object obj;  // first: the handle points here
  Waitable state;
};

static_assert(std::is_standard_layout<Event>::value, "the handle points at the Object at the start");

void event_destroy(Object *obj) { delete reinterpret_cast<Event *>(obj); }

Waiter &my_waiter() {
  thread_local Waiter waiter;
  return waiter;
}

// Called under the lock of an object the waiter is registered with. The signal goes
// out after the waiter's own lock is released, so that the woken thread does not at
// once block on that lock (a futex wait and wake more for every wake-up); the waiter
// cannot be gone meanwhile, since it takes the object's lock to unregister before it
// returns from its wait.
void waiter_wake(Waiter *w) {
  {
    std::lock_guard<std::mutex> hold(w->lock);
    w->woken = true;
  }
  w->wake.notify_one();
}

// Takes the signal of w if it is set (an auto-reset object is reset by the taking),
// otherwise registers me as a waiter. True when the signal was taken.
bool take_or_register(Waitable *w, Waiter *me) {
  std::lock_guard<std::mutex> hold(w->lock);
  if (w->signalled) {
    if (!w->manual_reset) w->signalled = false;
    return true;
  }
  w->waiters.push_back(me);
  return false;
}

void unregister(Waitable *w, Waiter *me) {
  std::lock_guard<std::mutex> hold(w->lock);
  auto it = std::find(w->waiters.begin(), w->waiters.end(), me);
  if (it != w->waiters.end()) w->waiters.erase(it);
}

// One pass over the objects: the index of the first one whose signal was taken, or
// count when none was set (I am then registered with all of them).
DWORD take_any(Waitable *const *objs, DWORD count, Waiter *me) {
  for (DWORD i = 0; i < count; i++) {
    if (take_or_register(objs[i], me)) {
      for (DWORD j = 0; j < i; j++) unregister(objs[j], me);
      return i;
    }
  }
  return count;
}

// Blocks until woken or the deadline passes; false on time-out.
bool sleep_until_woken(Waiter *me, bool forever, Clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(me->lock);
  while (!me->woken) {
    if (forever) {
      me->wake.wait(hold);
    } else if (me->wake.wait_until(hold, deadline) == std::cv_status::timeout) {
      return me->woken;
    }
  }
  return true;
}

}  // namespace

void waitable_set(Waitable *w) {
  std::lock_guard<std::mutex> hold(w->lock);
  w->signalled = true;
  for (Waiter *waiter : w->waiters) waiter_wake(waiter);
}

void waitable_reset(Waitable *w) {
  std::lock_guard<std::mutex> hold(w->lock);
  w->signalled = false;
}

DWORD waitable_wait_any(Waitable *const *objs, DWORD count, DWORD ms) {
  Waiter *me = &my_waiter();
  bool forever = ms == INFINITE;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : ms);
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(me->lock);
      me->woken = false;
    }
    DWORD index = take_any(objs, count, me);
    if (index < count) return WAIT_OBJECT_0 + index;
    bool woken = ms != 0 && sleep_until_woken(me, forever, deadline);
    for (DWORD i = 0; i < count; i++) unregister(objs[i], me);
    if (!woken) {
      // A last look: a signal that came with the time-out still counts.
      index = take_any(objs, count, me);
      for (DWORD i = 0; i < count && index == count; i++) unregister(objs[i], me);
      return index < count ? WAIT_OBJECT_0 + index : WAIT_TIMEOUT;
    }
  }
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial, LPCSTR name) {
  if (name != nullptr) {  // named events are shared between processes: not kept here
    set_error(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  Event *e = new (std::nothrow) Event();
  if (e == nullptr) {
    set_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  e->obj.kind = Kind::Event;
  e->obj.on_close = nullptr;
  e->obj.destroy = event_destroy;
  e->state.signalled = initial != FALSE;
  e->state.manual_reset = manual_reset != FALSE;
  return handle_register(&e->obj);
}

static BOOL change_event(HANDLE h, bool set) {
  Object *obj = handle_acquire(h, Kind::Event);
  if (obj == nullptr) return FALSE;
  Waitable *w = &reinterpret_cast<Event *>(obj)->state;
  if (set) {
    waitable_set(w);
  } else {
    waitable_reset(w);
  }
  handle_release(obj);
  return TRUE;
}

BOOL WINAPI SetEvent(HANDLE h) { return change_event(h, true); }

BOOL WINAPI ResetEvent(HANDLE h) { return change_event(h, false); }

Waitable *waitable_of_event(Object *obj) { return &reinterpret_cast<Event *>(obj)->state; }

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) { return WaitForMultipleObjects(1, &h, FALSE, ms); }

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD ms) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (all && count > 1) {  // waiting for all of several objects is not provided
    set_error(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  Object *objs[MAXIMUM_WAIT_OBJECTS];
  Waitable *waits[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < count; i++) {
    waits[i] = waitable_of(handles[i], &objs[i]);
    if (waits[i] == nullptr) {
      for (DWORD j = 0; j < i; j++) handle_release(objs[j]);
      return WAIT_FAILED;
    }
  }
  suspend_point();
  DWORD result = waitable_wait_any(waits, count, ms);
  for (DWORD i = 0; i < count; i++) handle_release(objs[i]);
  suspend_point();
  return result;
}

}  // namespace posix
