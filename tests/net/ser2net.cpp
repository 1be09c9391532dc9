// Running ser2net for the tests: the configuration, the start in the foreground (it is
// ready when its port listens), the stop.
#include "ser2net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string ser2net_program() {
  for (const char *path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
    if (access(path, X_OK) == 0) return path;
  return "";
}

// Whether something listens on 127.0.0.1:port, from the kernel's table of sockets
// (asking by connecting would make ser2net open the device).
bool listening(uint16_t port) {
  std::ifstream tcp("/proc/net/tcp");
  char want[16];
  snprintf(want, sizeof want, "0100007F:%04X", port);
  for (std::string slot, local, remote, state, rest; tcp >> slot >> local >> remote >> state;) {
    if (local == want && state == "0A") return true;
    std::getline(tcp, rest);
  }
  return false;
}

// Waits for pid to end within the bound; true when it did.
bool reaped(pid_t pid, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (int status; waitpid(pid, &status, WNOHANG) == 0; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

}  // namespace

int loopback_listen(int backlog, uint16_t *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd, backlog) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
    *port = ntohs(a.sin_port);
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

bool ser2net_installed() { return !ser2net_program().empty(); }

bool ser2net_start(Ser2net *s, bool rfc2217, std::string *why, std::string device) {
  char name[128], dir[] = "/tmp/tavo-ser2net-XXXXXX";
  if (!ser2net_installed()) return *why = "ser2net is not installed (tools/install-deps installs it)", false;
  if (device.empty()) {
    if (openpty(&s->master, &s->slave, name, nullptr, nullptr) != 0)
      return *why = std::string("no pseudo-terminals here: ") + strerror(errno), false;
    fcntl(s->master, F_SETFD, FD_CLOEXEC), fcntl(s->slave, F_SETFD, FD_CLOEXEC);
    fcntl(s->master, F_SETFL, fcntl(s->master, F_GETFL) | O_NONBLOCK);
    device = name;
  }
  s->rfc2217 = rfc2217;
  int probe = loopback_listen(1, &s->port);  // a port nobody listens on once it is closed
  if (probe < 0 || mkdtemp(dir) == nullptr) return *why = "no temporary directory or no port on 127.0.0.1", false;
  close(probe);
  s->dir = dir;
  std::ofstream(s->dir + "/ser2net.yaml")
      << "connection: &board\n  accepter: " << (rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1,"
      << s->port << "\n  connector: serialdev," << device << ",115200n81,local\n  options:\n    kickolduser: true\n";
  return ser2net_restart(s, why);
}

bool ser2net_restart(Ser2net *s, std::string *why) {
  std::string program = ser2net_program(), config = s->dir + "/ser2net.yaml", log = s->dir + "/output";
  pid_t parent = getpid();
  if ((s->pid = fork()) == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives the test
    if (getppid() != parent) _exit(127);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) dup2(out, 1), dup2(out, 2);
    for (int fd = 3; fd < 1024; fd++) close(fd);  // holds none of the test's pipes open
    execl(program.c_str(), program.c_str(), "-n", "-u", "-c", config.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int status; s->pid > 0 && !listening(s->port); std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (waitpid(s->pid, &status, WNOHANG) == s->pid || std::chrono::steady_clock::now() > end) s->pid = -1;
  }
  if (s->pid <= 0) *why = "ser2net did not start listening: " + ser2net_output(*s);
  return s->pid > 0;
}

void ser2net_stop(Ser2net *s) {
  if (s->pid <= 0) return;
  kill(s->pid, SIGTERM);
  if (!reaped(s->pid, 10000)) kill(s->pid, SIGKILL), waitpid(s->pid, nullptr, 0);
  s->pid = -1;
}

void ser2net_close(Ser2net *s) {
  ser2net_stop(s);
  for (int *fd : {&s->master, &s->slave})
    if (*fd >= 0) close(*fd), *fd = -1;
  if (!s->dir.empty() && system(("rm -rf '" + s->dir + "'").c_str()) == 0) s->dir.clear();
}

std::string ser2net_url(const Ser2net &s) {
  return std::string(s.rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(s.port);
}

std::string ser2net_output(const Ser2net &s) {
  std::stringstream text;
  text << std::ifstream(s.dir + "/output").rdbuf();
  return text.str();
}
