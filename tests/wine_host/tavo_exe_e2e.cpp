// tavo.exe end to end under Wine, from the Linux side: the cross-built program runs
// through tools/wine-run in the prefix made by tools/wine-prefix, its COM3 (tavo takes
// COM1..COM4) led by the prefix's ports/com3 link to the slave of a pseudo-terminal
// pair whose master this test plays as the board. Keys come through a pipe on standard
// input (read with ReadFile). Wine gives a program started on pipes no console, so
// CONOUT$ cannot be opened and the board's output shows on standard output, after the
// "Using" line and the device's; standard output is in text mode, so each "\n" of printf is "\r\n".
// Usage: wine-host-e2e TAVO_EXE WINEPREFIX (tools/windows-test runs it).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

static std::string tavo_exe, prefix;

// tavo.exe in a directory of its own: its keys, its standard output, the board's end of COM3.
struct WineRun {
  pid_t pid = -1;
  int keys = -1, out = -1, line = -1, line_device = -1, status = -1;
  std::string screen, board_in, dir;
};

// Points the prefix's ports/com3 at target, in one step.
static void point_com3(const std::string &target) {
  std::string link = prefix + "/ports/com3", tmp = link + ".e2e";
  unlink(tmp.c_str());
  ASSERT_TRUE(symlink(target.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), link.c_str()) == 0);
}

// Moves what tavo.exe and the line give into the buffers until done() or ms have
// passed (30 s: only a hang reaches it; Wine starts in 1 to 4 s), reaping tavo.exe
// once its standard output has ended; done() at the end.
template <typename Done> static bool pump(WineRun *r, Done done, int ms = 30000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done() && r->out >= 0) {
    struct pollfd fds[2] = {{r->out, POLLIN, 0}, {r->line, POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll(fds, 2, int(left.count())) <= 0) break;
    std::string *sinks[2] = {&r->screen, &r->board_in};
    for (int i = 0; i < 2; i++) {
      char buffer[4096];
      ssize_t n = fds[i].revents & (POLLIN | POLLHUP) ? read(fds[i].fd, buffer, sizeof buffer) : -1;
      if (n > 0) sinks[i]->append(buffer, size_t(n));
      if (n == 0 && i == 0) close(r->out), r->out = -1, waitpid(r->pid, &r->status, 0);
    }
  }
  return done();
}

// Starts tavo.exe; with_line points COM3 at a fresh pseudo-terminal pair.
static void start(WineRun *r, std::vector<std::string> args, bool with_line) {
  char dir[] = "/tmp/tavo-wine-e2e-XXXXXX", path[128];
  ASSERT_NE(mkdtemp(dir), nullptr);
  r->dir = dir;
  if (with_line) {
    struct termios s;
    ASSERT_EQ(openpty(&r->line, &r->line_device, path, nullptr, nullptr), 0);
    tcgetattr(r->line_device, &s);
    cfmakeraw(&s);
    tcsetattr(r->line_device, TCSANOW, &s);
    fcntl(r->line, F_SETFL, O_NONBLOCK);
    point_com3(path);
  }
  int in[2], out[2];
  ASSERT_TRUE(pipe(in) == 0 && pipe(out) == 0);
  args.insert(args.begin(), {TAVO_SOURCE_DIR "/tools/wine-run", tavo_exe});
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  if ((r->pid = fork()) == 0) {
    dup2(in[0], 0), dup2(out[1], 1);
    for (int fd = 3; fd < 1024; fd++) close(fd);
    if (chdir(r->dir.c_str()) == 0) execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]), close(out[1]);
  r->keys = in[1], r->out = out[0];
}

static int wait_exit(WineRun *r) {
  pump(r, [&] { return r->out < 0; });
  return r->status != -1 && WIFEXITED(r->status) ? WEXITSTATUS(r->status) : -1;
}

static void stop(WineRun *r) {
  if (r->pid > 0 && r->status == -1) kill(r->pid, SIGKILL), waitpid(r->pid, &r->status, 0);
  for (int fd : {r->keys, r->out, r->line, r->line_device})
    if (fd >= 0) close(fd);
  point_com3("absent");
  EXPECT_EQ(system(("rm -rf '" + r->dir + "'").c_str()), 0);
}

static std::string hex(const std::string &data) {
  std::string s;
  char b[4];
  for (unsigned char c : data) s += (snprintf(b, sizeof b, " %02X", c), b);
  return s.substr(s.empty() ? 0 : 1);
}

// Standard output after `from`, once it holds at least `size` bytes, in hex.
static std::string screen_after(WineRun *r, size_t from, size_t size) {
  pump(r, [&] { return r->screen.size() >= from + size; });
  return hex(r->screen.substr(from));
}

// The next n bytes tavo.exe sent to the board, in hex.
static std::string board_read(WineRun *r, size_t n) {
  pump(r, [&] { return r->board_in.size() >= n; });
  std::string got = r->board_in.substr(0, n);
  r->board_in.erase(0, got.size());
  EXPECT_EQ(got.size(), n) << "the line went quiet after " << hex(got);
  return hex(got);
}

static bool board_quiet(WineRun *r, int ms) {
  return !pump(r, [&] { return !r->board_in.empty(); }, ms);
}

static void board_send(WineRun *r, const std::string &bytes) {
  ASSERT_EQ(write(r->line, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

// The board's ENQ (answered with '*') and a request line.
static void board_request(WineRun *r, const std::string &request) {
  board_send(r, "\x05");
  EXPECT_EQ(board_read(r, 1), "2A") << "bytes were left on the line";
  board_send(r, request);
}

// The banner, the "Using" line and the line naming the device and how downloads go.
static std::string banner(bool binary) {
  return "TAVO version 6.0. Terminal to the target's ROM monitor: keys go to the board, its "
         "output shows here; Ctrl-C quits.\r\nUsing COM3 at 115200 baud\r\nDevice \\\\.\\COM3; "
         "downloads go as " + std::string(binary ? "binary records (/B), each acknowledged by the board"
                                                 : "text, each character checked against its echo") + "\r\n";
}

// Text mode: the greeting, keys to the board, the board's output with tab stops, and a
// text download (each character waits for its echo; '>' closes, the board's ENQ gets ACK).
TEST(TavoExeUnderWine, TerminalAndTextDownload) {
  WineRun r;
  start(&r, {"COM3", "115200"}, true);
  EXPECT_EQ(screen_after(&r, 0, banner(false).size()), hex(banner(false)));
  const struct {
    std::string keys, board_sends, screen;  // the board gets the keys unchanged
    const char *checks;
  } rows[] = {
      {"abc xyz\r\n", "", "", "printable keys, CR, LF go out unchanged"},
      {"\x1b[A\x03\x1a\x11\x13", "", "", "ESC, Ctrl-C, Ctrl-Z, XON, XOFF from a pipe"},
      {std::string("\0\x80\xe0\xff", 4), "", "", "NUL and eight-bit bytes"},
      {"", "\tX\n", "        X\n", "a tab at column 0 writes eight blanks"},
      {"", "abc\tX\r\n", "abc     X\r\n", "a tab at column 3 writes five; CR LF stay"},
      {"", "1234567\tX\n", "1234567 X\n", "a tab at column 7 writes one"},
      {"", "\x1b[1m\xe9\x07\n", "\x1b[1m\xe9\x07\n", "escape sequences, bell, eight-bit bytes"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.checks);
    size_t from = r.screen.size();
    ASSERT_EQ(write(r.keys, row.keys.data(), row.keys.size()), ssize_t(row.keys.size()));
    EXPECT_EQ(board_read(&r, row.keys.size()), hex(row.keys));
    board_send(&r, row.board_sends);
    EXPECT_EQ(screen_after(&r, from, row.screen.size()), hex(row.screen));
  }
  EXPECT_TRUE(board_quiet(&r, 100)) << "more than was typed: " << hex(r.board_in);

  std::ofstream(r.dir + "/t.txt", std::ios::binary) << "a\r\nb\tc\x1A" "ignored";
  size_t from = r.screen.size();
  board_request(&r, "L t.txt\r");
  for (char c : std::string("a\nb\tc")) {
    EXPECT_EQ(board_read(&r, 1), hex(std::string(1, c)));
    EXPECT_TRUE(board_quiet(&r, c == 'a' ? 100 : 0)) << "sent before its echo";
    board_send(&r, std::string(1, c));
  }
  EXPECT_EQ(board_read(&r, 1), "3E");  // '>'
  board_send(&r, "\x05");
  EXPECT_EQ(board_read(&r, 1), "06");
  board_request(&r, "X idle\r");  // back in the terminal loop
  EXPECT_EQ(screen_after(&r, from, 27), hex("Loading from file <t.txt>\r\n"));
  stop(&r);
}

// Binary mode: each record goes out as 'R', type, count, bytes, and waits for ACK; a NAK
// has it sent again; an EOT ends tavo.exe with status 0.
TEST(TavoExeUnderWine, BinaryDownloadEndsWithEot) {
  WineRun r;
  start(&r, {"COM3", "115200", "/B"}, true);
  EXPECT_EQ(screen_after(&r, 0, banner(true).size()), hex(banner(true)));
  std::ofstream(r.dir + "/b.mot", std::ios::binary) << "S00600004844521B\r\nS107100001020304DE\nS9030000FC\n";
  board_request(&r, "L b.mot\r");
  const char *records[] = {"52 30 06 00 00 48 44 52 1B", "52 31 07 10 00 01 02 03 04 DE", "52 39 03 00 00 FC"};
  for (std::string record : records) {
    size_t size = (record.size() + 1) / 3;
    EXPECT_EQ(board_read(&r, size), record);
    EXPECT_TRUE(board_quiet(&r, 50)) << "the host did not wait for the answer";
    board_send(&r, "\x15");  // NAK: the same record again
    EXPECT_EQ(board_read(&r, size), record);
    board_send(&r, "\x06");
  }
  board_request(&r, "X idle\r");
  std::string out = "Loading from file <b.mot>\r\n\r00 \r\r1000 \r\r";
  EXPECT_EQ(screen_after(&r, banner(true).size(), out.size()), hex(out));
  board_request(&r, "V b.mot\r");
  EXPECT_EQ(board_read(&r, 9), records[0]);
  board_send(&r, "\x04");
  EXPECT_EQ(wait_exit(&r), 0);
  EXPECT_TRUE(board_quiet(&r, 0)) << "sent after EOT: " << hex(r.board_in);
  stop(&r);
}

// A port whose link leads to no device cannot be opened: the message, status 0.
TEST(TavoExeUnderWine, PortWithoutDeviceIsRefused) {
  WineRun r;
  start(&r, {"COM4", "9600"}, false);
  EXPECT_EQ(wait_exit(&r), 0);
  EXPECT_EQ(r.screen, "Unable to open COM4 at 9600 baud\r\n");
  stop(&r);
}

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  char exe[4096], wine_prefix[4096];  // absolute: tavo.exe runs in a directory of its own
  if (argc != 3 || !realpath(argv[1], exe) || !realpath(argv[2], wine_prefix)) {
    fprintf(stderr, "usage: wine-host-e2e TAVO_EXE WINEPREFIX\n");
    return 2;
  }
  tavo_exe = exe, prefix = wine_prefix;
  setenv("WINEPREFIX", prefix.c_str(), 1);  // for tools/wine-run
  signal(SIGPIPE, SIG_IGN);
  return RUN_ALL_TESTS();
}
