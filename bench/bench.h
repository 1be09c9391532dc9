// The benchmark driver's shared pieces: pseudo-terminal pairs, the programs it starts
// on them (tavo, picocom, cat and the bench's own helpers), the clock, the byte
// patterns every row checks, and the rows of the table.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

// ---- Run settings -----------------------------------------------------------------

struct BenchConfig {
  bool short_mode;          // a second or two a row, small sizes (CI)
  std::string bin_dir;      // where tavo, bench-sio and bench-floor are
  std::string work_dir;     // a scratch directory for files and working directories
  bool have_picocom;
  bool have_network;        // ser2net and socat, for row 9
};
extern BenchConfig config;

// ---- The table --------------------------------------------------------------------

// One line of the table: a figure of the measured program beside one baseline.
struct TableLine {
  std::string row;          // "1", "2a", ...
  std::string measure;
  std::string unit;
  std::string program;      // the measured program
  double value;             // < 0: not measured
  long rss_kib;             // peak resident memory of the measured process (-1 unknown)
  std::string baseline;     // the baseline's name
  double base_value;
  long base_rss_kib;
};
void table_add(const TableLine &line);
void table_print(FILE *out);
// A row that could not run says why, in the table and in the exit status.
void table_fail(const std::string &row, const std::string &why);
int table_failures(void);

// ---- Clock and helpers ------------------------------------------------------------

int64_t now_ns(void);
bool write_all(int fd, const void *bytes, size_t length);
// Appends what arrives on fd within timeout_ms to *into; false when nothing came.
bool read_some(int fd, std::string *into, int timeout_ms);
// Reads until `text` is in *buffer (from `from`); false on a time-out.
bool read_until(int fd, std::string *buffer, const std::string &text, int timeout_ms);
// The median and 99th percentile of samples (sorted in place), in the samples' unit.
double percentile(std::vector<double> *samples, double fraction);

// ---- Pseudo-terminals ------------------------------------------------------------

struct Pty {
  int master;
  int slave;  // kept open by the bench for the life of the pair
  char path[128];
};
bool pty_open(Pty *pty, bool raw);
void pty_close(Pty *pty);
bool pty_is_raw(int fd);

// ---- Programs ---------------------------------------------------------------------

struct Spawn {
  std::vector<std::string> argv;
  std::string cwd;              // empty: the bench's own
  int stdin_fd = -1;            // -1: /dev/null
  int stdout_fd = -1;
  int stderr_fd = -1;
  int controlling_tty = -1;     // this terminal becomes the controlling terminal
  std::string line_path;        // TAVO_COM1 names this; every other TAVO_COMn a path
                                // that does not exist
};

struct Child {
  pid_t pid = -1;
  bool ended = false;
  int status = 0;
  long maxrss_kib = -1;  // peak resident memory (VmHWM), read before the end
  double cpu_s = 0;
};

bool child_start(Child *child, const Spawn &spawn);
// Waits up to timeout_ms for the end, then kills it; fills status and peak memory.
bool child_wait(Child *child, int timeout_ms);
void child_kill(Child *child);
// Collects the end of a process that has ended; false while it runs.
bool child_try_reap(Child *child);
// The peak resident memory of a running process (VmHWM), in KiB; -1 when unknown.
long child_peak_kib(pid_t pid);
// The programs the bench starts report their own peak in their last line:
// "peak <KiB>". The figure from a text, -1 when it has none.
long peak_from_report(const std::string &report);
// Processor time all threads of a running process have used, in nanoseconds.
int64_t child_cpu_ns(pid_t pid);

// ---- The programs under test on a console and a line --------------------------------

// The _NET ones reach the line through ser2net's RFC 2217 port on it: tavo with
// TAVO_COM1 naming the port, socat copying the port to the console (the floor).
enum Program { PROGRAM_TAVO, PROGRAM_PICOCOM, PROGRAM_CAT, PROGRAM_TAVO_NET, PROGRAM_SOCAT_NET };
const char *program_name(Program program);

// A terminal program on a console pty with its line on a second pty. The board plays
// line.master, the user console.master.
struct Session {
  Program program;
  Pty console;
  Pty line;
  Child child;
  std::string screen;  // console output read so far
  std::string cwd;
  Child server;        // ser2net, for the _NET programs
  std::string server_dir;
  std::string server_url;  // rfc2217://127.0.0.1:<port>
};

// ser2net on the session's line, on 127.0.0.1 and a free port, in the foreground
// (network.cpp); stopped by session_end.
bool network_server_start(Session *s);
void network_server_stop(Session *s);

// Starts tavo (extra arguments after "COM1: 115200"), picocom, or cat. A cat copies in
// one direction: line to console (cat_keys false) or console to line.
bool session_start(Session *s, Program program, const std::vector<std::string> &tavo_args,
                   bool cat_keys, const std::string &cwd);
// Ends the program its own way (Ctrl-C, C-a C-x, a signal) and collects its figures.
bool session_end(Session *s);
// Board to screen: sends numbered tokens until one shows on the console, so that
// everything before has arrived and the path is live.
bool session_sync_screen(Session *s);
// Keys to board: the same the other way.
bool session_sync_keys(Session *s);

// ---- Patterns -----------------------------------------------------------------------

// 80-column text: 78 printable characters and CR LF a line, repeating every
// pattern_period bytes. pattern_bytes holds more than two periods for slicing.
extern const size_t pattern_period;
const uint8_t *pattern_bytes(void);
size_t pattern_span(void);

// ---- Rows -------------------------------------------------------------------------

void row_flood(void);
void row_latency(void);
void row_text_download(void);
void row_binary_download(void);
void row_save(void);
void row_idle(void);
void row_library_throughput(void);
void row_network(void);
