// The device path behind COMn on POSIX systems, and the watch for its return: inotify
// on the folder that holds the path and, for a symbolic link, on the folder its target
// lies in, with a retry every few hundred milliseconds besides (a device node can come
// back without an event there, or come back busy for a moment).
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include "host/console.h"
#include "host/host.h"

static const int retry_ms = 250;
static const uint32_t watched_changes = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE;

// TAVO_COM<n> when it is set, else /dev/ttyS<n-1>: the name the library opens.
const char *link_device_path(int port_number) {
  static char path[PATH_MAX];
  char variable[32];
  snprintf(variable, sizeof variable, "TAVO_COM%d", port_number);
  const char *named = getenv(variable);
  if (named != nullptr && named[0] != '\0') {
    snprintf(path, sizeof path, "%s", named);
  } else {
    snprintf(path, sizeof path, "/dev/ttyS%d", port_number - 1);
  }
  return path;
}

static std::string folder_of(const std::string &path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Watches the folder of path, or the nearest one above it that exists (a by-id
// folder goes with the last adapter in it).
static void watch_folder_of(int fd, const std::string &path) {
  std::string folder = folder_of(path);
  while (inotify_add_watch(fd, folder.c_str(), watched_changes) < 0 && folder != "/" && folder != ".") {
    folder = folder_of(folder);
  }
}

void link_watch_begin(LinkWatch *watch, const char *path) {
  watch->fd = -1;
  if (strstr(path, "://") != nullptr) {
    return;  // a network port has no folder: it is retried on the slow poll alone
  }
  watch->fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch->fd < 0) {
    return;
  }
  watch_folder_of(watch->fd, path);
  char target[PATH_MAX];
  ssize_t length = readlink(path, target, sizeof target - 1);
  if (length > 0) {
    target[length] = '\0';
    std::string resolved = target[0] == '/' ? target : folder_of(path) + "/" + target;
    watch_folder_of(watch->fd, resolved);
  }
}

void link_watch_wait(LinkWatch *watch) {
  console_wait_until(1, watch->fd, retry_ms);
}

void link_watch_end(LinkWatch *watch) {
  if (watch->fd >= 0) {
    close(watch->fd);
    watch->fd = -1;
  }
}
