// --list on POSIX systems: the serial devices of the machine from sysfs (never opened:
// opening a UART can disturb what is on it), one a line: the /dev/serial/by-id/ name
// where there is one, the device node, the driver, a USB adapter's ids, serial number
// and product, and the COM ports that lead to it. TAVO_SYSFS_ROOT and TAVO_DEV_ROOT
// stand in for /sys and /dev (a test's fake tree).
#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "host/device.h"
#include "host/host.h"

static const int listed_ports = 4;  // tavo opens COM1 to COM4
static const int usb_search_depth = 6;  // tty, interface, device: a few levels at most

static std::string root(const char *variable, const char *standard) {
  const char *value = getenv(variable);
  return value != nullptr && value[0] != '\0' ? value : standard;
}

// A small sysfs file's first line, or "" when there is none.
static std::string read_attribute(const std::string &path) {
  char line[256] = "";
  FILE *f = fopen(path.c_str(), "r");
  if (f != nullptr && fgets(line, sizeof line, f) == nullptr) line[0] = '\0';
  if (f != nullptr) fclose(f);
  line[strcspn(line, "\n")] = '\0';
  return line;
}

static std::string link_name(const std::string &path) {
  char target[PATH_MAX];
  ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = '\0';
  const char *slash = strrchr(target, '/');
  return slash != nullptr ? slash + 1 : target;
}

static bool exists(const std::string &path) {
  return access(path.c_str(), F_OK) == 0;
}

static std::string parent(const std::string &dir) {
  size_t slash = dir.rfind('/');
  return slash == std::string::npos || slash == 0 ? "" : dir.substr(0, slash);
}

// The driver of the hardware behind the tty. Newer kernels put the serial core's own
// port and controller devices (bus serial-base) between the tty and the UART's device.
static std::string driver_name(const std::string &tty) {
  char resolved[PATH_MAX];
  if (realpath((tty + "/device").c_str(), resolved) == nullptr) return "";
  std::string dir = resolved;
  while (!dir.empty() && link_name(dir + "/subsystem") == "serial-base") dir = parent(dir);
  return dir.empty() ? "" : link_name(dir + "/driver");
}

// A ttyS node is listed only with a UART behind it (port type not 0, "unknown").
static bool has_hardware(const std::string &tty, const std::string &name) {
  std::string type = read_attribute(tty + "/type");
  if (name.compare(0, 4, "ttyS") == 0 && type.empty()) return false;
  return type.empty() || strtol(type.c_str(), nullptr, 10) != 0;
}

// "  vvvv:pppp  serial S  "product"" of the USB device above the tty, or "".
static std::string usb_details(const std::string &tty) {
  char resolved[PATH_MAX];
  if (realpath((tty + "/device").c_str(), resolved) == nullptr) return "";
  std::string dir = resolved;
  for (int level = 0; level < usb_search_depth && !dir.empty() && !exists(dir + "/idVendor"); level++) {
    dir = parent(dir);
  }
  if (dir.empty() || !exists(dir + "/idVendor")) return "";
  std::string text = "  " + read_attribute(dir + "/idVendor") + ":" + read_attribute(dir + "/idProduct");
  std::string serial = read_attribute(dir + "/serial"), product = read_attribute(dir + "/product");
  if (!serial.empty()) text += "  serial " + serial;
  if (!product.empty()) text += "  \"" + product + "\"";
  return text;
}

// The /dev/serial/by-id/ link that leads to the node, or "".
static std::string by_id_name(const std::string &dev, const std::string &name) {
  std::string dir = dev + "/serial/by-id";
  DIR *links = opendir(dir.c_str());
  std::string found;
  for (struct dirent *entry; found.empty() && links != nullptr && (entry = readdir(links)) != nullptr;) {
    if (entry->d_name[0] != '.' && link_name(dir + "/" + entry->d_name) == name) {
      found = std::string("/dev/serial/by-id/") + entry->d_name;
    }
  }
  if (links != nullptr) closedir(links);
  return found;
}

// The node a port's device path comes to, links followed within the dev root.
static std::string port_node(const std::string &dev, int port_number) {
  char path[PATH_MAX], resolved[PATH_MAX];
  port_device(port_number, path, sizeof path);
  std::string inside = strncmp(path, "/dev/", 5) == 0 ? dev + (path + 4) : path;
  const char *name = realpath(inside.c_str(), resolved) != nullptr ? resolved : path;
  const char *slash = strrchr(name, '/');
  return slash != nullptr ? slash + 1 : name;
}

// "  COM1 (TAVO_COM1), COM3" for the ports that lead to the node, or "".
static std::string ports_of(const std::string &dev, const std::string &name) {
  std::string text;
  for (int n = 1; n <= listed_ports; n++) {
    char variable[32];
    if (port_node(dev, n) != name) continue;
    text += text.empty() ? "  " : ", ";
    text += "COM" + std::to_string(n);
    if (port_variable(n, variable, sizeof variable)) text += std::string(" (") + variable + ")";
  }
  return text;
}

// Prints the tty's line; false when it is not a serial device with hardware.
static bool list_one(const std::string &sys, const std::string &dev, const char *name) {
  std::string tty = sys + "/class/tty/" + name;
  if (name[0] == '.' || !exists(tty + "/device") || !has_hardware(tty, name)) return false;
  std::string by_id = by_id_name(dev, name), driver = driver_name(tty);
  printf("%s%s/dev/%s  %s%s%s\n", by_id.c_str(), by_id.empty() ? "" : "  ", name,
         driver.empty() ? "unknown driver" : driver.c_str(), usb_details(tty).c_str(),
         ports_of(dev, name).c_str());
  return true;
}

void list_serial_ports(void) {
  std::string sys = root("TAVO_SYSFS_ROOT", "/sys"), dev = root("TAVO_DEV_ROOT", "/dev");
  struct dirent **entries = nullptr;
  int count = scandir((sys + "/class/tty").c_str(), &entries, nullptr, versionsort);
  int listed = 0;
  for (int i = 0; i < count; i++) {
    listed += list_one(sys, dev, entries[i]->d_name);
    free(entries[i]);
  }
  free(entries);
  if (listed == 0) {
    printf("No serial devices found in %s/class/tty\n", sys.c_str());
  }
}
