// End-to-end harness: tavo in a fresh directory, a pseudo-terminal console, standard
// output on a pipe, TAVO_COM<n> naming a pseudo-terminal the test plays as the board.
// Every wait has a bound that only a hang reaches.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct TavoRun {
  std::vector<std::string> args = {"COM1:", "115200"};
  int com = 1;                // TAVO_COM<com> names the board; the other 35 name nothing
  std::string argv0 = "tavo";
  bool own_terminal = true;   // false: no controlling terminal; the console is stdin and
                              // stdout, so standard output shows on the screen
  bool line_locked = false;   // another program holds the board's device (exclusive lock)
};

struct Tavo {
  pid_t pid = -1;
  int pidfd = -1, status = -1;  // status: from waitpid once it has ended
  int console = -1, console_device = -1, line = -1, line_device = -1, out_fd = -1;
  std::string console_before, line_before;  // settings() of both before the start
  std::string out, screen;    // standard output and screen so far
  std::string line_in;        // bytes from tavo on the line not yet taken by the test
  std::string dir;
};

bool tavo_start(Tavo *t, const TavoRun &run = TavoRun());
bool tavo_up(Tavo *t, const TavoRun &run = TavoRun());  // and waits for the terminal loop
int tavo_wait_exit(Tavo *t);  // the exit status; -1 when it did not exit normally
void tavo_stop(Tavo *t);      // kills it if still running, removes the directory

void board_send(Tavo *t, const std::string &bytes);
std::string board_read(Tavo *t, size_t n);  // exactly n bytes (fewer only at the bound)
bool board_quiet(Tavo *t, int ms);          // true when nothing arrives within ms
void board_request(Tavo *t, const std::string &request);  // ENQ, '*', the request
// Proves the line idle and tavo back in its terminal loop: an ENQ must get '*' as the
// very next byte (then "X" makes that request do nothing).
void board_check_idle(Tavo *t);
void type_keys(Tavo *t, const std::string &keys);
bool wait_screen(Tavo *t, const std::string &text, size_t from = 0);
// Standard output after `from`, once it holds at least `size` bytes: tavo flushes it
// when it waits for a byte, which may be after its next reply on the line.
std::string out_after(Tavo *t, size_t from, size_t size);

std::string settings(int fd);  // a terminal's settings, every field in hex, to compare
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
std::string bytes(std::initializer_list<int> values);  // table rows with NULs
std::string hex(const std::string &bytes);             // "52 31 07" for diagnostics
