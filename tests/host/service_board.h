// A scripted board for the end-to-end tests of service requests and transfers: runs
// the tavo program with COM1 on a pseudo-terminal whose master the test plays as the
// board, a console pseudo-terminal as its controlling terminal, and its standard
// output on a pipe, so that every byte both ways and every byte of standard output
// can be checked. Each wait is bounded by a limit that only a hang reaches.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace service_test {

struct Tavo {
  pid_t pid = -1;
  int line_fd = -1;      // the board's end of the line
  int line_slave = -1;   // kept open so that the line never hangs up between opens
  int console_fd = -1;   // master of tavo's controlling terminal
  int stdout_fd = -1;    // read end of tavo's standard output
  std::string out;       // standard output received so far
  std::string console;   // console output received so far
  std::string line_in;   // line bytes received but not yet read by the test
  std::string dir;       // a fresh working directory, removed at the end
};

// Starts tavo ("COM1:", "115200" and, when binary, "/B") in a fresh working directory
// and waits for its "Using COM1 at 115200 baud" line. False (with a gtest failure) when
// it does not come up.
bool start_tavo(Tavo *tavo, bool binary);

// Ends tavo if still running (SIGKILL), closes everything, removes the directory.
void stop_tavo(Tavo *tavo);

// Writes bytes to tavo's line as the board.
void board_send(Tavo *tavo, const std::string &bytes);

// Reads exactly n bytes from the line (fewer only when the limit is hit).
std::string board_read(Tavo *tavo, size_t n);

// True when no byte arrives on the line within ms milliseconds: the host is waiting.
bool board_quiet_for(Tavo *tavo, int ms);

// Reads from the line until the bytes received end with `tail`; gives all of them.
std::string board_read_until(Tavo *tavo, const std::string &tail);

// Waits until standard output holds `needle` (counted from `from`); false on the limit.
bool wait_stdout(Tavo *tavo, const std::string &needle, size_t from = 0);

// Waits for tavo to end; its exit status, or -1 when it did not end normally.
int wait_exit(Tavo *tavo);

// Proves that tavo sent nothing since the last read and is back in its main loop: an
// ENQ and the letter X start a request that does nothing, and the very next byte on
// the line must be its '*'.
void expect_line_quiet(Tavo *tavo);

// Files in the working directory.
std::string path_in(const Tavo *tavo, const std::string &name);
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);

// Bytes written as a string literal would hide NULs; this reads better in tables.
std::string bytes(std::initializer_list<int> values);
std::string hex(const std::string &bytes);  // "52 31 02" for diagnostics

}  // namespace service_test
