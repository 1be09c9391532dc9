// End-to-end harness: tavo (or the simulated board) in a fresh directory on a
// pseudo-terminal console, standard output on a pipe, TAVO_COM1..4 naming a second
// pseudo-terminal the test plays as the board. Every wait has a bound only a hang reaches.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct TavoRun {
  std::vector<std::string> args = {"COM1:", "115200"};
  std::string program = TAVO_EXE, argv0 = "tavo";
  bool own_terminal = true;  // false: no controlling terminal, the console is stdout too
  bool line_locked = false;  // another program holds the board's device (exclusive lock)
  long file_limit = 0;       // RLIMIT_FSIZE, when not 0
  std::vector<std::pair<std::string, std::string>> files;  // name, bytes: put there first
  std::vector<std::pair<std::string, std::string>> env = {};  // for tavo alone, after TAVO_COMn
  bool line_argument = false;  // the board's device given as the last argument, COM1..4 nowhere
  bool line_denied = false;    // tavo may not open the board's device (run as nobody when root)
  bool out_on_console = false; // standard output on the console, its own terminal too
  bool line_link = false;    // TAVO_COM1..4 name a symbolic link to the line (Tavo::link)
  // When set, what TAVO_COM1..4 name, given the board's pseudo-terminal (a network port
  // whose server serves that device, say); empty refuses the start.
  std::function<std::string(const std::string &line_path)> line_name = {};
};
// A run of tavo with these arguments and variables, the rest as by default.
inline TavoRun tavo_args(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env = {}) {
  TavoRun run;
  run.args = std::move(args), run.env = std::move(env);
  return run;
}
inline const TavoRun binary_run = tavo_args({"COM1:", "115200", "/B"});

struct Tavo {
  pid_t pid = -1;
  int pidfd = -1, status = -1;  // status: from waitpid once it has ended
  int console = -1, console_device = -1, line = -1, line_device = -1, out_fd = -1;
  std::string console_before, line_before;  // settings() of both before the start
  std::string line_path;                    // the board's device, as tavo opens it
  std::string out, screen, line_in, dir;  // stdout, screen, line bytes not yet taken
  std::string link;  // with line_link: the symbolic link that leads to the line
};

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const int kSlowdown = 5;  // sanitizer runtimes keep threads of their own and slow every step
#else
const int kSlowdown = 1;
#endif
long long now_ms();

// Starts it and, with wait_up, waits until its terminal loop runs.
bool tavo_start(Tavo *t, const TavoRun &run = TavoRun(), bool wait_up = true);
int tavo_wait_exit(Tavo *t);  // the exit status; -1 when it did not exit normally
void tavo_stop(Tavo *t);      // kills it if still running, removes the directory

void board_send(Tavo *t, const std::string &bytes);
std::string board_read(Tavo *t, size_t n);  // exactly n bytes (fewer only at the bound)
bool board_quiet(Tavo *t, int ms);          // true when nothing arrives within ms
// ENQ, '*', the request; gives the size of standard output before it.
size_t board_request(Tavo *t, const std::string &request);
void board_check_idle(Tavo *t);  // the line idle: an ENQ gets '*' at once (then "X")
std::string board_read_record(Tavo *t);  // 'R', type, count and count bytes
void type_keys(Tavo *t, const std::string &keys);
// Standard output or the screen after `from`, once it holds `text` (or at the bound).
std::string wait_for(Tavo *t, std::string Tavo::*where, size_t from, const std::string &text);

// The board's device goes and comes back: line_hang_up closes the line's pair and
// removes the link, as udev does on an unplug; line_replace puts a new pair, with the
// line's settings at creation, under the link (made beside it and renamed over it).
void line_hang_up(Tavo *t);
bool line_replace(Tavo *t);
double tavo_cpu_ms(Tavo *t);  // its processor time so far (all its threads), in milliseconds
long tavo_status(Tavo *t, const char *field);  // a number of /proc/<pid>/status: VmRSS, Threads
long tavo_descriptors(Tavo *t);

std::string settings(int fd);  // a terminal's settings, in hex, to compare
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
std::string hex(const std::string &bytes);  // "52 31 07" for diagnostics
