// Rows 7 and 8: what an idle tavo and an idle open Sio port cost in processor time,
// beside picocom and a cat blocked on the same line; and bytes through SioPutByte,
// the pty and SioGetByte, beside plain block writes and reads on the same pair.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "bench.h"

static const int ready_timeout_ms = 20000;

static void sleep_s(double seconds) {
  struct timespec t = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
  while (nanosleep(&t, &t) != 0) {
  }
}

static double idle_seconds(void) {
  return config.short_mode ? 1.0 : 10.0;
}

// Processor ms the process uses while nothing happens, per 10 s.
static double idle_cost(pid_t pid) {
  sleep_s(0.2);  // let start-up work finish
  int64_t before = child_cpu_ns(pid);
  sleep_s(idle_seconds());
  int64_t after = child_cpu_ns(pid);
  if (before < 0 || after < 0) return -1;
  return (double)(after - before) / 1e6 * (10.0 / idle_seconds());
}

struct Idle {
  double ms = -1;
  long rss_kib = -1;
};

static Idle idle_terminal(Program program) {
  Idle out;
  Session s;
  if (!session_start(&s, program, {}, false, "") || !session_sync_screen(&s) ||
      !session_sync_keys(&s)) {
    table_fail("7", std::string(program_name(program)) + ": did not start or pass bytes");
    session_end(&s);
    return out;
  }
  double ms = idle_cost(s.child.pid);
  if (!session_end(&s)) table_fail("7", std::string(program_name(program)) + ": did not end");
  out.ms = ms;
  out.rss_kib = s.child.maxrss_kib;
  return out;
}

// A program on the line alone: bench-sio idle, or cat blocked reading it.
static Idle idle_on_line(bool library) {
  Idle out;
  Pty line;
  if (!pty_open(&line, true)) return out;
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return out;
  Spawn spawn;
  spawn.argv = library ? std::vector<std::string>{config.bin_dir + "/bench-sio", "idle"}
                       : std::vector<std::string>{"/bin/cat"};
  spawn.line_path = line.path;
  spawn.stdin_fd = library ? -1 : line.slave;
  spawn.stdout_fd = out_pipe[1];
  spawn.stderr_fd = 2;
  Child child;
  std::string said;
  bool ready = child_start(&child, spawn);
  close(out_pipe[1]);
  if (ready && library) ready = read_until(out_pipe[0], &said, "ready\n", ready_timeout_ms);
  double ms = ready ? idle_cost(child.pid) : -1;
  long peak = child.pid > 0 ? child_peak_kib(child.pid) : -1;
  if (child.pid > 0) kill(child.pid, SIGTERM);
  bool ended = child_wait(&child, ready_timeout_ms);
  close(out_pipe[0]);
  pty_close(&line);
  const char *name = library ? "bench-sio idle" : "cat";
  if (!ready) {
    table_fail("7", std::string(name) + ": did not start");
    return out;
  }
  if (!ended) table_fail("7", std::string(name) + ": did not end on SIGTERM");
  if (ended && library && (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0)) {
    table_fail("7", std::string(name) + ": did not close its port cleanly");
  }
  out.ms = ms;
  out.rss_kib = peak;
  return out;
}

void row_idle(void) {
  Idle tavo = idle_terminal(PROGRAM_TAVO);
  Idle picocom = config.have_picocom ? idle_terminal(PROGRAM_PICOCOM) : Idle();
  Idle port = idle_on_line(true);
  Idle cat = idle_on_line(false);
  const char *unit = "CPU ms/10 s";
  table_add({"7", "idle terminal", unit, "tavo", tavo.ms, tavo.rss_kib, "picocom", picocom.ms,
             picocom.rss_kib});
  table_add({"7", "idle open port (library)", unit, "bench-sio", port.ms, port.rss_kib,
             "cat on the line", cat.ms, cat.rss_kib});
}

// ---- Row 8 ------------------------------------------------------------------------------

// The board echoes every byte at once, in blocks.
static void echo_board(int fd, std::atomic<bool> *stop) {
  uint8_t buffer[65536];
  while (!stop->load()) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0 && !write_all(fd, buffer, (size_t)n)) return;
    if (n == 0) return;
  }
}

struct Through {
  double mbps = -1;
  long rss_kib = -1;
};

// Runs bench-sio put N (blocks N with `blocks`) or bench-floor blocks N on a fresh
// pair; its own timing.
static Through through(bool library, bool blocks, uint64_t total) {
  Through out;
  const char *name = library ? "bench-sio" : "floor";
  Pty line;
  int out_pipe[2];
  if (!pty_open(&line, true) || pipe2(out_pipe, O_CLOEXEC) != 0) return out;
  fcntl(line.master, F_SETFL, fcntl(line.master, F_GETFL) | O_NONBLOCK);
  std::atomic<bool> stop{false};
  std::thread board(echo_board, line.master, &stop);
  Spawn spawn;
  if (library) {
    spawn.argv = {config.bin_dir + "/bench-sio", blocks ? "blocks" : "put", std::to_string(total)};
  } else {
    spawn.argv = {config.bin_dir + "/bench-floor", "blocks", line.path, std::to_string(total)};
  }
  spawn.line_path = line.path;
  spawn.stdout_fd = out_pipe[1];
  spawn.stderr_fd = 2;
  Child child;
  bool started = child_start(&child, spawn);
  close(out_pipe[1]);
  std::string said;
  while (started && read_some(out_pipe[0], &said, 120000)) {
  }
  bool ended = started && child_wait(&child, 120000);
  stop.store(true);
  board.join();
  close(out_pipe[0]);
  pty_close(&line);
  unsigned long long bytes = 0;
  long long ns = 0;
  if (!ended || !WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0 ||
      sscanf(said.c_str(), "%llu %lld", &bytes, &ns) != 2 || bytes != total || ns <= 0) {
    table_fail("8", std::string(name) + ": bytes lost, changed or stalled");
    return out;
  }
  out.mbps = (double)bytes / 1e6 / ((double)ns / 1e9);
  out.rss_kib = peak_from_report(said);
  return out;
}

void row_library_throughput(void) {
  uint64_t total = config.short_mode ? (uint64_t)1 << 20 : (uint64_t)16 << 20;
  Through bytes = through(true, false, total);
  Through blocks = through(true, true, total);
  Through plain = through(false, true, total);
  std::string size = std::to_string(total >> 20) + " MiB";
  table_add({"8", "SioPutByte->pty->SioGetByte, " + size, "MB/s", "bench-sio", bytes.mbps,
             bytes.rss_kib, "write/read blocks", plain.mbps, plain.rss_kib});
  table_add({"8", "SioTxRingWrite->pty->SioGetBytes, 4 KiB, " + size, "MB/s", "bench-sio",
             blocks.mbps, blocks.rss_kib, "write/read blocks", plain.mbps, plain.rss_kib});
}
