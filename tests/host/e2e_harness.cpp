// End-to-end harness: the tavo program on a pseudo-terminal console, its COM port on a
// second pseudo-terminal pair played by the test as the board.
#include "e2e_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char **environ;

// Children still running when the test process ends are killed there.
static std::vector<pid_t> children;
static bool cleanup_registered = false;

static void kill_children(void) {
  for (pid_t pid : children) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  children.clear();
}

static void forget_child(pid_t pid) {
  for (size_t i = 0; i < children.size(); i++) {
    if (children[i] == pid) {
      children.erase(children.begin() + (long)i);
      return;
    }
  }
}

static long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static void set_cloexec(int fd) {
  fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Reads what is there within timeout_ms into `into`; false when nothing came.
static bool read_some(int fd, std::string *into, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  int ready = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
  if (ready <= 0 || (p.revents & POLLIN) == 0) {
    return false;
  }
  char buffer[4096];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) {
    return false;
  }
  into->append(buffer, (size_t)n);
  return true;
}

// Waits until `text` is in `data` at or after *mark; moves the mark past it.
static bool expect_in(int fd, std::string *data, size_t *mark, const std::string &text,
                      int timeout_ms) {
  long deadline = now_ms() + timeout_ms;
  for (;;) {
    size_t at = data->find(text, *mark);
    if (at != std::string::npos) {
      *mark = at + text.size();
      return true;
    }
    long left = deadline - now_ms();
    if (left <= 0) {
      return false;
    }
    read_some(fd, data, (int)left);
  }
}

static bool write_all(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += (size_t)n;
  }
  return true;
}

// ---------------------------------------------------------------------------------
// The board

bool e2e_board_open(E2eBoard *board) {
  board->received.clear();
  board->mark = 0;
  if (openpty(&board->master, &board->device, board->path, nullptr, nullptr) != 0) {
    return false;
  }
  set_cloexec(board->master);
  set_cloexec(board->device);
  struct termios t;
  tcgetattr(board->device, &t);
  cfmakeraw(&t);
  t.c_cflag |= CSTOPB | CRTSCTS;  // settings of its own, unlike tavo's 8N1, no handshake
  cfsetispeed(&t, B2400);
  cfsetospeed(&t, B2400);
  tcsetattr(board->device, TCSANOW, &t);
  return true;
}

void e2e_board_close(E2eBoard *board) {
  close(board->master);
  close(board->device);
  board->master = board->device = -1;
}

bool e2e_board_send(E2eBoard *board, const std::string &bytes) {
  return write_all(board->master, bytes);
}

bool e2e_board_expect(E2eBoard *board, const std::string &bytes, int timeout_ms) {
  return expect_in(board->master, &board->received, &board->mark, bytes, timeout_ms);
}

std::string e2e_board_take(E2eBoard *board, size_t count, int timeout_ms) {
  long deadline = now_ms() + timeout_ms;
  while (board->received.size() - board->mark < count) {
    long left = deadline - now_ms();
    if (left <= 0) {
      break;
    }
    read_some(board->master, &board->received, (int)left);
  }
  std::string taken = board->received.substr(board->mark);
  board->mark = board->received.size();
  return taken;
}

std::string e2e_board_drain(E2eBoard *board, int quiet_ms) {
  while (read_some(board->master, &board->received, quiet_ms)) {
  }
  std::string taken = board->received.substr(board->mark);
  board->mark = board->received.size();
  return taken;
}

struct termios e2e_board_settings(const E2eBoard *board) {
  struct termios t = {};
  tcgetattr(board->device, &t);
  return t;
}

// ---------------------------------------------------------------------------------
// The program

static std::vector<std::string> child_environment(const E2eOptions &options) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++) {
    if (strncmp(*e, "TAVO_COM", 8) != 0) {
      env.push_back(*e);
    }
  }
  for (int n = 1; n <= 36; n++) {
    std::string value = "/nonexistent/tavo-test-com" + std::to_string(n);
    if (options.board != nullptr && n == options.com) {
      value = options.board->path;
    }
    env.push_back("TAVO_COM" + std::to_string(n) + "=" + value);
  }
  return env;
}

static std::vector<char *> pointers(std::vector<std::string> &strings) {
  std::vector<char *> result;
  for (std::string &s : strings) {
    result.push_back(&s[0]);
  }
  result.push_back(nullptr);
  return result;
}

// In the child (only async-signal-safe calls): the console becomes stdin, stdout and
// stderr (and, unless told otherwise, the controlling terminal of a new session); then
// the program runs.
[[noreturn]] static void run_child(int console_device, const E2eOptions &options, char **argv,
                                   char **envp) {
  setsid();
  if (options.controlling_terminal) {
    ioctl(console_device, TIOCSCTTY, 0);
  }
  dup2(console_device, 0);
  dup2(console_device, 1);
  dup2(console_device, 2);
  if (console_device > 2) {
    close(console_device);
  }
  if (!options.stdout_path.empty()) {
    int out = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    close(out);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGINT, SIG_DFL);
  execve(options.program.c_str(), argv, envp);
  _exit(127);
}

bool e2e_start(E2eTavo *tavo, const E2eOptions &given) {
  E2eOptions options = given;
  if (options.program.empty()) {
    options.program = TAVO_EXE;
  }
  tavo->screen.clear();
  tavo->mark = 0;
  tavo->exited = false;
  tavo->status = -1;
  tavo->pid = -1;
  if (openpty(&tavo->console, &tavo->console_device, nullptr, nullptr, nullptr) != 0) {
    return false;
  }
  set_cloexec(tavo->console);
  tcgetattr(tavo->console_device, &tavo->console_before);
  std::vector<std::string> args;
  args.push_back(options.argv0.empty() ? options.program : options.argv0);
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env = child_environment(options);
  std::vector<char *> argv = pointers(args);
  std::vector<char *> envp = pointers(env);
  if (!cleanup_registered) {
    atexit(kill_children);
    cleanup_registered = true;
  }
  pid_t pid = fork();
  if (pid == 0) {
    run_child(tavo->console_device, options, argv.data(), envp.data());
  }
  set_cloexec(tavo->console_device);
  if (pid < 0) {
    return false;
  }
  tavo->pid = pid;
  children.push_back(pid);
  return true;
}

bool e2e_expect(E2eTavo *tavo, const std::string &text, int timeout_ms) {
  return expect_in(tavo->console, &tavo->screen, &tavo->mark, text, timeout_ms);
}

std::string e2e_screen_after_mark(E2eTavo *tavo, int quiet_ms) {
  while (read_some(tavo->console, &tavo->screen, quiet_ms)) {
  }
  return tavo->screen.substr(tavo->mark);
}

bool e2e_type(E2eTavo *tavo, const std::string &keys) {
  return write_all(tavo->console, keys);
}

bool e2e_ctrl_c(E2eTavo *tavo) {
  return e2e_type(tavo, std::string(1, '\x03'));
}

bool e2e_signal(E2eTavo *tavo, int signal_number) {
  return kill(tavo->pid, signal_number) == 0;
}

static bool reap(E2eTavo *tavo, int options) {
  int status = 0;
  pid_t got = waitpid(tavo->pid, &status, options);
  if (got == tavo->pid) {
    tavo->exited = true;
    tavo->status = status;
    forget_child(tavo->pid);
    return true;
  }
  return false;
}

// Blocks on a pidfd until the child ends; where there is none, naps 2 ms between looks.
bool e2e_wait_exit(E2eTavo *tavo, int timeout_ms) {
  if (tavo->exited) {
    return true;
  }
  long deadline = now_ms() + timeout_ms;
  int pidfd = (int)syscall(SYS_pidfd_open, tavo->pid, 0);
  while (!reap(tavo, WNOHANG)) {
    long left = deadline - now_ms();
    if (left <= 0) {
      break;
    }
    struct pollfd p = {pidfd, POLLIN, 0};
    poll(&p, pidfd >= 0 ? 1 : 0, pidfd >= 0 ? (int)left : 2);
  }
  if (pidfd >= 0) {
    close(pidfd);
  }
  return tavo->exited;
}

int e2e_exit_status(const E2eTavo *tavo) {
  if (!tavo->exited || !WIFEXITED(tavo->status)) {
    return -1;
  }
  return WEXITSTATUS(tavo->status);
}

bool e2e_run(E2eTavo *tavo, const E2eOptions &options) {
  if (!e2e_start(tavo, options)) {
    return false;
  }
  bool ended = e2e_wait_exit(tavo);
  e2e_screen_after_mark(tavo, 50);
  return ended;
}

// Terminal settings change without any event to wait on: looks every 2 ms.
bool e2e_wait_console_raw(E2eTavo *tavo, int timeout_ms) {
  long deadline = now_ms() + timeout_ms;
  for (;;) {
    struct termios t = e2e_console_settings(tavo);
    if ((t.c_lflag & (ICANON | ECHO)) == 0 && (t.c_oflag & OPOST) == 0) {
      return true;
    }
    if (now_ms() >= deadline) {
      return false;
    }
    struct timespec nap = {0, 2000000};
    nanosleep(&nap, nullptr);
  }
}

struct termios e2e_console_settings(const E2eTavo *tavo) {
  struct termios t = {};
  tcgetattr(tavo->console_device, &t);
  return t;
}

void e2e_stop(E2eTavo *tavo) {
  if (tavo->pid > 0 && !tavo->exited) {
    kill(tavo->pid, SIGKILL);
    reap(tavo, 0);
  }
  if (tavo->console >= 0) {
    close(tavo->console);
    close(tavo->console_device);
  }
  tavo->console = tavo->console_device = -1;
}

std::string e2e_settings_difference(const struct termios &before, const struct termios &after) {
  std::ostringstream out;
  out << std::hex;
  if (before.c_iflag != after.c_iflag) {
    out << "c_iflag " << before.c_iflag << " became " << after.c_iflag;
  } else if (before.c_oflag != after.c_oflag) {
    out << "c_oflag " << before.c_oflag << " became " << after.c_oflag;
  } else if (before.c_cflag != after.c_cflag) {
    out << "c_cflag " << before.c_cflag << " became " << after.c_cflag;
  } else if (before.c_lflag != after.c_lflag) {
    out << "c_lflag " << before.c_lflag << " became " << after.c_lflag;
  } else if (cfgetispeed(&before) != cfgetispeed(&after) ||
             cfgetospeed(&before) != cfgetospeed(&after)) {
    out << "speed changed";
  } else {
    for (size_t i = 0; i < NCCS; i++) {
      if (before.c_cc[i] != after.c_cc[i]) {
        out << "c_cc[" << std::dec << i << "] " << std::hex << (int)before.c_cc[i]
            << " became " << (int)after.c_cc[i];
        break;
      }
    }
  }
  return out.str();
}

long e2e_cpu_ticks(pid_t pid) {
  std::string stat = e2e_read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) {
    return -1;
  }
  std::istringstream fields(stat.substr(close_paren + 2));
  std::string field;
  long utime = -1, stime = -1;
  for (int i = 3; i <= 15 && fields >> field; i++) {
    if (i == 14) {
      utime = atol(field.c_str());
    } else if (i == 15) {
      stime = atol(field.c_str());
    }
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

std::string e2e_read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}
