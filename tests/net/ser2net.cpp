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

const char *kSer2net[] = {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"};

std::string ser2net_program() {
  for (const char *path : kSer2net) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

// A port on 127.0.0.1 nobody listens on now.
uint16_t free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

// Whether something listens on 127.0.0.1:port, from the kernel's table of sockets
// (asking by connecting would make ser2net open the device).
bool listening(uint16_t port) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  char want[16];
  snprintf(want, sizeof want, "0100007F:%04X", port);
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == want && state == "0A") return true;
  }
  return false;
}

bool write_config(const Ser2net &s) {
  std::ofstream f(s.dir + "/ser2net.yaml");
  f << "connection: &board\n"
    << "  accepter: " << (s.rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << s.port << "\n"
    << "  connector: serialdev," << s.device << ",115200n81,local\n"
    << "  options:\n"
    << "    kickolduser: true\n";
  return bool(f);
}

bool launch(Ser2net *s, std::string *why) {
  std::string program = ser2net_program(), config = s->dir + "/ser2net.yaml", log = s->dir + "/output";
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives the test
    if (getppid() != parent) _exit(127);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) dup2(out, 1), dup2(out, 2);
    for (int fd = 3; fd < 1024; fd++) close(fd);  // holds none of the test's pipes open
    execl(program.c_str(), program.c_str(), "-n", "-u", "-c", config.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  if (pid < 0) {
    *why = std::string("fork: ") + strerror(errno);
    return false;
  }
  s->pid = pid;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!listening(s->port)) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid || std::chrono::steady_clock::now() > end) {
      s->pid = -1;
      *why = "ser2net did not start listening: " + ser2net_output(*s);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

bool ser2net_installed() { return !ser2net_program().empty(); }

bool ser2net_start(Ser2net *s, bool rfc2217, std::string *why) {
  char name[128];
  if (!ser2net_installed()) return ser2net_start_on(s, "", rfc2217, why);
  if (openpty(&s->master, &s->slave, name, nullptr, nullptr) != 0) {
    *why = std::string("no pseudo-terminals here: ") + strerror(errno);
    return false;
  }
  fcntl(s->master, F_SETFD, FD_CLOEXEC), fcntl(s->slave, F_SETFD, FD_CLOEXEC);
  fcntl(s->master, F_SETFL, fcntl(s->master, F_GETFL) | O_NONBLOCK);
  return ser2net_start_on(s, name, rfc2217, why);
}

bool ser2net_start_on(Ser2net *s, const std::string &device, bool rfc2217, std::string *why) {
  if (!ser2net_installed()) {
    *why = "ser2net is not installed (tools/install-deps installs it)";
    return false;
  }
  s->device = device;
  s->rfc2217 = rfc2217;
  char dir[] = "/tmp/tavo-ser2net-XXXXXX";
  if (mkdtemp(dir) == nullptr || (s->port = free_port()) == 0) {
    *why = "no temporary directory or no free port on 127.0.0.1";
    return false;
  }
  s->dir = dir;
  if (!write_config(*s)) {
    *why = "cannot write " + s->dir + "/ser2net.yaml";
    return false;
  }
  return launch(s, why);
}

bool ser2net_restart(Ser2net *s, std::string *why) { return launch(s, why); }

void ser2net_stop(Ser2net *s) {
  if (s->pid <= 0) return;
  kill(s->pid, SIGTERM);
  int status;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(s->pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      kill(s->pid, SIGKILL);
      waitpid(s->pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  s->pid = -1;
}

void ser2net_close(Ser2net *s) {
  ser2net_stop(s);
  for (int *fd : {&s->master, &s->slave}) {
    if (*fd >= 0) close(*fd), *fd = -1;
  }
  if (!s->dir.empty()) {
    unlink((s->dir + "/ser2net.yaml").c_str());
    unlink((s->dir + "/output").c_str());
    rmdir(s->dir.c_str());
    s->dir.clear();
  }
}

std::string ser2net_url(const Ser2net &s) {
  return std::string(s.rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(s.port);
}

std::string ser2net_output(const Ser2net &s) {
  std::ifstream f(s.dir + "/output");
  std::stringstream text;
  text << f.rdbuf();
  return text.str();
}
