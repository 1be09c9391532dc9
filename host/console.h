// The console the terminal runs on: keys from the user, the target's output to the
// screen, and the wake-up that lets the main thread block until either has work.
// One implementation per platform (console_posix.cpp on POSIX systems).
#pragma once

#include <stdint.h>
#include <stdio.h>

// Takes the console: the controlling terminal, or standard input and output when
// there is none. A terminal's input is put in raw mode (no echo, no line editing):
// Ctrl-C still raises SIGINT, and every other key, Ctrl-Z and Ctrl-\ too, arrives as a
// byte. Output processing stays on, so that the program's own messages still end
// their lines properly until console_raw_output. Its settings are given back on every
// way out: normal exit, exit from any thread, and a fatal signal (restored, then the
// signal raised again). Main thread, once, before the port is opened: keys typed from
// then on are neither echoed nor held back until a line ends.
void console_open(void);

// Turns the terminal's output processing off, so that the target's bytes reach the
// screen as they are. Main thread, once, as the terminal loop starts.
void console_raw_output(void);

// 1 when `stream` writes to the console's terminal while its output processing is off
// (after console_raw_output): a line of the program's own must then bring its own CR.
// Any thread.
int console_raw_screen(FILE *stream);

// Whether the target's output last shown left the cursor in mid-line (set as the
// screen is written); console_line_started records that a line of the program's own
// ended it. Any thread.
int console_mid_line(void);
void console_line_started(void);

// Gives the terminal its settings back now (safe in a signal handler; idempotent).
void console_restore(void);

// From now on `signal_number` restores the console and then ends the process the way
// the signal's default action does.
void console_exit_on_signal(int signal_number);

// 1 when a key is waiting; never blocks. Main thread.
int console_key_waiting(void);

// The next key's byte, waiting for one if needed. The Backspace key (DEL, 0x7F)
// gives BS (0x08); keys with escape sequences give their bytes one per call. Main
// thread.
int console_read_key(void);

// Queues one byte for the screen; console_flush writes everything queued in one go.
// Main thread.
void console_put(uint8_t byte);
void console_flush(void);

// Blocks until console_wake has been called since the last wait, or (with
// also_keys) a key is waiting. Flushes the console and standard output first. Main
// thread.
void console_wait(int also_keys);

// Makes the wake-up ready; console_wake does nothing before. Main thread.
void console_wake_init(void);

// Ends the main thread's console_wait, or the next one. Never blocks; any thread.
void console_wake(void);
