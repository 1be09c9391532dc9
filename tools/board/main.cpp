// The simulated board's program: reads its options, opens a pseudo-terminal pair,
// starts the host on the slave end and runs the ROM monitor on the master end until
// the host ends, then ends with the host's status.
#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "board.h"
#include "memory.h"
#include "srec.h"

BoardOptions board_options;

namespace {

// Written by the main thread before the other threads start; read by the signal
// handler and the monitor thread.
volatile pid_t host_pid = -1;
// Set by the monitor thread when it ended the host itself; read by the main thread
// after joining it.
bool ended_by_board;

const char USAGE[] =
    "usage: tavo-board [options] [-- host arguments | -- /path/to/program arguments]\n"
    "Runs a simulated board with a ROM monitor on a pseudo-terminal and starts tavo\n"
    "(the one beside this program) with TAVO_COM1..TAVO_COM4 naming that terminal.\n"
    "  --port N           give the host COMN (default: the host's own default, COM2)\n"
    "  --host PROGRAM     start PROGRAM instead of tavo\n"
    "  -c COMMAND         run a monitor command once the host is ready (repeatable)\n"
    "  --script FILE      run the monitor commands in FILE, one a line\n"
    "  --exit-when-done   after the commands, end the host with SIGINT and exit:\n"
    "                     0 when every command succeeded, 1 otherwise\n"
    "  --memory-dump FILE write memory (lowest to highest written byte, gaps as 0) at exit\n"
    "  --preload FILE     put an S-record file into memory before the host starts\n"
    "  --log FILE         copy the monitor's messages and each command's result to FILE\n"
    "  --quiet-ms N       silence that ends a binary download (default 300)\n"
    "  --reply-ms N       longest wait for an answer the host owes (default 10000)\n"
    "  --settle-ms N      quiet after the host opens the line before the greeting (300)\n"
    "  --retries N        NAKs for one bad record before it is skipped (default 3)\n"
    "  --quiet            no note on standard error when the board ends\n";

bool read_int(const char *text, int least, int most, int *value) {
  char *end;
  long v = text ? strtol(text, &end, 10) : 0;
  if (!text || !*text || *end || v < least || v > most) return false;
  *value = (int)v;
  return true;
}

bool read_script(const char *path) {
  FILE *file = fopen(path, "r");
  if (!file) return false;
  char text[400];
  while (fgets(text, sizeof text, file)) {
    text[strcspn(text, "\r\n")] = 0;
    if (text[0] && text[0] != '#') board_options.script.push_back(text);
  }
  fclose(file);
  return true;
}

// After "--": host arguments, unless the first word names an executable file
// (tavo's arguments such as /B never do).
void take_host_words(int argc, char **argv, int i) {
  struct stat info;
  if (i < argc && strchr(argv[i], '/') && stat(argv[i], &info) == 0 && S_ISREG(info.st_mode) &&
      access(argv[i], X_OK) == 0)
    board_options.host_program = argv[i++];
  for (; i < argc; i++) board_options.host_args.push_back(argv[i]);
}

bool parse_options(int argc, char **argv) {
  BoardOptions &o = board_options;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i], *v = i + 1 < argc ? argv[i + 1] : nullptr;
    bool used = true;  // whether the option took the next word
    if (!strcmp(a, "--")) { take_host_words(argc, argv, i + 1); return true; }
    else if (!strcmp(a, "--port")) { if (!read_int(v, 1, 4, &o.port)) return false; }
    else if (!strcmp(a, "--host") && v) o.host_program = v;
    else if (!strcmp(a, "-c") && v) o.script.push_back(v);
    else if (!strcmp(a, "--script") && v) { if (!read_script(v)) return perror(v), false; }
    else if (!strcmp(a, "--memory-dump") && v) o.memory_dump = v;
    else if (!strcmp(a, "--preload") && v) o.preload = v;
    else if (!strcmp(a, "--log") && v) o.log_path = v;
    else if (!strcmp(a, "--quiet-ms")) { if (!read_int(v, 1, 600000, &o.quiet_ms)) return false; }
    else if (!strcmp(a, "--reply-ms")) { if (!read_int(v, 1, 3600000, &o.reply_ms)) return false; }
    else if (!strcmp(a, "--settle-ms")) { if (!read_int(v, 0, 600000, &o.settle_ms)) return false; }
    else if (!strcmp(a, "--retries")) { if (!read_int(v, 0, 1000, &o.retries)) return false; }
    else if (!strcmp(a, "--exit-when-done")) { o.exit_when_done = true; used = false; }
    else if (!strcmp(a, "--quiet")) { o.quiet = true; used = false; }
    else return false;
    if (used) i++;
  }
  return true;
}

// Opens the pair with the slave in raw mode, so nothing is translated before the
// host sets the line up itself. The board keeps the slave open too: the master then
// never sees a hang-up while the host opens and closes the line.
bool open_line(int *master, int *slave, char *slave_path) {
  struct termios raw;
  memset(&raw, 0, sizeof raw);
  cfmakeraw(&raw);
  cfsetspeed(&raw, B9600);
  raw.c_cflag |= CLOCAL | CREAD;
  if (openpty(master, slave, slave_path, &raw, nullptr) < 0) return false;
  fcntl(*master, F_SETFD, FD_CLOEXEC);
  fcntl(*slave, F_SETFD, FD_CLOEXEC);
  fcntl(*master, F_SETFL, fcntl(*master, F_GETFL) | O_NONBLOCK);
  return true;
}

void forward_signal(int signal_number) {
  if (host_pid > 0) kill(host_pid, signal_number);
}

// The board ignores Ctrl-C and Ctrl-\ (they are the host's, whose terminal it
// is) and passes a termination on to the host, then ends with it.
void set_signals(void) {
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
  struct sigaction forward;
  memset(&forward, 0, sizeof forward);
  forward.sa_handler = forward_signal;
  sigaction(SIGTERM, &forward, nullptr);
  sigaction(SIGHUP, &forward, nullptr);
}

// The monitor thread: waits for the host, runs the monitor and, when asked, ends
// the host after the script.
void run_monitor(int watch_fd, int stop_fd, bool *script_ok) {
  *script_ok = false;
  if (!host_wait_ready(watch_fd, stop_fd)) return;
  *script_ok = monitor_run();
  if (board_options.exit_when_done && !board_options.script.empty() && !line_stopped()) {
    ended_by_board = true;
    kill(host_pid, SIGINT);
    while (line_get(-1) != LINE_STOPPED) {
    }
  }
}

int wait_host(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void note_end(int status) {
  uint32_t address;
  if (board_options.quiet) return;
  if (transfer_started(&address))
    fprintf(stderr, "tavo-board: the program at %08X took over; tavo ended with status %d\n",
            address, status);
  else if (status > 128)
    fprintf(stderr, "tavo-board: the host ended by signal %d\n", status - 128);
}

int board_status(int host_status, bool script_ok) {
  if (board_options.script.empty()) return host_status;
  bool host_ok = host_status == 0 || (ended_by_board && host_status != 127);
  return script_ok && host_ok ? 0 : 1;
}

}  // namespace

// Reads an S-record file into memory on the board's side.
bool preload_file(const char *path) {
  FILE *file = fopen(path, "r");
  if (!file) return false;
  char text[1024];
  bool ok = true;
  while (ok && fgets(text, sizeof text, file)) {
    SrecRecord record;
    SrecStatus status = srec_parse_text(text, strlen(text), &record);
    if (status == SREC_NOT_A_RECORD) continue;
    ok = status == SREC_OK;
    for (int i = 0; ok && srec_is_data(record.type) && i < record.data_length; i++)
      ok = memory_write(record.address + (uint32_t)i, record.data[i]);
  }
  fclose(file);
  return ok;
}

int main(int argc, char **argv) {
  if (!parse_options(argc, argv)) {
    fputs(USAGE, stderr);
    return 2;
  }
  if (board_options.preload && !preload_file(board_options.preload)) {
    fprintf(stderr, "tavo-board: cannot preload %s (missing, bad record or too big)\n",
            board_options.preload);
    return 2;
  }
  FILE *log = board_options.log_path ? fopen(board_options.log_path, "w") : nullptr;
  if (board_options.log_path && !log) return perror(board_options.log_path), 2;
  int master, slave, stop[2];
  char slave_path[256];
  if (!open_line(&master, &slave, slave_path) || pipe2(stop, O_CLOEXEC) < 0) {
    perror("tavo-board: pseudo-terminal");
    return 2;
  }
  line_attach(master, stop[0], log);
  int watch_fd = host_watch_begin(slave_path);
  set_signals();
  host_pid = host_start(slave_path);
  if (host_pid < 0) return perror("tavo-board: fork"), 2;

  bool script_ok = false;
  std::thread monitor(run_monitor, watch_fd, stop[0], &script_ok);
  int status = wait_host(host_pid);
  if (write(stop[1], "x", 1) < 0) perror("tavo-board: stop");
  monitor.join();

  if (board_options.memory_dump && !memory_dump_file(board_options.memory_dump))
    fprintf(stderr, "tavo-board: cannot write %s\n", board_options.memory_dump);
  note_end(status);
  if (log) {
    fprintf(log, "host status: %d\n", status);
    fclose(log);
  }
  return board_status(status, script_ok);
}
