// End-to-end harness: runs the tavo program on a pseudo-terminal as its console (its
// controlling terminal), with its COM port on a second pseudo-terminal pair whose other
// end the test plays as the board. The test types keys and reads the screen, sends and
// receives the board's bytes, waits for the exit status and reads back both
// terminals' settings.
//
// Every wait has a bound that only a hang reaches; a child still running when the
// test process ends is killed.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

// A generous bound for anything the program does in response to the test.
#define E2E_TIMEOUT_MS 10000

// The board's end of the line. The test keeps the device side open too, so the line
// outlives tavo's close and its settings can be read at any time.
struct E2eBoard {
  int master;             // the board reads and writes here
  int device;             // the device tavo opens (its path is given as TAVO_COM<n>)
  char path[128];
  std::string received;   // everything read from tavo so far
  size_t mark;            // e2e_board_expect searches from here
};

// Opens a pair; the device starts raw at 2400 baud with a few settings of its own
// (tavo must put them back at close).
bool e2e_board_open(E2eBoard *board);
void e2e_board_close(E2eBoard *board);
bool e2e_board_send(E2eBoard *board, const std::string &bytes);
// Waits until `bytes` has arrived at or after the mark; the mark then moves past it.
bool e2e_board_expect(E2eBoard *board, const std::string &bytes, int timeout_ms = E2E_TIMEOUT_MS);
// Waits until at least `count` bytes have arrived after the mark and gives them (the
// mark moves past them).
std::string e2e_board_take(E2eBoard *board, size_t count, int timeout_ms = E2E_TIMEOUT_MS);
// Reads whatever arrives within `quiet_ms` (for checking that nothing more came).
std::string e2e_board_drain(E2eBoard *board, int quiet_ms);
struct termios e2e_board_settings(const E2eBoard *board);

struct E2eOptions {
  std::vector<std::string> args;       // after the program name
  const E2eBoard *board = nullptr;     // the board, or none
  int com = 1;                         // TAVO_COM<com> names the board's device; the other
                                       // TAVO_COM1..36 name paths that do not exist
  std::string program;                 // default TAVO_EXE
  std::string argv0;                   // the program name as invoked; default the path
  std::string stdout_path;             // standard output to this file instead of the console
  bool controlling_terminal = true;    // false: the console pty is stdin/stdout but not the
                                       // controlling terminal, so /dev/tty cannot be opened
};

struct E2eTavo {
  pid_t pid;
  int console;             // the console's master: the test's keyboard and screen
  int console_device;      // the console's terminal itself, kept for its settings
  struct termios console_before;  // the console's settings before the start
  std::string screen;      // everything read from the console so far
  size_t mark;             // e2e_expect searches from here
  bool exited;
  int status;              // waitpid status once exited
};

bool e2e_start(E2eTavo *tavo, const E2eOptions &options);
// Waits until `text` shows on the console at or after the mark; the mark then moves
// past it.
bool e2e_expect(E2eTavo *tavo, const std::string &text, int timeout_ms = E2E_TIMEOUT_MS);
// Reads whatever shows within `quiet_ms` and gives all of the screen after the mark.
std::string e2e_screen_after_mark(E2eTavo *tavo, int quiet_ms);
bool e2e_type(E2eTavo *tavo, const std::string &keys);
bool e2e_ctrl_c(E2eTavo *tavo);           // typed on the console: the terminal raises SIGINT
bool e2e_signal(E2eTavo *tavo, int signal_number);
// Waits for the end of the process; true once it has ended (status in tavo->status).
bool e2e_wait_exit(E2eTavo *tavo, int timeout_ms = E2E_TIMEOUT_MS);
// The exit status, or -1 when the process did not exit normally (or has not ended).
int e2e_exit_status(const E2eTavo *tavo);
// Runs to the end without a board or keys: for command lines that end at once.
bool e2e_run(E2eTavo *tavo, const E2eOptions &options);
// Waits until the terminal loop runs: the console raw both ways (no canonical input,
// no echo, no output processing), which tavo sets once its banner is out.
bool e2e_wait_console_raw(E2eTavo *tavo, int timeout_ms = E2E_TIMEOUT_MS);
struct termios e2e_console_settings(const E2eTavo *tavo);
void e2e_stop(E2eTavo *tavo);            // kills it if still running, closes the console

// The fields tavo must give back, equal in both; a description of the first
// difference otherwise (empty when equal).
std::string e2e_settings_difference(const struct termios &before, const struct termios &after);

// Processor time (user + system) the process has used so far, in clock ticks; -1 when
// it cannot be read.
long e2e_cpu_ticks(pid_t pid);

// The contents of a file ("" when it cannot be read).
std::string e2e_read_file(const std::string &path);
