// Threads: CreateThread over pthreads, exit codes, priorities, and cooperative
// suspension. POSIX cannot stop another thread where it stands, so SuspendThread
// only counts: a suspended thread stops at its next entry to or exit from a blocking
// platform wait (WaitForSingleObject, WaitForMultipleObjects, GetOverlappedResult
// with waiting, Sleep) and stays there until ResumeThread brings the count to 0.
// CREATE_SUSPENDED holds the thread before its start routine. A thread suspending
// itself stops at once.
#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>
#include <type_traits>

#include "objects.h"

namespace posix {

namespace {

// Smallest stack given to a thread: the library asks for 16 KiB, which is too little
// for the C library, the sanitizers and test code run on library threads.
const size_t kMinStack = 1024 * 1024;
const DWORD kMaxSuspendCount = 127;

struct Thread {
  Object obj;      // first: the handle points here
  Waitable ended;  // manual reset, set when the start routine has returned
  LPTHREAD_START_ROUTINE start;
  LPVOID arg;
  std::atomic<DWORD> exit_code;  // written by the thread, read by anyone
  std::atomic<pid_t> tid;        // kernel id, 0 until the thread runs
  std::atomic<int> priority;     // asked priority, applied by whoever learns the tid
  std::mutex suspend_lock;
  std::condition_variable resumed;
  DWORD suspend_count;                 // under suspend_lock
  std::atomic<DWORD> suspend_pending;  // mirror of suspend_count, for a cheap test
};

static_assert(std::is_standard_layout<Thread>::value, "the handle points at the Object at the start");

thread_local Thread *current_thread = nullptr;

void thread_destroy(Object *obj) { delete reinterpret_cast<Thread *>(obj); }

// Nice values for the Win32 priorities. Raising a priority needs a privilege most
// users lack; SetThreadPriority then keeps the normal one and still succeeds.
int nice_of(int priority) {
  switch (priority) {
    case -15: return 19;  // THREAD_PRIORITY_IDLE
    case THREAD_PRIORITY_LOWEST: return 10;
    case THREAD_PRIORITY_BELOW_NORMAL: return 5;
    case THREAD_PRIORITY_NORMAL: return 0;
    case THREAD_PRIORITY_ABOVE_NORMAL: return -5;
    case THREAD_PRIORITY_HIGHEST: return -10;
    case THREAD_PRIORITY_TIME_CRITICAL: return -20;
  }
  return 100;  // not a priority
}

void apply_priority(pid_t tid, int priority) {
  if (tid != 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_of(priority));
}

pid_t my_tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void *thread_main(void *param) {
  Thread *t = static_cast<Thread *>(param);
  current_thread = t;
  // tid and priority are stored and read in sequential order on both sides, so the
  // thread or SetThreadPriority (or both) applies a priority asked before the start.
  t->tid.store(my_tid());
  int priority = t->priority.load();
  if (priority != THREAD_PRIORITY_NORMAL) apply_priority(t->tid.load(), priority);
  suspend_point();  // CREATE_SUSPENDED stops here
  DWORD code = t->start(t->arg);
  t->exit_code.store(code, std::memory_order_release);
  waitable_set(&t->ended);
  current_thread = nullptr;
  handle_release(&t->obj);  // the thread's own reference
  return nullptr;
}

Thread *thread_new(LPTHREAD_START_ROUTINE start, LPVOID arg, DWORD flags) {
  Thread *t = new (std::nothrow) Thread();
  if (t == nullptr) return nullptr;
  t->obj.kind = Kind::Thread;
  t->obj.on_close = nullptr;
  t->obj.destroy = thread_destroy;
  t->ended.signalled = false;
  t->ended.manual_reset = true;
  t->start = start;
  t->arg = arg;
  t->exit_code.store(STILL_ACTIVE, std::memory_order_relaxed);
  t->tid.store(0, std::memory_order_relaxed);
  t->priority.store(THREAD_PRIORITY_NORMAL, std::memory_order_relaxed);
  t->suspend_count = (flags & CREATE_SUSPENDED) ? 1 : 0;
  t->suspend_pending.store(t->suspend_count, std::memory_order_relaxed);
  return t;
}

bool thread_spawn(Thread *t, size_t stack) {
  long page = sysconf(_SC_PAGESIZE);
  if (stack < kMinStack) stack = kMinStack;
  stack = (stack + page - 1) / page * page;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, stack);
  pthread_t id;
  int rc = pthread_create(&id, &attr, thread_main, t);
  pthread_attr_destroy(&attr);
  return rc == 0;
}

// The thread behind h (the pseudo-handle means the calling thread, if this layer
// started it), with a reference taken; null otherwise.
Thread *thread_acquire(HANDLE h) {
  if (h == POSIX_CURRENT_THREAD) {
    Thread *t = current_thread;
    if (t == nullptr) {
      set_error(ERROR_NOT_SUPPORTED);
      return nullptr;
    }
    t->obj.refs.fetch_add(1, std::memory_order_relaxed);
    return t;
  }
  return reinterpret_cast<Thread *>(handle_acquire(h, Kind::Thread));
}

}  // namespace

void suspend_point() {
  Thread *t = current_thread;
  if (t == nullptr || t->suspend_pending.load(std::memory_order_acquire) == 0) return;
  std::unique_lock<std::mutex> hold(t->suspend_lock);
  while (t->suspend_count > 0) t->resumed.wait(hold);
}

Waitable *waitable_of(HANDLE h, Object **obj) {
  if (h == POSIX_CURRENT_THREAD) {
    Thread *t = thread_acquire(h);
    *obj = t ? &t->obj : nullptr;
    return t ? &t->ended : nullptr;
  }
  if ((*obj = handle_acquire(h, Kind::Event)) != nullptr) return waitable_of_event(*obj);
  if ((*obj = handle_acquire(h, Kind::Thread)) != nullptr) return &reinterpret_cast<Thread *>(*obj)->ended;
  return nullptr;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID arg,
                           DWORD flags, LPDWORD id) {
  static std::atomic<DWORD> next_id(1);
  if (start == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Thread *t = thread_new(start, arg, flags);
  if (t == nullptr) {
    set_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE h = handle_register(&t->obj);
  t->obj.refs.fetch_add(1, std::memory_order_relaxed);  // the running thread's
  if (!thread_spawn(t, stack)) {
    t->obj.refs.fetch_sub(1, std::memory_order_relaxed);
    CloseHandle(h);
    set_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (id != nullptr) *id = next_id.fetch_add(1, std::memory_order_relaxed);
  return h;
}

DWORD WINAPI SuspendThread(HANDLE h) {
  Thread *t = thread_acquire(h);
  if (t == nullptr) return static_cast<DWORD>(-1);
  DWORD previous;
  {
    std::lock_guard<std::mutex> hold(t->suspend_lock);
    previous = t->suspend_count;
    if (previous < kMaxSuspendCount) t->suspend_count++;
    t->suspend_pending.store(t->suspend_count, std::memory_order_release);
  }
  bool self = t == current_thread;
  handle_release(&t->obj);
  if (self) suspend_point();
  return previous;
}

DWORD WINAPI ResumeThread(HANDLE h) {
  Thread *t = thread_acquire(h);
  if (t == nullptr) return static_cast<DWORD>(-1);
  DWORD previous;
  {
    std::lock_guard<std::mutex> hold(t->suspend_lock);
    previous = t->suspend_count;
    if (previous > 0) t->suspend_count--;
    t->suspend_pending.store(t->suspend_count, std::memory_order_release);
    if (t->suspend_count == 0) t->resumed.notify_all();
  }
  handle_release(&t->obj);
  return previous;
}

BOOL WINAPI GetExitCodeThread(HANDLE h, LPDWORD code) {
  if (code == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (h == POSIX_CURRENT_THREAD) {  // the caller is running, whoever started it
    *code = STILL_ACTIVE;
    return TRUE;
  }
  Thread *t = thread_acquire(h);
  if (t == nullptr) return FALSE;
  *code = t->exit_code.load(std::memory_order_acquire);
  handle_release(&t->obj);
  return TRUE;
}

BOOL WINAPI SetThreadPriority(HANDLE h, int priority) {
  if (nice_of(priority) == 100) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (h == POSIX_CURRENT_THREAD && current_thread == nullptr) {
    apply_priority(my_tid(), priority);
    return TRUE;
  }
  Thread *t = thread_acquire(h);
  if (t == nullptr) return FALSE;
  t->priority.store(priority);
  apply_priority(t->tid.load(), priority);
  handle_release(&t->obj);
  return TRUE;
}

HANDLE WINAPI GetCurrentThread(void) { return POSIX_CURRENT_THREAD; }

}  // namespace posix
