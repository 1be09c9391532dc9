// The scripted board of the service and transfer end-to-end tests: tavo on a pair of
// pseudo-terminals and a pipe, with bounded waits on every byte.
#include "host/service_board.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace service_test {

static const int wait_limit_ms = 20000;  // only a hang reaches it

static long long now_ms(void) {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Moves whatever is readable on the three descriptors into the Tavo's buffers,
// waiting at most ms for something to come. False when nothing came.
static bool pump(Tavo *tavo, int ms) {
  struct pollfd fds[3] = {{tavo->line_fd, POLLIN, 0},
                          {tavo->stdout_fd, POLLIN, 0},
                          {tavo->console_fd, POLLIN, 0}};
  std::string *sinks[3] = {&tavo->line_in, &tavo->out, &tavo->console};
  if (poll(fds, 3, ms) <= 0) return false;
  bool got = false;
  for (int i = 0; i < 3; i++) {
    if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char buffer[4096];
    ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      sinks[i]->append(buffer, (size_t)n);
      got = true;
    } else if (i == 1 && n == 0) {
      close(tavo->stdout_fd);  // tavo has ended
      tavo->stdout_fd = -1;
      got = true;
    }
  }
  return got;
}

// Pumps until done() holds or the limit passes.
template <typename Done> static bool pump_until(Tavo *tavo, Done done) {
  long long end = now_ms() + wait_limit_ms;
  while (!done()) {
    long long left = end - now_ms();
    if (left <= 0) return false;
    pump(tavo, (int)left);
  }
  return true;
}

static void make_raw(int fd) {
  struct termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

// The environment of the child: ours, with TAVO_COM1 naming the line.
static std::vector<std::string> child_environment(const char *line_name) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++) {
    if (strncmp(*e, "TAVO_COM1=", 10) != 0) env.push_back(*e);
  }
  env.push_back(std::string("TAVO_COM1=") + line_name);
  return env;
}

static void run_child(const Tavo *tavo, int console_slave, int stdout_w, bool binary,
                      char **envp) {
  setsid();
  ioctl(console_slave, TIOCSCTTY, 0);
  dup2(console_slave, 0);
  dup2(stdout_w, 1);
  if (chdir(tavo->dir.c_str()) != 0) _exit(127);
  for (int fd = 3; fd < 1024; fd++) close(fd);
  const char *argv[] = {"tavo", "COM1:", "115200", binary ? "/B" : nullptr, nullptr};
  execve(TAVO_EXE, const_cast<char **>(argv), envp);
  _exit(127);
}

bool start_tavo(Tavo *tavo, bool binary) {
  char pattern[] = "/tmp/tavo-service-XXXXXX";
  EXPECT_NE(mkdtemp(pattern), nullptr);
  tavo->dir = pattern;
  int console_slave = -1, stdout_pipe[2];
  char line_name[256];
  if (openpty(&tavo->line_fd, &tavo->line_slave, line_name, nullptr, nullptr) != 0 ||
      openpty(&tavo->console_fd, &console_slave, nullptr, nullptr, nullptr) != 0 ||
      pipe(stdout_pipe) != 0) {
    ADD_FAILURE() << "no pseudo-terminal or pipe";
    return false;
  }
  make_raw(tavo->line_slave);
  std::vector<std::string> env = child_environment(line_name);
  std::vector<char *> envp;
  for (std::string &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  tavo->pid = fork();
  if (tavo->pid == 0) run_child(tavo, console_slave, stdout_pipe[1], binary, envp.data());
  close(console_slave);
  close(stdout_pipe[1]);
  tavo->stdout_fd = stdout_pipe[0];
  bool up = wait_stdout(tavo, "Using COM1 at 115200 baud\n");
  EXPECT_TRUE(up) << "tavo did not start; its output: " << tavo->out;
  return up;
}

void stop_tavo(Tavo *tavo) {
  if (tavo->pid > 0) {
    kill(tavo->pid, SIGKILL);
    waitpid(tavo->pid, nullptr, 0);
    tavo->pid = -1;
  }
  for (int *fd : {&tavo->line_fd, &tavo->line_slave, &tavo->console_fd, &tavo->stdout_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!tavo->dir.empty()) {
    std::string command = "rm -rf '" + tavo->dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    tavo->dir.clear();
  }
}

void board_send(Tavo *tavo, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(tavo->line_fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      ADD_FAILURE() << "cannot write to the line";
      return;
    }
    done += (size_t)n;
    pump(tavo, 0);  // keep tavo's output moving while a long text goes out
  }
}

std::string board_read(Tavo *tavo, size_t n) {
  pump_until(tavo, [&] { return tavo->line_in.size() >= n; });
  size_t take = std::min(n, tavo->line_in.size());
  std::string got = tavo->line_in.substr(0, take);
  tavo->line_in.erase(0, take);
  EXPECT_EQ(got.size(), n) << "the line went quiet after " << hex(got);
  return got;
}

std::string board_read_until(Tavo *tavo, const std::string &tail) {
  auto ends = [&] {
    const std::string &in = tavo->line_in;
    return in.size() >= tail.size() && in.compare(in.size() - tail.size(), tail.size(), tail) == 0;
  };
  EXPECT_TRUE(pump_until(tavo, ends)) << "no " << hex(tail) << " after " << hex(tavo->line_in);
  std::string got;
  got.swap(tavo->line_in);
  return got;
}

bool board_quiet_for(Tavo *tavo, int ms) {
  long long end = now_ms() + ms;
  while (tavo->line_in.empty() && now_ms() < end) pump(tavo, (int)(end - now_ms()));
  return tavo->line_in.empty();
}

bool wait_stdout(Tavo *tavo, const std::string &needle, size_t from) {
  return pump_until(tavo, [&] { return tavo->out.find(needle, from) != std::string::npos; });
}

int wait_exit(Tavo *tavo) {
  if (!pump_until(tavo, [&] { return tavo->stdout_fd < 0; })) return -1;
  int status = 0;
  waitpid(tavo->pid, &status, 0);
  tavo->pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void expect_line_quiet(Tavo *tavo) {
  board_send(tavo, "\x05");
  EXPECT_EQ(hex(board_read(tavo, 1)), "2A") << "bytes were left on the line";
  board_send(tavo, "X quiet\r");
}

std::string path_in(const Tavo *tavo, const std::string &name) { return tavo->dir + "/" + name; }

void write_file(const std::string &path, const std::string &data) {
  std::ofstream file(path, std::ios::binary);
  file << data;
}

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream all;
  all << file.rdbuf();
  return all.str();
}

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back((char)v);
  return s;
}

std::string hex(const std::string &data) {
  std::string s;
  char b[4];
  for (unsigned char c : data) {
    snprintf(b, sizeof b, "%02X", c);
    if (!s.empty()) s += ' ';
    s += b;
  }
  return s;
}

}  // namespace service_test
