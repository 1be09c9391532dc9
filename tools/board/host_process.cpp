// Starting the host program on the slave end of the line, and knowing when it has
// opened the line, so that the board's greeting is not flushed away by its set-up.
#include "board.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

int host_watch_begin(const char *slave_path) {
  int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return -1;
  if (inotify_add_watch(fd, slave_path, IN_OPEN | IN_CLOSE) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Waits up to `timeout_ms` (-1: for ever) for opens or closes of the slave and drains
// them; 1 when some came, 0 on a time-out, -1 when stopped.
static int wait_events(int watch_fd, int stop_fd, int timeout_ms) {
  struct pollfd fds[2] = {{watch_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents) return -1;
    if (n == 0) return 0;
    char events[4096];
    while (read(watch_fd, events, sizeof events) > 0) {
    }
    return 1;
  }
}

bool host_wait_ready(int watch_fd, int stop_fd) {
  if (watch_fd < 0) {
    // No way to watch: give the host a second.
    struct pollfd fd = {stop_fd, POLLIN, 0};
    return poll(&fd, 1, 1000) == 0;
  }
  if (wait_events(watch_fd, stop_fd, -1) < 0) return false;
  for (;;) {
    int got = wait_events(watch_fd, stop_fd, board_options.settle_ms);
    if (got < 0) return false;
    if (got == 0) return true;
  }
}

// The tavo next to the board's own program.
static std::string default_host(void) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "tavo";
  self[n] = 0;
  char *slash = strrchr(self, '/');
  if (slash) slash[1] = 0;
  return std::string(self) + "tavo";
}

int host_start(const char *slave_path) {
  for (int n = 1; n <= 4; n++) {
    char name[16];
    snprintf(name, sizeof name, "TAVO_COM%d", n);
    setenv(name, slave_path, 1);
  }
  std::string program = board_options.host_program.empty() ? default_host()
                                                           : board_options.host_program;
  std::vector<std::string> words{program};
  if (board_options.port) words.push_back("COM" + std::to_string(board_options.port));
  words.insert(words.end(), board_options.host_args.begin(), board_options.host_args.end());
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid != 0) return pid;
  // The host gets the signals the board ignores back, and the user's terminal as is.
  signal(SIGINT, SIG_DFL);
  signal(SIGQUIT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execvp(argv[0], argv.data());
  fprintf(stderr, "tavo-board: cannot start %s: %s\n", argv[0], strerror(errno));
  _exit(127);
}
