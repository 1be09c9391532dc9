// End-to-end harness: tavo on a pseudo-terminal console and a pipe, its COM port on a
// second pseudo-terminal pair played by the test as the board.
#include "e2e_harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

static const int limit_ms = 20000;  // only a hang reaches it

long long now_ms() {
  return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::milliseconds(1);
}

// Moves what is readable into the buffers and reaps tavo once it has ended, waiting at
// most ms for something to happen (or for write_fd to take bytes). True when it did.
static bool pump(Tavo *t, int ms, int write_fd = -1) {
  struct pollfd fds[4] = {{t->line, POLLIN, 0}, {t->out_fd, POLLIN, 0},
                          {t->console, POLLIN, 0}, {t->pidfd, POLLIN, 0}};
  for (struct pollfd &p : fds) p.events |= p.fd == write_fd ? POLLOUT : 0;
  if (poll(fds, 4, ms) <= 0) return false;
  std::string *sinks[3] = {&t->line_in, &t->out, &t->screen};
  bool got = fds[3].revents & POLLIN;
  for (int i = 0; i < 3; i++) {
    char buffer[4096];
    ssize_t n = fds[i].revents & (POLLIN | POLLHUP) ? read(fds[i].fd, buffer, sizeof buffer) : -1;
    if (n > 0) sinks[i]->append(buffer, (size_t)n);
    if (n == 0 && i == 1) close(t->out_fd), t->out_fd = -1;  // every writer has ended
    got = got || n >= 0;
  }
  if (fds[3].revents & POLLIN) waitpid(t->pid, &t->status, 0), close(t->pidfd), t->pidfd = -1;
  return got;
}

template <typename Done>
static bool pump_until(Tavo *t, Done done, int ms = limit_ms, int write_fd = -1) {
  for (long long end = now_ms() + ms; !done() && now_ms() < end;)
    pump(t, (int)(end - now_ms()), write_fd);
  return done();
}

// Writes while it keeps tavo's output moving, so that neither side blocks the other.
static void write_all(Tavo *t, int fd, const std::string &bytes) {
  size_t done = 0;
  pump_until(t, [&] {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    done += n > 0 ? (size_t)n : 0;
    return done == bytes.size() || (n < 0 && errno != EAGAIN && errno != EINTR);
  }, limit_ms, fd);
}

// The user a root test runs tavo as when the line is denied to it: nobody.
static const struct passwd *nobody(void) {
  return geteuid() == 0 ? getpwnam("nobody") : nullptr;
}

// In the child, between fork and exec: async-signal-safe calls only.
[[noreturn]] static void run_child(const Tavo *t, const TavoRun &run, int out, char **argv,
                                   const struct passwd *user) {
  setsid();
  if (run.own_terminal) ioctl(t->console_device, TIOCSCTTY, 0);
  if (user != nullptr && (setgroups(0, nullptr) || setgid(user->pw_gid) || setuid(user->pw_uid)))
    _exit(126);
  dup2(t->console_device, 0);
  dup2(run.own_terminal && !run.out_on_console ? out : t->console_device, 1);
  dup2(t->console_device, 2);
  for (int fd = 3; fd < 1024; fd++) close(fd);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGINT, SIG_DFL);
  struct rlimit limit = {(rlim_t)run.file_limit, (rlim_t)run.file_limit};
  if (run.file_limit != 0) signal(SIGXFSZ, SIG_IGN), setrlimit(RLIMIT_FSIZE, &limit);
  if (chdir(t->dir.c_str()) == 0) execv(run.program.c_str(), argv);
  _exit(127);
}

// A new line pair, with the line's settings at creation: raw, 2400 baud, two stop bits
// and RTS/CTS, unlike tavo's, so that their return shows. Its slave's path in path.
static bool line_open(Tavo *t, std::string *path) {
  char name[128];
  struct termios s = {};
  s.c_cflag = CS8 | CREAD | CSTOPB | CRTSCTS;
  cfsetspeed(&s, B2400);
  if (openpty(&t->line, &t->line_device, name, &s, nullptr)) return false;
  fcntl(t->line, F_SETFL, O_NONBLOCK);
  *path = name;
  return true;
}

void line_hang_up(Tavo *t) {
  for (int *fd : {&t->line, &t->line_device})
    if (*fd >= 0) close(*fd), *fd = -1;
  if (!t->link.empty()) unlink(t->link.c_str());
}

bool line_replace(Tavo *t) {
  std::string path, next = t->link + ".new";
  line_hang_up(t);
  return line_open(t, &path) && symlink(path.c_str(), next.c_str()) == 0 &&
         rename(next.c_str(), t->link.c_str()) == 0;
}

static std::string proc_path(Tavo *t, const std::string &what) { return "/proc/" + std::to_string(t->pid) + "/" + what; }

// Sums f(name) over the entries of a folder.
template <typename F>
static double sum_entries(const std::string &folder, F f) {
  DIR *d = opendir(folder.c_str());
  double sum = 0;
  for (struct dirent *e; d && (e = readdir(d));) sum += e->d_name[0] != '.' ? f(std::string(e->d_name)) : 0;
  if (d) closedir(d);
  return sum;
}

long tavo_descriptors(Tavo *t) { return (long)sum_entries(proc_path(t, "fd"), [](const std::string &) { return 1; }); }

double tavo_cpu_ms(Tavo *t) {
  return sum_entries(proc_path(t, "task"), [t](const std::string &task) {
    return atof(read_file(proc_path(t, "task/" + task + "/schedstat")).c_str()) / 1e6;
  });
}

long tavo_status(Tavo *t, const char *field) {
  std::string status = read_file(proc_path(t, "status"));
  size_t at = status.find(std::string(field) + ":");
  return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(field) + 1);
}

bool tavo_start(Tavo *t, const TavoRun &run, bool up) {
  char dir[] = "/tmp/tavo-e2e-XXXXXX";
  std::string line_path;
  int out[2];
  struct termios s = {};
  if (!mkdtemp(dir) || !line_open(t, &line_path) || pipe(out) ||
      openpty(&t->console, &t->console_device, nullptr, nullptr, nullptr))
    return false;  // no directory, pipe or pseudo-terminal
  t->dir = dir;
  if (run.line_link) {  // in a folder of its own beside tavo's working directory
    t->link = t->dir + "/dev/com";
    if (mkdir((t->dir + "/dev").c_str(), 0700) || symlink(line_path.c_str(), t->link.c_str())) return false;
    line_path = t->link;
  }
  for (const auto &file : run.files) write_file(t->dir + "/" + file.first, file.second);
  if (run.line_locked && flock(t->line_device, LOCK_EX | LOCK_NB) != 0) return false;
  t->line_path = line_path;
  const struct passwd *user = run.line_denied ? nobody() : nullptr;
  if (run.line_denied && geteuid() != 0 && chmod(line_path.c_str(), 0) != 0) return false;
  if (run.line_denied && geteuid() == 0 && (user == nullptr || chmod(dir, 0755) != 0)) return false;
  t->line_before = settings(t->line_device), t->console_before = settings(t->console_device);
  std::string line_name = run.line_name ? run.line_name(line_path) : line_path;
  if (line_name.empty()) return false;
  std::vector<std::pair<std::string, std::string>> env;
  for (int n = 1; n <= 36; n++)  // tavo takes only COM1..4
    env.push_back({"TAVO_COM" + std::to_string(n),
                   n <= 4 && !run.line_argument ? line_name : "/nonexistent"});
  std::vector<std::pair<std::string, const char *>> before;  // run.env's, put back after the fork
  for (const auto &variable : run.env) before.push_back({variable.first, getenv(variable.first.c_str())});
  std::vector<std::string> kept;
  for (const auto &old : before) kept.push_back(old.second ? old.second : "");
  env.insert(env.end(), run.env.begin(), run.env.end());
  for (const auto &variable : env) setenv(variable.first.c_str(), variable.second.c_str(), 1);
  std::vector<std::string> args = run.args;
  if (run.line_argument) args.push_back(line_path);
  std::vector<char *> argv = {(char *)run.argv0.c_str()};
  for (const std::string &arg : args) argv.push_back((char *)arg.c_str());
  argv.push_back(nullptr);
  if ((t->pid = fork()) == 0) run_child(t, run, out[1], argv.data(), user);
  for (size_t i = 0; i < before.size(); i++)
    before[i].second ? setenv(before[i].first.c_str(), kept[i].c_str(), 1) : unsetenv(before[i].first.c_str());
  close(out[1]);
  t->out_fd = run.own_terminal && !run.out_on_console ? out[0] : (close(out[0]), -1);
  t->pidfd = (int)syscall(SYS_pidfd_open, t->pid, 0);
  fcntl(t->console, F_SETFL, O_NONBLOCK);
  // The terminal loop runs once the console is raw both ways (set after the "Using"
  // line, which must have been read too): looked at every 2 ms, as no event tells.
  long long end = now_ms() + limit_ms;
  for (bool running = up; running; pump(t, 2), running = t->status == -1 && now_ms() < end) {
    tcgetattr(t->console_device, &s);
    if ((s.c_lflag & (ICANON | ECHO)) == 0 && (s.c_oflag & OPOST) == 0 &&
        (t->out + t->screen).find(" baud") != std::string::npos) return true;
  }
  if (up) tavo_wait_exit(t);
  EXPECT_TRUE(!up && t->pidfd >= 0) << "tavo did not come up: " << t->out << t->screen;
  return !up && t->pidfd >= 0;
}

int tavo_wait_exit(Tavo *t) {
  if (!pump_until(t, [&] { return t->pidfd < 0 && t->out_fd < 0; })) return -1;
  while (pump(t, 0)) continue;
  return WIFEXITED(t->status) ? WEXITSTATUS(t->status) : -1;
}

void tavo_stop(Tavo *t) {
  if (t->pid > 0 && t->status == -1) kill(-t->pid, SIGKILL), waitpid(t->pid, &t->status, 0);
  for (int fd : {t->pidfd, t->console, t->console_device, t->line, t->line_device, t->out_fd})
    if (fd >= 0) close(fd);
  EXPECT_EQ(system(("rm -rf '" + t->dir + "'").c_str()), 0);
}

void board_send(Tavo *t, const std::string &bytes) { write_all(t, t->line, bytes); }
void type_keys(Tavo *t, const std::string &keys) { write_all(t, t->console, keys); }

std::string board_read(Tavo *t, size_t n) {
  pump_until(t, [&] { return t->line_in.size() >= n; });
  std::string got = t->line_in.substr(0, n);
  t->line_in.erase(0, got.size());
  EXPECT_EQ(got.size(), n) << "the line went quiet after " << hex(got);
  return got;
}

bool board_quiet(Tavo *t, int ms) { return !pump_until(t, [t] { return t->line_in.size(); }, ms); }

size_t board_request(Tavo *t, const std::string &request) {
  size_t from = t->out.size();
  board_send(t, "\x05");
  EXPECT_EQ(hex(board_read(t, 1)), "2A") << "bytes were left on the line";
  board_send(t, request);
  return from;
}

void board_check_idle(Tavo *t) { board_request(t, "X idle\r"); }

std::string board_read_record(Tavo *t) {
  std::string head = board_read(t, 3);
  return head.size() < 3 || head[0] != 'R' ? head : head + board_read(t, (unsigned char)head[2]);
}

std::string wait_for(Tavo *t, std::string Tavo::*where, size_t from, const std::string &text) {
  pump_until(t, [&] { return (t->*where).find(text, from) != std::string::npos; });
  return (t->*where).substr(std::min(from, (t->*where).size()));
}

std::string settings(int fd) {
  struct termios s = {};
  tcgetattr(fd, &s);
  return hex(std::string((const char *)&s, sizeof s));
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream(path) << bytes;
}

std::string read_file(const std::string &path) {
  return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
}

std::string hex(const std::string &data) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : data) s += {' ', digits[c >> 4], digits[c & 15]};
  return s.substr(s.empty() ? 0 : 1);
}
