// Why a device could not be opened, told on POSIX systems: the missing device and the
// variable that names it, the group that owns a device the user may not open, the
// program and process that hold a busy one (from /proc, where it lets us see: the lock
// on it, else an open file), a path
// that is no serial device.
#include <dirent.h>
#include <grp.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "host/device.h"
#include "host/host.h"
#include "serial/sio.h"

// The name of the group that owns the device, or "" when it cannot be told.
static void device_group(const char *path, char *name, size_t size) {
  struct stat st;
  struct group *group = stat(path, &st) == 0 ? getgrgid(st.st_gid) : nullptr;
  snprintf(name, size, "%s", group != nullptr ? group->gr_name : "");
}

// Whether one of the process's open files is `device` (its links in /proc/<pid>/fd,
// those this user may read).
static int process_holds(const char *pid, const char *device) {
  char directory[320], link[PATH_MAX], target[PATH_MAX];
  snprintf(directory, sizeof directory, "/proc/%s/fd", pid);
  DIR *fds = opendir(directory);
  int found = 0;
  for (struct dirent *fd; !found && fds != nullptr && (fd = readdir(fds)) != nullptr;) {
    snprintf(link, sizeof link, "%s/%s", directory, fd->d_name);
    ssize_t n = readlink(link, target, sizeof target - 1);
    found = n > 0 && (target[n] = '\0', strcmp(target, device) == 0);
  }
  if (fds != nullptr) closedir(fds);
  return found;
}

// The process that holds a lock on the device (/proc/locks: "1: FLOCK ADVISORY WRITE
// pid major:minor:inode ..." with the numbers of the file system in hex); 0 for none.
static long lock_holder(const char *path) {
  struct stat st;
  FILE *locks = stat(path, &st) == 0 ? fopen("/proc/locks", "r") : nullptr;
  char line[256];
  long found = 0;
  while (found == 0 && locks != nullptr && fgets(line, sizeof line, locks) != nullptr) {
    long pid = 0;
    unsigned major_no = 0, minor_no = 0;
    unsigned long inode = 0;
    if (sscanf(line, "%*s %*s %*s %*s %ld %x:%x:%lu", &pid, &major_no, &minor_no, &inode) == 4 &&
        major_no == major(st.st_dev) && minor_no == minor(st.st_dev) && inode == st.st_ino) {
      found = pid;
    }
  }
  if (locks != nullptr) fclose(locks);
  return found;
}

// A process other than this one that has the device open, as fuser finds it; 0 for none.
static long open_holder(const char *path) {
  char device[PATH_MAX];
  if (realpath(path, device) == nullptr) return 0;
  DIR *proc = opendir("/proc");
  long self = (long)getpid(), found = 0;
  for (struct dirent *entry; found == 0 && proc != nullptr && (entry = readdir(proc)) != nullptr;) {
    long pid = strtol(entry->d_name, nullptr, 10);
    if (pid > 0 && pid != self && process_holds(entry->d_name, device)) found = pid;
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

// "name (process pid)" of the process that holds the device: the one with a lock on it,
// else one that has it open; 0 when /proc does not tell.
static int device_holder(const char *path, char *holder, size_t size) {
  char comm_path[64], comm[64] = "";
  long found = lock_holder(path);
  if (found == 0) found = open_holder(path);
  if (found == 0) return 0;
  snprintf(comm_path, sizeof comm_path, "/proc/%ld/comm", found);
  FILE *f = fopen(comm_path, "r");
  if (f != nullptr && fgets(comm, sizeof comm, f) != nullptr) comm[strcspn(comm, "\n")] = '\0';
  if (f != nullptr) fclose(f);
  snprintf(holder, size, "%s (process %ld)", comm[0] != '\0' ? comm : "a program", found);
  return 1;
}

static void explain_missing(int port_number, const char *path, int from_variable) {
  char variable[32], source[64];
  port_variable(port_number, variable, sizeof variable);
  if (port_device_from_command_line(port_number)) {
    snprintf(source, sizeof source, "given on the command line");
  } else if (from_variable) {
    snprintf(source, sizeof source, "named by %s", variable);
  } else {
    snprintf(source, sizeof source, "COM%d's default", port_number);
  }
  host_error("tavo: %s: no such device (%s); name the adapter with %s=/dev/ttyUSB0 or on the "
             "command line (tavo /dev/ttyUSB0 115200); tavo --list shows the serial devices\n",
             path, source, variable);
}

static void explain_denied(const char *path) {
  char group[64];
  device_group(path, group, sizeof group);
  if (group[0] == '\0') {
    host_error("tavo: %s: permission denied; ask for read and write access to it\n", path);
    return;
  }
  host_error("tavo: %s: permission denied; it belongs to group %s: sudo usermod -aG %s $USER, "
             "then log in again\n", path, group, group);
}

static void explain_busy(const char *path) {
  char holder[128];
  if (!device_holder(path, holder, sizeof holder)) {
    snprintf(holder, sizeof holder, "another program");
  }
  host_error("tavo: %s: busy, held by %s; end that program or choose another port\n", path,
             holder);
}

void explain_device_refusal(int port_number, int reason) {
  char path[PATH_MAX];
  int from_variable = port_device(port_number, path, sizeof path);
  switch (reason) {
  case SIO_ERR_NO_DEVICE:
    explain_missing(port_number, path, from_variable);
    break;
  case SIO_ERR_ACCESS_DENIED:
    explain_denied(path);
    break;
  case SIO_ERR_BUSY:
    explain_busy(path);
    break;
  case SIO_ERR_NOT_SERIAL:
    host_error("tavo: %s: not a serial device; name a serial port such as /dev/ttyUSB0 "
               "(tavo --list shows them)\n", path);
    break;
  case SIO_ERR_NET_REFUSED:
    host_error("tavo: %s: the server refused the connection; is the serial server (ser2net) "
               "running and serving that port?\n", path);
    break;
  case SIO_ERR_NET_TIMED_OUT:
    host_error("tavo: %s: the server did not answer within a few seconds; check the host and "
               "port, and any firewall on the way\n", path);
    break;
  case SIO_ERR_NET_UNREACHABLE:
    host_error("tavo: %s: the host cannot be reached from this machine; check the network\n", path);
    break;
  case SIO_ERR_NET_CLOSED:
    host_error("tavo: %s: the server closed the connection at once; it may not be able to open "
               "its serial device, or another client holds it\n", path);
    break;
  case SIO_ERR_NET_UNKNOWN_HOST:
    host_error("tavo: %s: unknown host name; check its spelling, or give an IP address\n", path);
    break;
  default:
    host_error("tavo: %s: could not be opened\n", path);
    break;
  }
}
