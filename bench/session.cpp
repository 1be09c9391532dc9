// A terminal program under test on two pseudo-terminal pairs: tavo, picocom or cat
// between a console (the bench is the user) and a line (the bench is the board);
// started, brought to the point where bytes flow, and ended the program's own way.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <stdio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "bench.h"

static const int start_timeout_ms = 20000;  // a loaded machine can be slow to start tavo
static const int sync_step_ms = 300;
static const int sync_tries = 60;

const char *program_name(Program program) {
  switch (program) {
    case PROGRAM_TAVO: return "tavo";
    case PROGRAM_PICOCOM: return "picocom";
    case PROGRAM_TAVO_NET: return "tavo/ser2net";
    case PROGRAM_SOCAT_NET: return "socat/ser2net";
    default: return "cat";
  }
}

// Terminal settings change without an event to wait on: looks every 2 ms, reading
// what the program writes meanwhile so that it never blocks on a full console.
static bool wait_console_raw(Session *s, bool output_too) {
  int64_t deadline = now_ns() + (int64_t)start_timeout_ms * 1000000;
  for (;;) {
    struct termios t;
    if (tcgetattr(s->console.slave, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == 0 &&
        (!output_too || (t.c_oflag & OPOST) == 0)) {
      return true;
    }
    if (now_ns() > deadline || (s->child.pid > 0 && kill(s->child.pid, 0) != 0)) return false;
    read_some(s->console.master, &s->screen, 2);
  }
}

static bool start_tavo(Session *s, const std::vector<std::string> &args) {
  Spawn spawn;
  spawn.argv = {config.bin_dir + "/tavo", "COM1:", "115200"};
  spawn.argv.insert(spawn.argv.end(), args.begin(), args.end());
  spawn.cwd = s->cwd;
  spawn.stdin_fd = spawn.stdout_fd = spawn.stderr_fd = s->console.slave;
  spawn.controlling_tty = s->console.slave;
  spawn.line_path = s->program == PROGRAM_TAVO_NET ? s->server_url : s->line.path;
  if (!child_start(&s->child, spawn)) return false;
  if (!read_until(s->console.master, &s->screen, "Using COM1 at 115200 baud", start_timeout_ms)) {
    fprintf(stderr, "bench: tavo did not start; its screen: %s\n", s->screen.c_str());
    return false;
  }
  return wait_console_raw(s, true);
}

static bool start_picocom(Session *s) {
  Spawn spawn;
  // --noreset: no hang-up of the line at the end; -q: no banner on the console.
  spawn.argv = {"/usr/bin/picocom", "-b", "115200", "-q", "--noreset", s->line.path};
  spawn.cwd = s->cwd;
  spawn.stdin_fd = spawn.stdout_fd = spawn.stderr_fd = s->console.slave;
  spawn.controlling_tty = s->console.slave;
  if (!child_start(&s->child, spawn)) return false;
  return wait_console_raw(s, false);
}

// socat between the console and ser2net's port: the wire's bytes as they come.
static bool start_socat(Session *s) {
  Spawn spawn;
  std::string address = "TCP:" + s->server_url.substr(s->server_url.find("//") + 2) + ",nodelay";
  spawn.argv = {"/usr/bin/socat", "-b", "65536", "STDIO", address};
  spawn.stdin_fd = spawn.stdout_fd = s->console.slave;
  return child_start(&s->child, spawn);
}

static bool start_cat(Session *s, bool keys) {
  Spawn spawn;
  spawn.argv = {"/bin/cat"};
  spawn.stdin_fd = keys ? s->console.slave : s->line.slave;
  spawn.stdout_fd = keys ? s->line.slave : s->console.slave;
  return child_start(&s->child, spawn);
}

bool session_start(Session *s, Program program, const std::vector<std::string> &tavo_args,
                   bool cat_keys, const std::string &cwd) {
  s->program = program;
  s->screen.clear();
  s->cwd = cwd.empty() ? config.work_dir : cwd;
  s->console.master = s->console.slave = s->line.master = s->line.slave = -1;
  // The console starts as a user's terminal would (the programs make it raw); cat gets
  // it raw from the bench, since it changes no settings itself.
  bool raw_console = program == PROGRAM_CAT || program == PROGRAM_SOCAT_NET;
  if (!pty_open(&s->console, raw_console) || !pty_open(&s->line, true)) return false;
  bool network = program == PROGRAM_TAVO_NET || program == PROGRAM_SOCAT_NET;
  if (network && !network_server_start(s)) return false;
  switch (program) {
    case PROGRAM_TAVO:
    case PROGRAM_TAVO_NET: return start_tavo(s, tavo_args);
    case PROGRAM_PICOCOM: return start_picocom(s);
    case PROGRAM_SOCAT_NET: return start_socat(s);
    default: return start_cat(s, cat_keys);
  }
}

// Ends the program, reading the console meanwhile; false when it had to be killed.
bool session_end(Session *s) {
  bool ok = true;
  if (s->child.pid > 0 && !s->child.ended) {
    s->child.maxrss_kib = child_peak_kib(s->child.pid);
    bool tavo = s->program == PROGRAM_TAVO || s->program == PROGRAM_TAVO_NET;
    if (tavo) {
      write_all(s->console.master, "\x03", 1);  // Ctrl-C: QUITTING, status 1
    } else if (s->program == PROGRAM_PICOCOM) {
      write_all(s->console.master, "\x01\x18", 2);  // C-a C-x
    } else {
      kill(s->child.pid, SIGTERM);
    }
    int64_t deadline = now_ns() + (int64_t)start_timeout_ms * 1000000;
    while (!child_try_reap(&s->child) && now_ns() < deadline) {
      read_some(s->console.master, &s->screen, 10);
    }
    if (!s->child.ended) {
      child_kill(&s->child);
      ok = false;
    }
    // tavo ends on Ctrl-C with status 1; anything else (a crash, a sanitizer's report,
    // which only its console saw) counts as not ending as asked.
    if (tavo && s->child.ended &&
        (!WIFEXITED(s->child.status) || WEXITSTATUS(s->child.status) != 1)) {
      fprintf(stderr, "bench: tavo ended with status 0x%x; its screen ends: %s\n", s->child.status,
              s->screen.substr(s->screen.size() > 2000 ? s->screen.size() - 2000 : 0).c_str());
      ok = false;
    }
  }
  network_server_stop(s);
  pty_close(&s->console);
  pty_close(&s->line);
  return ok;
}

// Sends numbered tokens from `to` until one arrives at `from`: everything sent before
// it has then arrived too, and the path is live.
static bool sync_path(int to, int from, std::string *seen) {
  for (int n = 0; n < sync_tries; n++) {
    std::string token = "{sync " + std::to_string(n) + "}";
    if (!write_all(to, token.data(), token.size())) return false;
    if (read_until(from, seen, token, sync_step_ms)) {
      seen->clear();
      return true;
    }
  }
  return false;
}

bool session_sync_screen(Session *s) {
  return sync_path(s->line.master, s->console.master, &s->screen);
}

bool session_sync_keys(Session *s) {
  std::string seen;
  return sync_path(s->console.master, s->line.master, &seen);
}
