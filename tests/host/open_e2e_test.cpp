// Choosing the port and hearing why it could not be opened, end to end: a device path
// as the port, every reason of a refused open on standard error (standard output and
// status as they always were), --help, --list against a fake sysfs tree, and tavo's own
// lines on a raw console (CR LF, a fresh line after the board's) and redirected (bytes
// unchanged).
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "e2e_harness.h"

static const std::string text_kind = "text, each character checked against its echo";

static std::string self_name(void) {
  std::string comm = read_file("/proc/self/comm");
  return comm.substr(0, comm.find('\n'));
}

// A run that is refused: "Unable to open ..." alone on standard output, status 0, and
// on standard error (the console here) one line with the device and what to do.
TEST(OpenE2e, EveryRefusalSaysWhyOnALineOfItsOwn) {
  char file[] = "/tmp/tavo-not-serial-XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  // Standard output, whole; pieces of the line on standard error, in order.
  struct Row { const char *what; TavoRun run; std::string out; std::vector<std::string> why; };
  std::string self = self_name() + " (process " + std::to_string(getpid()) + ")";
  std::vector<Row> rows = {
      {"no such device: the variable to set, and --list",
       tavo_args({"COM3:", "115200"}, {{"TAVO_COM3", "/nonexistent/ttyUSB7"}}),
       "Unable to open COM3 at 115200 baud\n",
       {"tavo: /nonexistent/ttyUSB7: no such device (named by TAVO_COM3); ", "TAVO_COM3=/dev/ttyUSB0",
        "tavo --list"}},
      {"no such device given on the command line: said so, not blamed on the variable",
       tavo_args({"/nonexistent/ttyUSB8", "COM3:"}),
       "Unable to open COM3 at 9600 baud\n",
       {"tavo: /nonexistent/ttyUSB8: no such device (given on the command line); "}},
      {"busy: the program and process holding it",
       {{"COM4:"}, TAVO_EXE, "tavo", true, true, 0, {}, {}},
       "Unable to open COM4 at 9600 baud\n", {": busy, held by " + self + "; end that program"}},
      {"not a serial device: a file given as the port",
       tavo_args({"COM1", file}),
       "Unable to open COM1 at 9600 baud\n",
       {std::string("tavo: ") + file + ": not a serial device; ", "tavo --list"}},
      {"a rate that is not offered: the rates",
       tavo_args({"14400"}), "Unable to open COM2 at 14400 baud\n",
       {"tavo: 14400 baud is not offered; the rates are 1200, 2400, 4800, 9600, 19200, 38400, "
        "76800, 115200\r\n"}},
      {"a port outside 1 to 4", tavo_args({"COM5"}),
       "Unable to open COM5 at 9600 baud\n", {"tavo: COM5 is not a port tavo opens; give COM1: to COM4:"}},
      {"a network port whose server refuses the connection",
       tavo_args({"tcp://127.0.0.1:1"}),
       "Unable to open COM2 at 9600 baud\n",
       {"tavo: tcp://127.0.0.1:1: the server refused the connection; "}},
      {"a network port whose host name does not resolve",
       tavo_args({"COM3:", "rfc2217://no-such-host.invalid:3001"}),
       "Unable to open COM3 at 9600 baud\n",
       {"tavo: rfc2217://no-such-host.invalid:3001: unknown host name; "}},
  };
  for (Row &row : rows) {
    SCOPED_TRACE(row.what);
    Tavo t;
    ASSERT_TRUE(tavo_start(&t, row.run, false));
    EXPECT_EQ(tavo_wait_exit(&t), 0);
    EXPECT_EQ(t.out, row.out);
    size_t at = 0;
    for (const std::string &piece : row.why) {
      at = t.screen.find(piece, at);
      EXPECT_NE(at, std::string::npos) << "\"" << piece << "\" in: " << t.screen;
    }
    EXPECT_EQ(std::count(t.screen.begin(), t.screen.end(), '\n'), 1) << "one line: " << t.screen;
    tavo_stop(&t);
  }
  unlink(file);
}

// Permission denied names the group that owns the device and how to join it. Root opens
// anything, so a root test runs tavo as nobody.
TEST(OpenE2e, PermissionDeniedNamesTheGroup) {
  if (geteuid() == 0 && getpwnam("nobody") == nullptr)
    GTEST_SKIP() << "skipped: running as root and there is no user nobody to run tavo as";
  TavoRun run = tavo_args({"COM2:"});
  run.line_denied = true;
  Tavo t;
  ASSERT_TRUE(tavo_start(&t, run, false));
  EXPECT_EQ(tavo_wait_exit(&t), 0);
  EXPECT_EQ(t.out, "Unable to open COM2 at 9600 baud\n");
  struct stat st;
  ASSERT_EQ(stat(t.line_path.c_str(), &st), 0);
  std::string group = getgrgid(st.st_gid)->gr_name;
  EXPECT_NE(t.screen.find("tavo: " + t.line_path + ": permission denied; it belongs to group " + group +
                          ": sudo usermod -aG " + group + " $USER, then log in again"),
            std::string::npos) << t.screen;
  tavo_stop(&t);
}

// A device path as the port: COM1..4 lead nowhere, the path given is what opens, for the
// port in force (COM2 by default, or the one named, before or after it); the line after
// "Using" names it and how downloads go.
TEST(OpenE2e, ADevicePathIsThePortForThisRun) {
  const struct { std::vector<std::string> args; const char *port, *kind; } rows[] = {
      {{"115200"}, "COM2 at 115200", "text, each character checked against its echo"},
      {{"/B", "COM4:"}, "COM4 at 9600", "binary records (/B), each acknowledged by the board"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.port);
    TavoRun run = tavo_args(row.args);
    run.line_argument = true;
    Tavo t;
    ASSERT_TRUE(tavo_start(&t, run));
    std::string expected = std::string("Using ") + row.port + " baud\nDevice " + t.line_path +
                           " (from the command line); downloads go as " + row.kind + "\n";
    EXPECT_EQ(wait_for(&t, &Tavo::out, 0, expected).substr(t.out.find('\n') + 1), expected);
    board_check_idle(&t);
    tavo_stop(&t);
  }
}

// --help: the two syntax lines as they are, then the usage; --list: the serial devices of
// a fake sysfs and /dev, one a line, the ports that lead to each; none opened.
TEST(OpenE2e, HelpAndTheListOfSerialDevices) {
  Tavo help;
  ASSERT_TRUE(tavo_start(&help, tavo_args({"COM1", "--help", "?"}), false));
  EXPECT_EQ(tavo_wait_exit(&help), 0);
  EXPECT_EQ(help.out.find("Syntax is tavo [COMn:] [baudrate]\n      eg: tavo COM1: 9600\n\n"), 0u) << help.out;
  for (const char *topic : {"/B", "115200", "/dev/ttyUSB0", "TAVO_COM<n>", "--list", "README"})
    EXPECT_NE(help.out.find(topic), std::string::npos) << topic;
  tavo_stop(&help);

  char root[] = "/tmp/tavo-sysfs-XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  const std::string r = root, usb = "devices/pci0/usb1/1-1", acm = "devices/pci0/usb1/1-2",
                    uart = "devices/pnp0/00:01", by_id = "usb-FTDI_FT232R_USB_UART_A1234-if00-port0";
  std::string script = "set -e; cd '" + r + "'; mkdir -p sys/class/tty sys/bus dev/serial/by-id; cd sys;"
      // a USB adapter (ftdi_sio) with a by-id link
      "mkdir -p " + usb + "/1-1:1.0/ttyUSB0 class/tty/ttyUSB0;"
      "ln -s ../../../" + usb + "/1-1:1.0/ttyUSB0 class/tty/ttyUSB0/device;"
      "ln -s /bus/usb-serial/drivers/ftdi_sio " + usb + "/1-1:1.0/ttyUSB0/driver;"
      "echo 0403 >" + usb + "/idVendor; echo 6001 >" + usb + "/idProduct;"
      "echo A1234 >" + usb + "/serial; echo 'FT232R USB UART' >" + usb + "/product;"
      // an ACM modem without a serial number
      "mkdir -p " + acm + "/1-2:1.0 class/tty/ttyACM0; ln -s ../../../" + acm + "/1-2:1.0 class/tty/ttyACM0/device;"
      "ln -s /bus/usb/drivers/cdc_acm " + acm + "/1-2:1.0/driver;"
      "echo 2341 >" + acm + "/idVendor; echo 0043 >" + acm + "/idProduct; echo 'Arduino Uno' >" + acm + "/product;"
      // a UART behind the serial core's port and controller devices
      "mkdir -p " + uart + "/00:01:0/00:01:0.0 class/tty/ttyS0; echo 4 >class/tty/ttyS0/type;"
      "ln -s ../../../" + uart + "/00:01:0/00:01:0.0 class/tty/ttyS0/device;"
      "for d in " + uart + "/00:01:0 " + uart + "/00:01:0/00:01:0.0; do ln -s /bus/serial-base $d/subsystem; done;"
      "ln -s /bus/serial-base/drivers/port " + uart + "/00:01:0/00:01:0.0/driver;"
      "ln -s /bus/pnp/drivers/serial " + uart + "/driver;"
      // ttyS nodes without hardware (type 0, no type), a virtual terminal (no device)
      "mkdir -p devices/platform/serial8250/tty/ttyS1 class/tty/ttyS1 class/tty/ttyS2 class/tty/tty0;"
      "echo 0 >class/tty/ttyS1/type; ln -s ../../../devices/platform/serial8250/tty/ttyS1 class/tty/ttyS1/device;"
      "ln -s ../../../devices/platform/serial8250/tty/ttyS1 class/tty/ttyS2/device;"
      "cd ../dev; touch ttyUSB0 ttyACM0 ttyS0 ttyS1; ln -s ../../ttyUSB0 serial/by-id/" + by_id;
  ASSERT_EQ(system(script.c_str()), 0);
  const struct { std::string sys, out; } rows[] = {
      {r + "/sys",
       "/dev/ttyACM0  cdc_acm  2341:0043  \"Arduino Uno\"  COM3 (TAVO_COM3)\n"
       "/dev/ttyS0  serial  COM1\n"
       "/dev/serial/by-id/" + by_id + "  /dev/ttyUSB0  ftdi_sio  0403:6001  serial A1234  \"FT232R USB UART\"  "
       "COM2 (TAVO_COM2), COM4 (TAVO_COM4)\n"},
      {r + "/dev", "No serial devices found in " + r + "/dev/class/tty\n"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.sys);
    TavoRun run = tavo_args({"--list"}, {{"TAVO_SYSFS_ROOT", row.sys}, {"TAVO_DEV_ROOT", r + "/dev"}, {"TAVO_COM1", ""},
                                        {"TAVO_COM2", "/dev/serial/by-id/" + by_id}, {"TAVO_COM3", "/dev/ttyACM0"},
                                        {"TAVO_COM4", "/dev/ttyUSB0"}});
    Tavo t;
    ASSERT_TRUE(tavo_start(&t, run, false));
    EXPECT_EQ(tavo_wait_exit(&t), 0);
    EXPECT_EQ(t.out, row.out);
    tavo_stop(&t);
  }
  EXPECT_EQ(system(("rm -rf '" + r + "'").c_str()), 0);
}

// tavo's own lines after the board left the cursor in mid-line: on the raw console
// (standard output is the console, controlling terminal or not) each starts at column 0
// and ends in CR LF;
// redirected to a pipe, standard output holds exactly the bytes it always did.
TEST(OpenE2e, OwnLinesOnTheRawConsoleAndRedirected) {
  for (int how : {0, 1, 2}) {  // on the console: its controlling terminal, a terminal alone; redirected
    const bool redirected = how == 2;
    SCOPED_TRACE(how == 0 ? "on the controlling terminal" : how == 1 ? "on a terminal alone" : "redirected");
    TavoRun run;
    run.own_terminal = how != 1, run.out_on_console = how == 0;
    Tavo t;
    ASSERT_TRUE(tavo_start(&t, run));
    wait_for(&t, redirected ? &Tavo::out : &Tavo::screen, 0, "against its echo");  // the device's line
    size_t from = t.screen.size();
    board_send(&t, "\r\n> ");
    wait_for(&t, &Tavo::screen, from, "> ");
    board_request(&t, "L missing.txt\r");
    EXPECT_EQ(board_read(&t, 1), ">");
    board_send(&t, "\r\nmonitor> ");
    wait_for(&t, &Tavo::screen, from, "monitor> ");
    kill(t.pid, SIGINT);  // Ctrl-C (the console is no controlling terminal in one row)
    EXPECT_EQ(tavo_wait_exit(&t), 1);
    std::string device = "Device " + t.line_path + " (TAVO_COM1); downloads go as " + text_kind;
    if (redirected) {
      EXPECT_EQ(t.out.substr(t.out.find('\n') + 1), "Using COM1 at 115200 baud\n" + device +
                                                         "\nCan't open file <missing.txt>\nQUITTING\n");
      EXPECT_EQ(t.screen.substr(from), "\r\n> \r\nmonitor> ") << "the board's bytes alone";
    } else {
      EXPECT_EQ(t.screen.substr(from), "\r\n> \r\nCan't open file <missing.txt>\r\n\r\nmonitor> \r\nQUITTING\r\n\r");
    }
    tavo_stop(&t);
  }
}
