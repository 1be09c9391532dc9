// The command line end to end: every argument rule, the messages and exit statuses,
// and the console's settings given back after each way out.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include "e2e_harness.h"

namespace {

const char banner_start[] = "TAVO version 6.0. ";

std::string temp_path(const char *what) {
  return std::string(TAVO_BINARY_DIR) + "/e2e-" + what + "-" + std::to_string(getpid()) + ".txt";
}

std::string describe(const std::vector<std::string> &args) {
  std::string text;
  for (const std::string &a : args) {
    text += "[" + a + "]";
  }
  return text.empty() ? "(no arguments)" : text;
}

// Runs tavo with standard output in a file and gives that file (the exact bytes).
std::string run_to_end(const std::vector<std::string> &args, int *status, std::string *restored) {
  E2eTavo tavo;
  E2eOptions options;
  options.args = args;
  options.argv0 = "tavo";
  options.stdout_path = temp_path("out");
  EXPECT_TRUE(e2e_run(&tavo, options));
  *status = e2e_exit_status(&tavo);
  *restored = e2e_settings_difference(tavo.console_before, e2e_console_settings(&tavo));
  e2e_stop(&tavo);
  std::string out = e2e_read_file(options.stdout_path);
  unlink(options.stdout_path.c_str());
  return out;
}

std::string syntax_lines(const char *program) {
  return std::string("Syntax is ") + program + " [COMn:] [baudrate]\n      eg: " + program +
         " COM1: 9600\n";
}

}  // namespace

// Arguments that end the program before the port is used: status 0, exact output.
TEST(CommandLineE2e, RefusedCommandLinesPrintTheirMessageAndEndWithStatus0) {
  struct Row {
    std::vector<std::string> args;
    std::string output;
    const char *checks;
  };
  const std::string syntax = syntax_lines("tavo");
  const Row rows[] = {
      {{"-9600"}, syntax, "a baud rate must begin with a digit"},
      {{"-B"}, syntax, "the binary switch begins with /"},
      {{""}, syntax, "an empty argument matches no rule"},
      {{"x"}, syntax, "an unknown word"},
      {{"/"}, syntax, "a lone slash"},
      {{"/x"}, syntax, "a slash with another letter"},
      {{"CO"}, syntax, "two letters of COM are not COM"},
      {{"COM1", "xyz", "19200"}, syntax, "arguments after the bad one are never examined"},
      {{"9600", "?", "COM5"}, syntax, "a bad argument stops before a port that would fail"},
      {{"COM5"}, "Unable to open COM5 at 9600 baud\n", "port 5 passes parsing, then is refused"},
      {{"COM0"}, "Unable to open COM0 at 9600 baud\n", "port 0 is refused"},
      {{"COM"}, "Unable to open COM-48 at 9600 baud\n", "COM alone: the terminating zero - '0'"},
      {{"com9:"}, "Unable to open COM9 at 9600 baud\n", "lower case com, above COM4"},
      {{"14400"}, "Unable to open COM2 at 14400 baud\n", "a rate that is not in the list"},
      {{"300"}, "Unable to open COM2 at 300 baud\n", "a rate below the list"},
      {{"0"}, "Unable to open COM2 at 0 baud\n", "rate 0"},
      {{"4294967296"}, "Unable to open COM2 at 0 baud\n", "2^32 wraps to 0"},
      {{"99999999999"}, "Unable to open COM2 at 1215752191 baud\n", "wraps modulo 2^32"},
      {{"2147483648"}, "Unable to open COM2 at -2147483648 baud\n", "wraps to negative"},
      {{"COM2"}, "Unable to open COM2 at 9600 baud\n", "no device behind COM2: the probe fails"},
      {{"COM3", "38400"}, "Unable to open COM3 at 38400 baud\n", "valid line, no device"},
      {{"COM4:", "/B", "115200"}, "Unable to open COM4 at 115200 baud\n", "/B changes nothing here"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(describe(row.args) + ": " + row.checks);
    int status = -2;
    std::string restored;
    EXPECT_EQ(run_to_end(row.args, &status, &restored), row.output);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(restored, "") << "console settings not given back";
  }
}

TEST(CommandLineE2e, SyntaxLinesNameTheProgramAsInvoked) {
  E2eTavo tavo;
  E2eOptions options;
  options.args = {"?"};
  options.argv0 = "./some/where/tavo.bin";
  options.stdout_path = temp_path("argv0");
  ASSERT_TRUE(e2e_run(&tavo, options));
  EXPECT_EQ(e2e_exit_status(&tavo), 0);
  e2e_stop(&tavo);
  EXPECT_EQ(e2e_read_file(options.stdout_path), syntax_lines("./some/where/tavo.bin"));
  unlink(options.stdout_path.c_str());
}

// Accepted command lines: the port and rate they select show in "Using COM%d at %ld
// baud" once the board's port is open; Ctrl-C then ends with "QUITTING" and status 1.
TEST(CommandLineE2e, AcceptedCommandLinesOpenTheSelectedPortAtTheSelectedRate) {
  struct Row {
    std::vector<std::string> args;
    int com;
    long baud;
    const char *checks;
  };
  const Row rows[] = {
      {{}, 2, 9600, "no arguments: COM2 at 9600"},
      {{"com3"}, 3, 9600, "lower case com"},
      {{"COM1:"}, 1, 9600, "a colon after the digit"},
      {{"COM10"}, 1, 9600, "only the digit after COM counts"},
      {{"COM4", "1200"}, 4, 1200, "1200"},
      {{"2400"}, 2, 2400, "2400"},
      {{"4800"}, 2, 4800, "4800"},
      {{"19200"}, 2, 19200, "19200"},
      {{"38400"}, 2, 38400, "38400"},
      {{"76800"}, 2, 76800, "76800"},
      {{"115200"}, 2, 115200, "115200"},
      {{"11264"}, 2, 76800, "11264 is 76800 wrapped to 16 bits"},
      {{"4294940160"}, 2, 38400, "wraps to -27136, which is 38400 in 16 bits"},
      {{"4294951424"}, 2, 115200, "wraps to -15872, which is 115200 in 16 bits"},
      {{"9600x"}, 2, 9600, "digits end at the first non-digit"},
      {{"9600", "19200"}, 2, 19200, "a later rate overrides"},
      {{"COM1", "COM3"}, 3, 9600, "a later port overrides"},
      {{"/b"}, 2, 9600, "/b"},
      {{"/B"}, 2, 9600, "/B"},
      {{"/Bxyz"}, 2, 9600, "anything after /B is ignored"},
      {{"D"}, 2, 9600, "D is accepted and ignored"},
      {{"debug", "dummy"}, 2, 9600, "words beginning with d are ignored"},
      {{"D9600", "COM1"}, 1, 9600, "D9600 leaves the rate alone"},
      {{"COM4:", "115200", "/B"}, 4, 115200, "all three kinds"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(describe(row.args) + ": " + row.checks);
    E2eBoard board;
    ASSERT_TRUE(e2e_board_open(&board));
    struct termios device_before = e2e_board_settings(&board);
    E2eTavo tavo;
    E2eOptions options;
    options.args = row.args;
    options.board = &board;
    options.com = row.com;
    options.stdout_path = temp_path("accepted");
    ASSERT_TRUE(e2e_start(&tavo, options));
    std::string using_line = "Using COM" + std::to_string(row.com) + " at " +
                             std::to_string(row.baud) + " baud\n";
    // The banner and the "Using" line are in the file once the console is raw.
    EXPECT_TRUE(e2e_wait_console_raw(&tavo));
    EXPECT_TRUE(e2e_ctrl_c(&tavo));
    EXPECT_TRUE(e2e_wait_exit(&tavo));
    EXPECT_EQ(e2e_exit_status(&tavo), 1);
    std::string out = e2e_read_file(options.stdout_path);
    EXPECT_EQ(out.compare(0, sizeof banner_start - 1, banner_start), 0) << out;
    size_t banner_end = out.find('\n');
    ASSERT_NE(banner_end, std::string::npos) << out;
    EXPECT_EQ(out.substr(banner_end + 1), using_line + "QUITTING\n");
    EXPECT_EQ(e2e_settings_difference(device_before, e2e_board_settings(&board)), "")
        << "the port's settings were not given back";
    EXPECT_EQ(e2e_settings_difference(tavo.console_before, e2e_console_settings(&tavo)), "")
        << "the console's settings were not given back";
    e2e_stop(&tavo);
    e2e_board_close(&board);
    unlink(options.stdout_path.c_str());
  }
}

// A device that another program holds (an exclusive lock on it) probes as busy.
TEST(CommandLineE2e, BusyDeviceIsRefused) {
  E2eBoard board;
  ASSERT_TRUE(e2e_board_open(&board));
  ASSERT_EQ(flock(board.device, LOCK_EX | LOCK_NB), 0);
  E2eTavo tavo;
  E2eOptions options;
  options.args = {"COM1"};
  options.board = &board;
  options.stdout_path = temp_path("busy");
  ASSERT_TRUE(e2e_run(&tavo, options));
  EXPECT_EQ(e2e_exit_status(&tavo), 0);
  EXPECT_EQ(e2e_read_file(options.stdout_path), "Unable to open COM1 at 9600 baud\n");
  e2e_stop(&tavo);
  e2e_board_close(&board);
  unlink(options.stdout_path.c_str());
}
