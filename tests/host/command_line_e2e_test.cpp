// The command line end to end: every argument rule with its message and exit status,
// the banner and the "Using" line, and both terminals given back.
#include <gtest/gtest.h>
#include <termios.h>

#include "e2e_harness.h"

static std::string syntax(const std::string &program) {
  return "Syntax is " + program + " [COMn:] [baudrate]\n      eg: " + program + " COM1: 9600\n";
}
static std::string unable(const char *what) { return std::string("Unable to open ") + what + " baud\n"; }
static std::string using_(const char *what) { return std::string("Using ") + what + " baud\n"; }

// A refused command line ends at once with status 0 and exactly its message (the board's
// device on COM1 is then held by another program, an exclusive lock). An accepted one
// prints the banner and "Using COM%d at %ld baud" once the board's port is open, set to
// 8N1 without handshake; Ctrl-C then ends it with "QUITTING", status 1, and the port's
// settings as they were. The console's settings are given back either way.
TEST(CommandLineE2e, EveryRuleWithItsMessageAndStatus) {
  struct Row {
    std::vector<std::string> args;
    std::string out;  // standard output (after the banner, before "QUITTING")
    const char *checks;
    const char *argv0 = "tavo";
  };
  const Row rows[] = {
      {{"-9600"}, syntax("tavo"), "a baud rate must begin with a digit"},
      {{"-B"}, syntax("tavo"), "the binary switch begins with /"},
      {{""}, syntax("tavo"), "an empty argument"}, {{"x"}, syntax("tavo"), "an unknown word"},
      {{"/"}, syntax("tavo"), "a lone slash"}, {{"/x"}, syntax("tavo"), "a slash, another letter"},
      {{"CO"}, syntax("tavo"), "two letters of COM are not COM"},
      {{"COM1", "xyz", "19200"}, syntax("tavo"), "arguments after the bad one are never examined"},
      {{"9600", "?", "COM5"}, syntax("tavo"), "a bad argument stops before a port that would fail"},
      {{"?"}, syntax("./some/where/tavo.bin"), "the program named as invoked", "./some/where/tavo.bin"},
      {{"COM5"}, unable("COM5 at 9600"), "port 5 parses"}, {{"COM0"}, unable("COM0 at 9600"), "port 0"},
      {{"COM"}, unable("COM-48 at 9600"), "COM alone: the terminating zero - '0'"},
      {{"com9:"}, unable("COM9 at 9600"), "lower case com, above COM4"},
      {{"14400"}, unable("COM2 at 14400"), "a rate that is not in the list"},
      {{"300"}, unable("COM2 at 300"), "a rate below the list"}, {{"0"}, unable("COM2 at 0"), "rate 0"},
      {{"4294967296"}, unable("COM2 at 0"), "2^32 wraps to 0"},
      {{"99999999999"}, unable("COM2 at 1215752191"), "wraps modulo 2^32"},
      {{"2147483648"}, unable("COM2 at -2147483648"), "wraps to negative"},
      {{"COM2"}, unable("COM2 at 9600"), "no device behind COM2"},
      {{"COM3", "38400"}, unable("COM3 at 38400"), "a valid line, no device"},
      {{"COM4:", "/B", "115200"}, unable("COM4 at 115200"), "/B changes nothing here"},
      {{"COM1"}, unable("COM1 at 9600"), "a device another program holds is busy"},
      {{}, using_("COM2 at 9600"), "no arguments: COM2 at 9600"},
      {{"com3"}, using_("COM3 at 9600"), "lower case com"}, {{"COM1:"}, using_("COM1 at 9600"), "a colon"},
      {{"COM10"}, using_("COM1 at 9600"), "only the digit after COM counts"},
      {{"COM4", "1200"}, using_("COM4 at 1200"), "1200"}, {{"2400"}, using_("COM2 at 2400"), "2400"},
      {{"4800"}, using_("COM2 at 4800"), "4800"}, {{"19200"}, using_("COM2 at 19200"), "19200"},
      {{"38400"}, using_("COM2 at 38400"), "38400"}, {{"76800"}, using_("COM2 at 76800"), "76800"},
      {{"115200"}, using_("COM2 at 115200"), "115200"},
      {{"11264"}, using_("COM2 at 76800"), "11264 is 76800 wrapped to 16 bits"},
      {{"4294940160"}, using_("COM2 at 38400"), "wraps to -27136, which is 38400 in 16 bits"},
      {{"4294951424"}, using_("COM2 at 115200"), "wraps to -15872, which is 115200 in 16 bits"},
      {{"9600x"}, using_("COM2 at 9600"), "digits end at the first non-digit"},
      {{"9600", "19200"}, using_("COM2 at 19200"), "a later rate overrides"},
      {{"COM1", "COM3"}, using_("COM3 at 9600"), "a later port overrides"},
      {{"/b"}, using_("COM2 at 9600"), "/b"}, {{"/B"}, using_("COM2 at 9600"), "/B"},
      {{"/Bxyz"}, using_("COM2 at 9600"), "after /B: ignored"}, {{"D"}, using_("COM2 at 9600"), "D"},
      {{"debug", "dummy"}, using_("COM2 at 9600"), "words beginning with d are ignored"},
      {{"D9600", "COM1"}, using_("COM1 at 9600"), "D9600 leaves the rate alone"},
      {{"COM4:", "115200", "/B"}, using_("COM4 at 115200"), "all three kinds"},
  };
  const std::string banner = "TAVO version 6.0. ";
  for (const Row &row : rows) {
    SCOPED_TRACE(row.checks);
    bool accepted = row.out.compare(0, 9, "Using COM") == 0;
    Tavo t;
    TavoRun run;
    run.args = row.args;
    run.argv0 = row.argv0;
    run.com = accepted ? row.out[9] - '0' : 1;
    run.line_locked = !accepted;
    if (!accepted) {
      ASSERT_TRUE(tavo_start(&t, run));
      EXPECT_EQ(tavo_wait_exit(&t), 0);
      EXPECT_EQ(t.out, row.out);
    } else {
      ASSERT_TRUE(tavo_up(&t, run));
      struct termios line;
      tcgetattr(t.line_device, &line);
      EXPECT_EQ(line.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS), (tcflag_t)CS8);
      type_keys(&t, "\x03");
      EXPECT_EQ(tavo_wait_exit(&t), 1);
      EXPECT_EQ(t.out.compare(0, banner.size(), banner), 0) << t.out;
      EXPECT_EQ(t.out.substr(t.out.find('\n') + 1), row.out + "QUITTING\n");
      EXPECT_EQ(settings(t.line_device), t.line_before) << "the port's settings";
    }
    EXPECT_EQ(settings(t.console_device), t.console_before) << "the console's settings";
    tavo_stop(&t);
  }
}
