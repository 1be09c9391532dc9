// The terminal end to end: keys to the board, the board's output to the screen with tab
// stops, the ways out with both terminals given back, and an idle tavo's processor use.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_harness.h"

// Processor time (user + system) the process has used so far, in clock ticks.
static long cpu_ticks(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  unsigned long user = 0, system = 0;
  int got = sscanf(stat.c_str() + stat.rfind(')') + 1,
                   " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system);
  return got == 2 ? (long)(user + system) : -1;
}

struct Row {
  std::string in, out;  // typed and what the board gets, or sent and what is shown
  const char *checks;
};

TEST(TerminalE2e, KeysReachTheBoardUnchangedAndAreNotEchoed) {
  const Row rows[] = {
      {"abc xyz\r\n", "abc xyz\r\n", "printable keys, Enter as CR, line feed"},
      {"\x7f\x08", "\x08\x08", "Backspace (DEL) arrives as BS, a BS typed stays BS"},
      {"\x1a\x1c", "\x1a\x1c", "Ctrl-Z and Ctrl-\\ neither stop nor quit tavo"},
      {bytes({0, 0x80, 0xe0, 0xff}), bytes({0, 0x80, 0xe0, 0xff}), "NUL and eight-bit bytes"},
  };
  Tavo t;
  ASSERT_TRUE(tavo_up(&t));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.checks);
    type_keys(&t, row.in);
    EXPECT_EQ(hex(board_read(&t, row.out.size())), hex(row.out));
  }
  EXPECT_TRUE(board_quiet(&t, 100)) << "more than was typed: " << hex(t.line_in);
  EXPECT_EQ(t.screen, "") << "tavo echoed a key";
  tavo_stop(&t);
}

TEST(TerminalE2e, BoardOutputShowsOnTheScreenWithTabStops) {
  const Row rows[] = {
      {"hello\r\n", "hello\r\n", "bytes pass as they are, no CR added or removed"},
      {"\tX\n", "        X\n", "a tab at column 0 writes eight blanks"},
      {"abc\tX\n", "abc     X\n", "a tab at column 3 writes five"},
      {"12345678\tX\n", "12345678        X\n", "a tab at column 8 writes eight"},
      {"abc", "abc", "the column carries on from one burst of bytes ..."},
      {"\tX\n", "     X\n", "... to the next"},
  };
  Tavo t;
  ASSERT_TRUE(tavo_up(&t));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.checks);
    size_t from = t.screen.size();
    board_send(&t, row.in);
    EXPECT_TRUE(wait_screen(&t, row.out, from));
    EXPECT_EQ(t.screen.substr(from), row.out);
  }
  EXPECT_TRUE(board_quiet(&t, 50)) << "tavo sent something to the board";
  tavo_stop(&t);
}

// Every way out gives the console's settings back; Ctrl-C (SIGINT) also the port's,
// with "QUITTING" and status 1.
TEST(TerminalE2e, WaysOutGiveTheTerminalsBack) {
  struct Way {
    const char *what;
    bool in_request;
    int signal;         // 0: Ctrl-C typed on the console; otherwise sent to the process
    bool own_terminal;
  };
  const Way rows[] = {
      {"Ctrl-C while waiting for a request's letter", true, 0, true},
      {"SIGINT without a controlling terminal: stdin and stdout serve", false, SIGINT, false},
      {"SIGTERM", false, SIGTERM, true}, {"SIGHUP", false, SIGHUP, true},
      {"SIGSEGV", false, SIGSEGV, true},
  };
  for (const Way &row : rows) {
    SCOPED_TRACE(row.what);
    Tavo t;
    TavoRun run;
    run.args = {"COM1"};
    run.own_terminal = row.own_terminal;
    ASSERT_TRUE(tavo_up(&t, run));
    type_keys(&t, "r\x7f");
    EXPECT_EQ(board_read(&t, 2), "r\x08");
    if (row.in_request) {
      board_send(&t, "\x05");
      EXPECT_EQ(board_read(&t, 1), "*");
    }
    if (row.signal == 0) type_keys(&t, "\x03");
    else kill(t.pid, row.signal);
    int status = tavo_wait_exit(&t);
    EXPECT_EQ(settings(t.console_device), t.console_before) << "the console's settings";
    if (row.signal == SIGINT || row.signal == 0) {
      EXPECT_EQ(status, 1);
      EXPECT_NE((row.own_terminal ? t.out : t.screen).find("QUITTING\n"), std::string::npos);
      if (row.own_terminal) {  // and the board's output stays on the screen
        EXPECT_EQ(t.out.substr(t.out.find('\n') + 1), "Using COM1 at 9600 baud\nQUITTING\n");
      }
      EXPECT_EQ(settings(t.line_device), t.line_before) << "the port's settings";
    } else {
      EXPECT_TRUE(WIFSIGNALED(t.status) && WTERMSIG(t.status) == row.signal) << t.status;
    }
    tavo_stop(&t);
  }
}

// An idle tavo blocks: over 5 seconds it uses well under 1 % of a processor (ticks are
// 10 ms, so 1 % of 5 s is 5 ticks).
TEST(TerminalE2e, IdleTavoUsesAlmostNoProcessor) {
  Tavo t;
  ASSERT_TRUE(tavo_up(&t));
  long per_second = sysconf(_SC_CLK_TCK), before = cpu_ticks(t.pid);
  ASSERT_GE(before, 0);
  sleep(5);  // idle on purpose: this sleep is the measurement, not a wait for a thread
  long used = cpu_ticks(t.pid) - before;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  long allowed = per_second * 5 / 20;  // sanitizer runtimes keep threads of their own
#else
  long allowed = per_second * 5 / 100;
#endif
  EXPECT_LE(used, allowed) << used << " ticks of " << per_second << " per second";
  tavo_stop(&t);
}
