// ser2net for the network row: started by the bench on the session's line, in the
// foreground, on 127.0.0.1 and a free port (its RFC 2217 accepter), with a
// configuration file in a scratch directory; ready when its port listens.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "bench.h"

static const int listen_timeout_ms = 20000;

static int free_port(void) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (fd >= 0 && bind(fd, (struct sockaddr *)&a, sizeof a) == 0 && getsockname(fd, (struct sockaddr *)&a, &len) == 0) {
    port = ntohs(a.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

// Whether 127.0.0.1:port listens, from the kernel's socket table (a probe connection
// would have ser2net open the line).
static bool listening(int port) {
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

bool network_server_start(Session *s) {
  int port = free_port();
  s->server_dir = config.work_dir + "/ser2net-" + std::to_string(port);
  if (port < 0 || mkdir(s->server_dir.c_str(), 0700) != 0) return false;
  std::string config_path = s->server_dir + "/ser2net.yaml";
  std::ofstream(config_path) << "connection: &line\n"
                             << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
                             << "  connector: serialdev," << s->line.path << ",115200n81,local\n"
                             // Bytes go on at once rather than after two characters' time.
                             << "  options:\n    chardelay: false\n";
  Spawn spawn;
  spawn.argv = {"/usr/sbin/ser2net", "-n", "-u", "-c", config_path};
  if (!child_start(&s->server, spawn)) return false;
  int64_t deadline = now_ns() + (int64_t)listen_timeout_ms * 1000000;
  while (!listening(port)) {
    if (now_ns() > deadline || child_try_reap(&s->server)) {
      fprintf(stderr, "bench: ser2net did not start listening\n");
      return false;
    }
    struct timespec pause = {0, 2000000};  // no event tells: looked at every 2 ms
    nanosleep(&pause, nullptr);
  }
  s->server_url = "rfc2217://127.0.0.1:" + std::to_string(port);
  return true;
}

void network_server_stop(Session *s) {
  if (s->server.pid > 0 && !s->server.ended) {
    kill(s->server.pid, SIGTERM);
    child_wait(&s->server, 10000);
  }
  s->server = Child();
  if (!s->server_dir.empty()) {
    unlink((s->server_dir + "/ser2net.yaml").c_str());
    rmdir(s->server_dir.c_str());
    s->server_dir.clear();
  }
}
