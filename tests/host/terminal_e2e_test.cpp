// tavo at its console end to end: every command-line rule with its message and exit
// status, the banner and the "Using" line, every way out giving both terminals back,
// keys to the board, the board's bytes to the screen, and an idle tavo's processor use.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "e2e_harness.h"

// A refused command line ends at once with status 0 and exactly its message (the line
// is held by another program then). An accepted one shows the banner, "Using ..." and
// the line naming the device, with the port set to 8N1 without handshake; Ctrl-C
// (SIGINT) ends it with "QUITTING", status 1 and the port as it was; SIGTERM, SIGHUP and
// SIGQUIT with status 128 + n and the port as it was, without a word. The console comes
// back whatever the end.
TEST(CommandLineE2e, EveryRuleWithItsMessageAndEveryWayOut) {
  // out: "Using COMn at b", "Unable to open COMn at b", or "" for syntax; end: 0 Ctrl-C,
  // -1 Ctrl-C in a request, else this signal (SIGINT: no tty).
  struct Row { std::vector<std::string> args; std::string out; const char *what; int end = 0; const char *argv0 = "tavo"; };
  const Row rows[] = {
      {{"-9600"}, "", "a baud rate must begin with a digit"}, {{""}, "", "an empty argument"},
      {{"/"}, "", "a lone slash"}, {{"CO"}, "", "two letters of COM are not COM"},
      {{"9600", "?", "COM5"}, "", "a bad argument stops before a port that would fail"},
      {{"?"}, "", "the program named as invoked", 0, "./some/where/tavo.bin"},
      {{"COM0"}, "Unable to open COM0 at 9600", "port 0"},
      {{"COM"}, "Unable to open COM-48 at 9600", "COM alone: the terminating zero - '0'"},
      {{"99999999999"}, "Unable to open COM2 at 1215752191", "wraps modulo 2^32"},
      {{"2147483648"}, "Unable to open COM2 at -2147483648", "wraps to negative"},
      {{"COM4:", "/B", "115200"}, "Unable to open COM4 at 115200", "the line is held elsewhere"},
      {{}, "Using COM2 at 9600", "no arguments"},
      {{"com3", "9600x"}, "Using COM3 at 9600", "lower case com; digits end at a non-digit"},
      {{"COM10"}, "Using COM1 at 9600", "only the digit after COM counts; Ctrl-C while a "
                                        "request waits for its letter", -1},
      {{"COM4", "1200"}, "Using COM4 at 1200", "1200; SIGTERM", SIGTERM},
      {{"COM3", "2400"}, "Using COM3 at 2400", "2400; SIGHUP", SIGHUP},
      {{"COM1", "4800"}, "Using COM1 at 4800", "4800; SIGQUIT", SIGQUIT},
      {{"38400"}, "Using COM2 at 38400", "38400; SIGINT with no controlling terminal", SIGINT},
      {{"11264"}, "Using COM2 at 76800", "11264 is 76800 wrapped to 16 bits; SIGSEGV", SIGSEGV},
      {{"4294940160"}, "Using COM2 at 38400", "wraps to -27136, which is 38400 in 16 bits"},
      {{"COM1", "9600", "COM3", "19200"}, "Using COM3 at 19200", "a later port and rate override"},
      {{"/b", "/Bxyz"}, "Using COM2 at 9600", "/b; after /B: ignored"},
      {{"debug", "D9600", "COM1"}, "Using COM1 at 9600", "words beginning with d or D are ignored"},
      {{"COM4:", "115200", "/B"}, "Using COM4 at 115200", "all three kinds"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    bool accepted = row.out.compare(0, 5, "Using") == 0, quits = row.end <= 0 || row.end == SIGINT;
    bool ends = row.end == SIGTERM || row.end == SIGHUP || row.end == SIGQUIT, fatal = !quits && !ends;
    std::string p = row.argv0, out = row.out.empty() ? "Syntax is " + p + " [COMn:] [baudrate]\n"
                                     "      eg: " + p + " COM1: 9600\n" : row.out + " baud\n";
    Tavo t;
    TavoRun run{row.args, TAVO_EXE, p, row.end != SIGINT, !accepted, 0, {}};
    ASSERT_TRUE(tavo_start(&t, run, accepted));
    struct termios line;
    tcgetattr(t.line_device, &line);
    EXPECT_TRUE(!accepted || (line.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS)) == CS8);
    if (accepted && row.end == -1) board_request(&t, "");
    if (accepted && row.end <= 0) type_keys(&t, "\x03");
    if (row.end > 0) kill(t.pid, row.end);
    EXPECT_EQ(tavo_wait_exit(&t), !accepted ? 0 : quits ? 1 : ends ? 128 + row.end : -1);
    EXPECT_TRUE(!fatal || (WIFSIGNALED(t.status) && WTERMSIG(t.status) == row.end)) << t.status;
    std::string shown = row.end == SIGINT ? t.screen : t.out;
    if (row.end == SIGINT)  // the console's line ends
      shown.erase(std::remove(shown.begin(), shown.end(), '\r'), shown.end());
    EXPECT_EQ(shown.find("TAVO version 6.0. "), accepted ? 0 : std::string::npos) << shown;
    bool binary = std::any_of(row.args.begin(), row.args.end(), [](const std::string &a) {
      return a[0] == '/' && (a[1] == 'B' || a[1] == 'b');
    });
    std::string device = !accepted ? "" : "Device " + t.line_path + " (TAVO_COM" + row.out.substr(9, 1) +
                         "); downloads go as " + (binary ? "binary records (/B), each acknowledged by the board"
                                                         : "text, each character checked against its echo") + "\n";
    EXPECT_EQ(shown.substr(accepted ? shown.find('\n') + 1 : 0),
              out + (accepted ? device : "") + (accepted && quits ? "QUITTING\n" : ""));
    EXPECT_EQ(fatal ? t.line_before : settings(t.line_device), t.line_before) << "the port's";
    EXPECT_EQ(settings(t.console_device), t.console_before) << "the console's settings";
    tavo_stop(&t);
  }
}

// Keys go to the board unchanged and are not echoed; the board's bytes show as they
// are, a tab moving to the next multiple of eight, the column kept across bursts.
TEST(TerminalE2e, KeysToTheBoardItsBytesToTheScreenAndIdleUsesNoProcessor) {
  struct Row { bool key; std::string in, out; const char *what; };  // typed and got, or sent and shown
  const std::string odd("\x1a\x1c\0\x80\xe0\xff", 6);
  const Row rows[] = {
      {true, "abc xyz\r\n", "abc xyz\r\n", "printable keys, Enter as CR, line feed"},
      {true, "\x7f\x08", "\x08\x08", "Backspace (DEL) arrives as BS, a BS typed stays BS"},
      {true, odd, odd, "Ctrl-Z and Ctrl-\\ neither stop nor quit tavo; NUL and 8-bit bytes"},
      {false, "hi\r\n\tX\n", "hi\r\n        X\n", "bytes pass as they are, no CR added or "
                                                "removed; a tab at column 0 writes eight blanks"},
      {false, "12345678\tX\n", "12345678        X\n", "a tab at column 8 writes eight"},
      {false, "abc", "abc", "the column carries on from one burst of bytes ..."},
      {false, "\tX\n", "     X\n", "... to the next"},
  };
  Tavo t;
  ASSERT_TRUE(tavo_start(&t));
  std::string shown;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    if (row.key) type_keys(&t, row.in);
    if (row.key) EXPECT_EQ(hex(board_read(&t, row.out.size())), hex(row.out));
    else board_send(&t, row.in), wait_for(&t, &Tavo::screen, 0, shown += row.out);
  }
  EXPECT_TRUE(board_quiet(&t, 100)) << "more than was typed: " << hex(t.line_in);
  EXPECT_EQ(t.screen, shown) << "a key was echoed or a byte shown twice";
  // Idle, tavo blocks: over 5 seconds it uses well under 1 % of a processor.
  double before = tavo_cpu_ms(&t);
  sleep(5);  // idle on purpose: this sleep is the measurement, not a wait for a thread
  EXPECT_LE(tavo_cpu_ms(&t) - before, 50.0 * kSlowdown) << "ms of processor time over 5 s idle";
  tavo_stop(&t);
}
