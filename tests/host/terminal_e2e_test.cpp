// The terminal end to end: keys to the board, the board's output to the screen with
// tab stops, Ctrl-C and other ways out with both terminals given back, the console
// without a controlling terminal, and an idle tavo's processor use.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "e2e_harness.h"

namespace {

struct Session {
  E2eBoard board;
  E2eTavo tavo;
  struct termios device_before;
};

// tavo on COM1 at 9600 with the board behind it, its terminal loop running.
void start_session(Session *s, E2eOptions options = E2eOptions()) {
  ASSERT_TRUE(e2e_board_open(&s->board));
  s->device_before = e2e_board_settings(&s->board);
  options.board = &s->board;
  options.com = 1;
  if (options.args.empty()) {
    options.args = {"COM1"};
  }
  ASSERT_TRUE(e2e_start(&s->tavo, options));
  if (options.stdout_path.empty()) {
    ASSERT_TRUE(e2e_expect(&s->tavo, "Using COM1 at 9600 baud\r\n"));
  }
  ASSERT_TRUE(e2e_wait_console_raw(&s->tavo));
}

void end_session(Session *s) {
  e2e_stop(&s->tavo);
  e2e_board_close(&s->board);
}

// Ctrl-C's outcome, the same from every state: QUITTING, status 1, both terminals
// given back.
void expect_quit(Session *s) {
  EXPECT_TRUE(e2e_expect(&s->tavo, "QUITTING\n"));
  ASSERT_TRUE(e2e_wait_exit(&s->tavo));
  EXPECT_EQ(e2e_exit_status(&s->tavo), 1);
  EXPECT_EQ(e2e_settings_difference(s->device_before, e2e_board_settings(&s->board)), "")
      << "the port's settings were not given back";
  EXPECT_EQ(e2e_settings_difference(s->tavo.console_before, e2e_console_settings(&s->tavo)), "")
      << "the console's settings were not given back";
}

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) {
    s += (char)v;
  }
  return s;
}

}  // namespace

TEST(TerminalE2e, KeysReachTheBoardUnchangedAndAreNotEchoed) {
  struct Row {
    std::string typed;
    std::string board_gets;
    const char *checks;
  };
  const Row rows[] = {
      {"abc xyz", "abc xyz", "printable keys"},
      {"\r", "\r", "Enter arrives as CR"},
      {"\x7f", "\x08", "Backspace (DEL) arrives as BS"},
      {"\x08", "\x08", "a BS typed stays BS"},
      {"\x1a", "\x1a", "Ctrl-Z is a byte, it does not stop tavo"},
      {"\x1c", "\x1c", "Ctrl-\\ is a byte, it does not quit tavo"},
      {"\x1b[A\x1bOP\x1b[3~", "\x1b[A\x1bOP\x1b[3~", "cursor and function key sequences"},
      {"\x11\x13", "\x11\x13", "XON and XOFF are not flow control"},
      {"\x16\x0f\x04\x12\x17\x15", "\x16\x0f\x04\x12\x17\x15", "no line editing characters"},
      {bytes({0}), bytes({0}), "NUL"},
      {"\n", "\n", "line feed"},
      {bytes({0x80, 0xe0, 0xff}), bytes({0x80, 0xe0, 0xff}), "eight-bit bytes"},
  };
  Session s;
  start_session(&s);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.checks);
    ASSERT_TRUE(e2e_type(&s.tavo, row.typed));
    EXPECT_EQ(e2e_board_take(&s.board, row.board_gets.size()), row.board_gets);
  }
  EXPECT_EQ(e2e_board_drain(&s.board, 100), "") << "more than was typed reached the board";
  EXPECT_EQ(e2e_screen_after_mark(&s.tavo, 100), "") << "tavo echoed a key";
  end_session(&s);
}

TEST(TerminalE2e, BoardOutputShowsOnTheScreenWithTabStops) {
  struct Row {
    std::string sent;
    std::string shown;
    const char *checks;
  };
  const Row rows[] = {
      {"hello\r\n", "hello\r\n", "bytes pass as they are, no CR added or removed"},
      {"\tX\n", "        X\n", "a tab at column 0 writes eight blanks"},
      {"abc\tX\n", "abc     X\n", "a tab at column 3 writes five"},
      {"ab\r\tX\n", "ab\r     X\n", "a CR counts as a column, it does not reset it"},
      {"\b\tX\n", "\b       X\n", "a backspace counts as a column"},
      {"1234567\tX\n", "1234567 X\n", "a tab at column 7 writes one"},
      {"12345678\tX\n", "12345678        X\n", "a tab at column 8 writes eight"},
      {"a\tb\tc\n", "a       b       c\n", "consecutive stops"},
      {"abc\n\tX\n", "abc\n        X\n", "a line feed resets the column"},
  };
  Session s;
  start_session(&s);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.checks);
    ASSERT_TRUE(e2e_board_send(&s.board, row.sent));
    size_t from = s.tavo.mark;
    EXPECT_TRUE(e2e_expect(&s.tavo, row.shown));
    EXPECT_EQ(s.tavo.screen.substr(from), row.shown);
  }
  // The column carries on from one burst of bytes to the next.
  ASSERT_TRUE(e2e_board_send(&s.board, "abc"));
  ASSERT_TRUE(e2e_expect(&s.tavo, "abc"));
  ASSERT_TRUE(e2e_board_send(&s.board, "\tX\n"));
  EXPECT_TRUE(e2e_expect(&s.tavo, "     X\n"));
  // Every byte but ENQ (a service request) and TAB reaches the screen unchanged.
  std::string all;
  for (int b = 0; b < 256; b++) {
    if (b != 0x05 && b != 0x09) {
      all += (char)b;
    }
  }
  ASSERT_TRUE(e2e_board_send(&s.board, all));
  size_t from = s.tavo.mark;
  EXPECT_TRUE(e2e_expect(&s.tavo, all));
  EXPECT_EQ(s.tavo.screen.substr(from), all);
  EXPECT_EQ(e2e_board_drain(&s.board, 50), "") << "tavo sent something to the board";
  end_session(&s);
}

TEST(TerminalE2e, LongOutputArrivesWholeAndInOrder) {
  Session s;
  start_session(&s);
  std::string expected;
  for (int block = 0; block < 64; block++) {
    std::string chunk;
    for (int i = 0; i < 4096; i++) {
      int b = (block * 7 + i * 13) & 0xFF;
      chunk += (char)(b == 0x05 || b == 0x09 ? 'x' : b);
    }
    ASSERT_TRUE(e2e_board_send(&s.board, chunk));
    expected += chunk;
    ASSERT_TRUE(e2e_expect(&s.tavo, chunk)) << "block " << block;
  }
  EXPECT_EQ(s.tavo.screen.substr(s.tavo.screen.size() - expected.size()), expected);
  end_session(&s);
}

TEST(TerminalE2e, CtrlCWhileIdleQuitsAndGivesBothTerminalsBack) {
  Session s;
  start_session(&s);
  ASSERT_TRUE(e2e_ctrl_c(&s.tavo));
  expect_quit(&s);
  EXPECT_EQ(e2e_board_drain(&s.board, 50), "") << "Ctrl-C reached the board";
  end_session(&s);
}

TEST(TerminalE2e, CtrlCDuringAServiceRequestQuits) {
  Session s;
  start_session(&s);
  ASSERT_TRUE(e2e_board_send(&s.board, "\x05"));
  ASSERT_TRUE(e2e_board_expect(&s.board, "*"));  // tavo now waits for the command letter
  ASSERT_TRUE(e2e_ctrl_c(&s.tavo));
  expect_quit(&s);
  end_session(&s);
}

TEST(TerminalE2e, CtrlCAfterTypingAndOutputQuits) {
  Session s;
  start_session(&s);
  ASSERT_TRUE(e2e_type(&s.tavo, "dump 0 100\r"));
  ASSERT_TRUE(e2e_board_expect(&s.board, "dump 0 100\r"));
  ASSERT_TRUE(e2e_board_send(&s.board, "00000000 12 34\r\n> "));
  ASSERT_TRUE(e2e_expect(&s.tavo, "00000000 12 34\r\n> "));
  ASSERT_TRUE(e2e_ctrl_c(&s.tavo));
  expect_quit(&s);
  end_session(&s);
}

// The board reads nothing while keys pour in: the line stalls, the transmit side fills
// and tavo waits for room in send_byte. Ctrl-C must still end it cleanly.
TEST(TerminalE2e, CtrlCWhileWaitingForTransmitRoomQuits) {
  Session s;
  start_session(&s);
  int console = s.tavo.console;
  fcntl(console, F_SETFL, fcntl(console, F_GETFL) | O_NONBLOCK);
  std::atomic<bool> stop{false};
  std::thread typist([&] {
    std::string keys(4096, 'k');
    while (!stop.load()) {
      struct pollfd p = {console, POLLOUT, 0};
      if (poll(&p, 1, 20) == 1 && write(console, keys.data(), keys.size()) < 0) {
        continue;  // full again: poll once more
      }
    }
  });
  // The line has stalled once the bytes waiting for the board stop growing for 200 ms.
  // Nothing signals that, so the count is looked at every 2 ms.
  int waiting = 0;
  int still = 0;
  for (int look = 0; look < 5000 && still < 100; look++) {
    int now = 0;
    ioctl(s.board.master, FIONREAD, &now);
    still = now >= 1024 && now == waiting ? still + 1 : 0;
    waiting = now;
    usleep(2000);
  }
  EXPECT_EQ(still, 100) << "the line never stalled; " << waiting << " bytes waiting";
  EXPECT_TRUE(e2e_signal(&s.tavo, SIGINT));
  expect_quit(&s);
  stop = true;
  typist.join();
  end_session(&s);
}

// Standard output in a file: tavo's messages go there, the board stays on the screen.
TEST(TerminalE2e, RedirectedOutputKeepsTheBoardOnTheScreen) {
  Session s;
  E2eOptions options;
  options.stdout_path = std::string(TAVO_BINARY_DIR) + "/e2e-redirect-" +
                        std::to_string(getpid()) + ".txt";
  start_session(&s, options);
  ASSERT_TRUE(e2e_board_send(&s.board, "monitor> "));
  EXPECT_TRUE(e2e_expect(&s.tavo, "monitor> "));
  ASSERT_TRUE(e2e_ctrl_c(&s.tavo));
  ASSERT_TRUE(e2e_wait_exit(&s.tavo));
  EXPECT_EQ(e2e_exit_status(&s.tavo), 1);
  std::string out = e2e_read_file(options.stdout_path);
  EXPECT_NE(out.find("Using COM1 at 9600 baud\nQUITTING\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("monitor>"), std::string::npos) << "board output went to standard output";
  EXPECT_EQ(s.tavo.screen.find("Using COM1"), std::string::npos) << "messages went to the screen";
  unlink(options.stdout_path.c_str());
  end_session(&s);
}

// Without a controlling terminal, standard input and output are the console.
TEST(TerminalE2e, WithoutAControllingTerminalStandardInputAndOutputServe) {
  Session s;
  E2eOptions options;
  options.controlling_terminal = false;
  start_session(&s, options);
  ASSERT_TRUE(e2e_type(&s.tavo, "r\x7f"));
  EXPECT_EQ(e2e_board_take(&s.board, 2), "r\x08");
  ASSERT_TRUE(e2e_board_send(&s.board, "a\tb\r\n"));
  EXPECT_TRUE(e2e_expect(&s.tavo, "a       b\r\n"));
  ASSERT_TRUE(e2e_signal(&s.tavo, SIGINT));  // no terminal of its own to send it
  expect_quit(&s);
  end_session(&s);
}

// Other ways out: the console is given back, then the signal ends the process.
TEST(TerminalE2e, FatalSignalsGiveTheConsoleBack) {
  const int signals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGSEGV};
  for (int signal_number : signals) {
    SCOPED_TRACE(strsignal(signal_number));
    Session s;
    start_session(&s);
    ASSERT_TRUE(e2e_signal(&s.tavo, signal_number));
    ASSERT_TRUE(e2e_wait_exit(&s.tavo));
    EXPECT_TRUE(WIFSIGNALED(s.tavo.status));
    EXPECT_EQ(WIFSIGNALED(s.tavo.status) ? WTERMSIG(s.tavo.status) : -1, signal_number);
    EXPECT_EQ(e2e_settings_difference(s.tavo.console_before, e2e_console_settings(&s.tavo)), "");
    end_session(&s);
  }
}

// An idle tavo blocks: over 5 seconds it uses well under 1 % of a processor (the
// ticks are 10 ms, so 1 % of 5 s is 5 ticks).
TEST(TerminalE2e, IdleTavoUsesAlmostNoProcessor) {
  Session s;
  start_session(&s);
  long ticks_per_second = sysconf(_SC_CLK_TCK);
  long before = e2e_cpu_ticks(s.tavo.pid);
  ASSERT_GE(before, 0);
  // Idle on purpose: this sleep is the measurement, not a wait for a thread.
  sleep(5);
  long used = e2e_cpu_ticks(s.tavo.pid) - before;
  RecordProperty("idle_cpu_ticks_in_5s", (int)used);
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  long allowed = ticks_per_second * 5 / 20;  // sanitizer runtimes keep threads of their own
#else
  long allowed = ticks_per_second * 5 / 100;
#endif
  EXPECT_LE(used, allowed) << used << " ticks of " << ticks_per_second << " per second";
  ASSERT_TRUE(e2e_ctrl_c(&s.tavo));
  expect_quit(&s);
  end_session(&s);
}
