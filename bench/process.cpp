// Pseudo-terminal pairs and the programs the driver starts on them: start with the
// given terminals and TAVO_COM names, bounded waits that collect the exit status and
// the peak resident memory (wait4), and the processor time of a running process.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "bench.h"

extern char **environ;

bool pty_open(Pty *pty, bool raw) {
  if (openpty(&pty->master, &pty->slave, pty->path, nullptr, nullptr) != 0) return false;
  fcntl(pty->master, F_SETFD, FD_CLOEXEC);
  fcntl(pty->slave, F_SETFD, FD_CLOEXEC);
  if (raw) {
    struct termios t;
    tcgetattr(pty->slave, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(pty->slave, TCSANOW, &t);
  }
  return true;
}

void pty_close(Pty *pty) {
  if (pty->master >= 0) close(pty->master);
  if (pty->slave >= 0) close(pty->slave);
  pty->master = pty->slave = -1;
}

bool pty_is_raw(int fd) {
  struct termios t;
  return tcgetattr(fd, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == 0;
}

// ---- Starting ----------------------------------------------------------------------

static std::vector<std::string> child_environment(const Spawn &spawn) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++) {
    if (strncmp(*e, "TAVO_COM", 8) != 0) env.push_back(*e);
  }
  for (int n = 1; n <= 36; n++) {
    std::string value = "/nonexistent/tavo-bench-com" + std::to_string(n);
    if (n == 1 && !spawn.line_path.empty()) value = spawn.line_path;
    env.push_back("TAVO_COM" + std::to_string(n) + "=" + value);
  }
  return env;
}

static std::vector<char *> pointers(std::vector<std::string> &strings) {
  std::vector<char *> result;
  for (std::string &s : strings) result.push_back(&s[0]);
  result.push_back(nullptr);
  return result;
}

static void put_fd(int fd, int target, int null_fd) {
  dup2(fd >= 0 ? fd : null_fd, target);
}

// In the child: only async-signal-safe calls.
[[noreturn]] static void run_child(const Spawn &spawn, char **argv, char **envp, int null_fd) {
  setsid();
  if (spawn.controlling_tty >= 0) ioctl(spawn.controlling_tty, TIOCSCTTY, 0);
  put_fd(spawn.stdin_fd, 0, null_fd);
  put_fd(spawn.stdout_fd, 1, null_fd);
  put_fd(spawn.stderr_fd, 2, null_fd);
  if (!spawn.cwd.empty() && chdir(spawn.cwd.c_str()) != 0) _exit(126);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGINT, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  execve(argv[0], argv, envp);
  _exit(127);
}

bool child_start(Child *child, const Spawn &spawn) {
  *child = Child();
  std::vector<std::string> args = spawn.argv;
  std::vector<std::string> env = child_environment(spawn);
  std::vector<char *> argv = pointers(args);
  std::vector<char *> envp = pointers(env);
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) run_child(spawn, argv.data(), envp.data(), null_fd);
  close(null_fd);
  if (pid < 0) return false;
  child->pid = pid;
  return true;
}

static bool reap(Child *child, int options) {
  int status = 0;
  struct rusage usage;
  pid_t got = wait4(child->pid, &status, options, &usage);
  if (got != child->pid) return false;
  child->ended = true;
  child->status = status;
  child->cpu_s = (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                 (double)usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  return true;
}

bool child_try_reap(Child *child) {
  return child->ended || (child->pid > 0 && reap(child, WNOHANG));
}

bool child_wait(Child *child, int timeout_ms) {
  if (child->pid <= 0 || child->ended) return child->ended;
  int64_t deadline = now_ns() + (int64_t)timeout_ms * 1000000;
  int pidfd = (int)syscall(SYS_pidfd_open, child->pid, 0);
  while (!reap(child, WNOHANG)) {
    int64_t left_ms = (deadline - now_ns()) / 1000000;
    if (left_ms <= 0) break;
    struct pollfd p = {pidfd, POLLIN, 0};
    poll(&p, pidfd >= 0 ? 1 : 0, pidfd >= 0 ? (int)left_ms : 5);
  }
  if (pidfd >= 0) close(pidfd);
  if (!child->ended) {
    child_kill(child);
    return false;
  }
  return true;
}

void child_kill(Child *child) {
  if (child->pid > 0 && !child->ended) {
    kill(child->pid, SIGKILL);
    reap(child, 0);
  }
}

// VmHWM: the peak resident memory of the program the process runs now. (wait4's
// ru_maxrss would do only for a process started small: a forked child's peak counts
// the parent's pages it began with, and exec keeps that figure.)
long child_peak_kib(pid_t pid) {
  FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (sscanf(line, "VmHWM: %ld", &kib) == 1) break;
  }
  fclose(f);
  return kib;
}

// The first field of each thread's schedstat is its time on a processor in ns.
int64_t child_cpu_ns(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *tasks = opendir(dir.c_str());
  if (tasks == nullptr) return -1;
  int64_t total = 0;
  for (struct dirent *e = readdir(tasks); e != nullptr; e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    FILE *f = fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r");
    if (f == nullptr) continue;
    long long ns = 0;
    if (fscanf(f, "%lld", &ns) == 1) total += ns;
    fclose(f);
  }
  closedir(tasks);
  return total;
}
