// The console on Windows: keys read without echo from the console (or from standard
// input when it is not one), with the two-code extended keys (0x00 or 0xE0 first);
// batched output written straight to the console (CONOUT$); the wake-up event the
// receive side uses to end the main thread's wait; console modes given back on exit.
//
// Keys are gathered by an input thread of this file into a queue, so that the main
// thread can block on one wait for a key or a wake-up, whatever standard input is.
// Ctrl-C never reaches the queue: the console turns it into a control event
// (ENABLE_PROCESSED_INPUT stays on), which interrupt_windows.cpp handles.
#include "host/console.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#ifndef DISABLE_NEWLINE_AUTO_RETURN
#define DISABLE_NEWLINE_AUTO_RETURN 0x0008
#endif

// Set once by console_open (main thread) before the input thread starts.
static HANDLE in_handle = INVALID_HANDLE_VALUE;
static HANDLE out_handle = INVALID_HANDLE_VALUE;
static int in_is_console = 0;

// Console modes as found, given back by console_restore on any thread; `restore_due`
// is raised once they are saved and lowered by the first restore.
static DWORD saved_in_mode = 0;
static DWORD saved_out_mode = 0;
static int out_is_console = 0;
static std::atomic<int> restore_due{0};

// The key queue: the input thread adds, the main thread takes, both under key_lock.
// key_ready is set (manual reset) while the queue holds a key; room_ready (auto reset)
// tells a waiting input thread that the main thread took keys.
#define KEY_QUEUE_SIZE 4096
static CRITICAL_SECTION key_lock;
static uint8_t key_queue[KEY_QUEUE_SIZE];
static size_t key_head = 0;   // next key to take
static size_t key_count = 0;  // keys held
static HANDLE key_ready = nullptr;
static HANDLE room_ready = nullptr;

// Screen bytes queued by console_put. Main thread only.
static uint8_t out_buffer[4096];
static DWORD out_length = 0;

// Auto-reset; console_wake sets it from any thread once it is published (release).
static std::atomic<HANDLE> wake_event{nullptr};

// ---------------------------------------------------------------------------------
// The key queue

// Adds keys, waiting while the queue is full (keys are held, never dropped).
static void queue_keys(const uint8_t *keys, size_t length) {
  while (length > 0) {
    EnterCriticalSection(&key_lock);
    while (length > 0 && key_count < KEY_QUEUE_SIZE) {
      key_queue[(key_head + key_count) % KEY_QUEUE_SIZE] = *keys++;
      key_count++;
      length--;
    }
    SetEvent(key_ready);
    LeaveCriticalSection(&key_lock);
    if (length > 0) {
      WaitForSingleObject(room_ready, INFINITE);
    }
  }
}

// Takes one key; -1 when the queue is empty.
static int take_key(void) {
  int key = -1;
  EnterCriticalSection(&key_lock);
  if (key_count > 0) {
    key = key_queue[key_head];
    key_head = (key_head + 1) % KEY_QUEUE_SIZE;
    if (--key_count == 0) {
      ResetEvent(key_ready);
    }
    SetEvent(room_ready);
  }
  LeaveCriticalSection(&key_lock);
  return key;
}

static int keys_held(void) {
  EnterCriticalSection(&key_lock);
  int held = key_count > 0;
  LeaveCriticalSection(&key_lock);
  return held;
}

// ---------------------------------------------------------------------------------
// Console key events to key codes

// Second codes of the keys without a character, by scan code and modifier, as the
// console run-time library's key read gives them.
struct ExtendedKey {
  WORD scan;
  uint8_t plain, shift, ctrl, alt;
};
static const ExtendedKey extended_keys[] = {
    {0x3B, 0x3B, 0x54, 0x5E, 0x68},  // F1
    {0x3C, 0x3C, 0x55, 0x5F, 0x69},  // F2
    {0x3D, 0x3D, 0x56, 0x60, 0x6A},  // F3
    {0x3E, 0x3E, 0x57, 0x61, 0x6B},  // F4
    {0x3F, 0x3F, 0x58, 0x62, 0x6C},  // F5
    {0x40, 0x40, 0x59, 0x63, 0x6D},  // F6
    {0x41, 0x41, 0x5A, 0x64, 0x6E},  // F7
    {0x42, 0x42, 0x5B, 0x65, 0x6F},  // F8
    {0x43, 0x43, 0x5C, 0x66, 0x70},  // F9
    {0x44, 0x44, 0x5D, 0x67, 0x71},  // F10
    {0x57, 0x85, 0x87, 0x89, 0x8B},  // F11
    {0x58, 0x86, 0x88, 0x8A, 0x8C},  // F12
    {0x47, 0x47, 0x47, 0x77, 0x97},  // Home
    {0x48, 0x48, 0x48, 0x8D, 0x98},  // Up
    {0x49, 0x49, 0x49, 0x84, 0x99},  // Page Up
    {0x4B, 0x4B, 0x4B, 0x73, 0x9B},  // Left
    {0x4D, 0x4D, 0x4D, 0x74, 0x9D},  // Right
    {0x4F, 0x4F, 0x4F, 0x75, 0x9F},  // End
    {0x50, 0x50, 0x50, 0x91, 0xA0},  // Down
    {0x51, 0x51, 0x51, 0x76, 0xA1},  // Page Down
    {0x52, 0x52, 0x52, 0x92, 0xA2},  // Insert
    {0x53, 0x53, 0x53, 0x93, 0xA3},  // Delete
};

static int is_modifier_key(WORD virtual_key) {
  switch (virtual_key) {
    case VK_SHIFT: case VK_CONTROL: case VK_MENU: case VK_CAPITAL: case VK_NUMLOCK:
    case VK_SCROLL: case VK_LWIN: case VK_RWIN: case VK_APPS:
      return 1;
    default:
      return 0;
  }
}

static uint8_t extended_code(WORD scan, DWORD state) {
  for (const ExtendedKey &key : extended_keys) {
    if (key.scan != scan) continue;
    if (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) return key.alt;
    if (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) return key.ctrl;
    if (state & SHIFT_PRESSED) return key.shift;
    return key.plain;
  }
  return (uint8_t)scan;
}

// The codes of one key press: one byte for a character, two (0x00 or 0xE0, then the
// key's code) for a key without one and for Alt with a letter; none for a modifier.
static size_t key_codes(const KEY_EVENT_RECORD &key, uint8_t codes[2]) {
  DWORD state = key.dwControlKeyState;
  uint8_t character = (uint8_t)key.uChar.AsciiChar;
  int alt = (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
  int ctrl = (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0;
  if (character != 0 && !(alt && !ctrl)) {  // Ctrl+Alt is AltGr: its character counts
    codes[0] = character;
    return 1;
  }
  if (is_modifier_key(key.wVirtualKeyCode) || key.wVirtualScanCode == 0) {
    return 0;
  }
  codes[0] = (state & ENHANCED_KEY) ? 0xE0 : 0x00;
  codes[1] = character != 0 ? (uint8_t)key.wVirtualScanCode
                            : extended_code(key.wVirtualScanCode, state);
  return 2;
}

// ---------------------------------------------------------------------------------
// The input thread

static void read_console_keys(void) {
  INPUT_RECORD records[32];
  DWORD got = 0;
  while (ReadConsoleInputA(in_handle, records, 32, &got)) {
    for (DWORD i = 0; i < got; i++) {
      const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
      if (records[i].EventType != KEY_EVENT || !key.bKeyDown) continue;
      uint8_t codes[2];
      size_t length = key_codes(key, codes);
      for (WORD n = 0; n < key.wRepeatCount; n++) queue_keys(codes, length);
    }
  }
}

// Standard input that is not a console (a pipe or a file): its bytes are the keys.
// At its end no more keys come, as for keys never typed.
static void read_stream_keys(void) {
  uint8_t bytes[64];
  DWORD got = 0;
  while (ReadFile(in_handle, bytes, sizeof bytes, &got, nullptr) && got > 0) {
    queue_keys(bytes, got);
  }
}

static DWORD WINAPI input_thread(LPVOID unused) {
  (void)unused;
  if (in_is_console) {
    read_console_keys();
  } else {
    read_stream_keys();
  }
  return 0;
}

// ---------------------------------------------------------------------------------
// Opening, modes and restoring

void console_restore(void) {
  if (restore_due.exchange(0) == 0) return;
  if (in_is_console) SetConsoleMode(in_handle, saved_in_mode);
  if (out_is_console) SetConsoleMode(out_handle, saved_out_mode);
}

static void open_output(void) {
  out_handle = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (out_handle == INVALID_HANDLE_VALUE) {
    out_handle = GetStdHandle(STD_OUTPUT_HANDLE);  // no console: standard output it is
  }
  out_is_console = GetConsoleMode(out_handle, &saved_out_mode) != 0;
}

void console_open(void) {
  InitializeCriticalSection(&key_lock);
  key_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  room_ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  in_handle = GetStdHandle(STD_INPUT_HANDLE);
  in_is_console = GetConsoleMode(in_handle, &saved_in_mode) != 0;
  open_output();
  restore_due.store(1);
  atexit(console_restore);
  if (in_is_console) {
    // No echo, no line editing, no mouse or window events; Ctrl-C stays a control event.
    SetConsoleMode(in_handle, ENABLE_PROCESSED_INPUT | (saved_in_mode & ENABLE_EXTENDED_FLAGS));
  }
  if (in_handle != nullptr && in_handle != INVALID_HANDLE_VALUE) {
    HANDLE thread = CreateThread(nullptr, 16384, input_thread, nullptr,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) CloseHandle(thread);
  }
}

void console_raw_output(void) {
  // The target's bytes reach the screen as they are: escape sequences are the
  // terminal's, and a line feed does not return the carriage by itself. Older
  // consoles refuse these modes and keep their own.
  if (out_is_console) {
    SetConsoleMode(out_handle, saved_out_mode | ENABLE_PROCESSED_OUTPUT |
                                   ENABLE_VIRTUAL_TERMINAL_PROCESSING | DISABLE_NEWLINE_AUTO_RETURN);
  }
}

static void restore_and_end(int signal_number) {
  console_restore();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void console_exit_on_signal(int signal_number) { signal(signal_number, restore_and_end); }

// ---------------------------------------------------------------------------------
// Keys, screen and wake-up

int console_key_waiting(void) { return key_ready != nullptr && keys_held(); }

int console_read_key(void) {
  int key;
  while ((key = take_key()) < 0) {
    WaitForSingleObject(key_ready, INFINITE);
  }
  return key;
}

void console_put(uint8_t byte) {
  if (out_length == sizeof out_buffer) console_flush();
  out_buffer[out_length++] = byte;
}

void console_flush(void) {
  DWORD done = 0;
  const uint8_t *bytes = out_buffer;
  while (out_length > 0) {
    if (!WriteFile(out_handle, bytes, out_length, &done, nullptr) || done == 0) {
      break;  // the screen is gone: what cannot be shown is dropped
    }
    bytes += done;
    out_length -= done;
  }
  out_length = 0;
}

void console_wake_init(void) {
  if (wake_event.load(std::memory_order_acquire) == nullptr) {
    wake_event.store(CreateEventA(nullptr, FALSE, FALSE, nullptr), std::memory_order_release);
  }
}

void console_wake(void) {
  HANDLE event = wake_event.load(std::memory_order_acquire);
  if (event != nullptr) SetEvent(event);
}

void console_wait(int also_keys) {
  console_flush();
  fflush(stdout);
  if (also_keys && console_key_waiting()) return;
  HANDLE waits[2] = {wake_event.load(std::memory_order_acquire), key_ready};
  DWORD count = (also_keys && key_ready != nullptr) ? 2 : 1;
  if (waits[0] == nullptr) {
    // No wake-up event (it could not be made): a 1 ms nap stands in for it.
    if (count == 2) WaitForSingleObject(key_ready, 1); else Sleep(1);
    return;
  }
  WaitForMultipleObjects(count, waits, FALSE, INFINITE);
}

// The run-time library's text mode ends each line of standard output with CR LF
// itself, whatever the console's modes, so the program's own lines pass as they are.
int console_raw_screen(FILE *stream) {
  (void)stream;
  return 0;
}

int console_mid_line(void) {
  return 0;
}

void console_line_started(void) {
}
