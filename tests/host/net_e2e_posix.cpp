// tavo end to end with its board behind ser2net (TAVO_COM1 an rfc2217:// port): the
// terminal both ways, a text load and a binary load as on a local line, ser2net restarted.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "net/ser2net.h"

namespace {

// tavo on a line that is ser2net's RFC 2217 port on the board's pseudo-terminal.
struct NetworkE2e : ::testing::Test {
  void start(TavoRun run) {
    if (!ser2net_installed()) GTEST_SKIP() << "skipped: ser2net is not installed (tools/install-deps installs it)";
    run.line_name = [this](const std::string &path) {
      return ser2net_start(&server, true, &why, path) ? ser2net_url(server) : std::string();
    };
    ASSERT_TRUE(tavo_start(&t, run)) << why;
  }
  void TearDown() override { tavo_stop(&t), ser2net_close(&server); }
  Ser2net server;
  std::string why;
  Tavo t;
};

}  // namespace

TEST_F(NetworkE2e, TerminalTextLoadAndSer2netRestarted) {
  start(TavoRun());
  if (IsSkipped() || HasFatalFailure()) return;
  type_keys(&t, "abc\r");
  EXPECT_EQ(hex(board_read(&t, 4)), hex("abc\r"));
  board_send(&t, "monitor> ");
  EXPECT_NE(wait_for(&t, &Tavo::screen, 0, "monitor> ").find("monitor> "), std::string::npos) << t.screen;

  write_file(t.dir + "/t.txt", "a\r\nb\xff\n");
  size_t from = board_request(&t, "L t.txt\r");
  std::string went;
  for (size_t i = 0; i < 4; i++) {
    went += board_read(&t, 1);
    board_send(&t, went.substr(i));  // the echo
  }
  EXPECT_EQ(hex(went), hex("a\nb\xff"));
  EXPECT_EQ(hex(board_read(&t, 1)), hex("\n"));
  board_send(&t, "\n");
  EXPECT_EQ(board_read(&t, 1), ">");
  board_send(&t, "\x05");
  EXPECT_EQ(hex(board_read(&t, 1)), "06");
  board_check_idle(&t);
  EXPECT_EQ(wait_for(&t, &Tavo::out, from, "<t.txt>\n"), "Loading from file <t.txt>\n");

  // ser2net stopped mid-session is a lost port, said at once; started again on the same
  // port, it is reopened (tavo tries the server again every few hundred ms).
  std::string name = "COM1 (" + ser2net_url(server) + ")";
  from = t.out.size();
  ser2net_stop(&server);
  std::string lost = name + " is lost: waiting for it to come back (Ctrl-C quits)\n";
  EXPECT_NE(wait_for(&t, &Tavo::out, from, lost).find(lost), std::string::npos) << t.out.substr(from);
  ASSERT_TRUE(ser2net_restart(&server, &why)) << why;
  std::string back = name + " is back: reopened at ";
  EXPECT_NE(wait_for(&t, &Tavo::out, from, back).find(back), std::string::npos) << t.out.substr(from);
  type_keys(&t, "b");
  EXPECT_EQ(board_read(&t, 1), "b");
  board_send(&t, "again> ");
  EXPECT_NE(wait_for(&t, &Tavo::screen, 0, "again> ").find("again> "), std::string::npos) << t.screen;
}


TEST_F(NetworkE2e, BinaryLoadThroughSer2net) {
  start(binary_run);
  if (IsSkipped() || HasFatalFailure()) return;
  // 0xFF among the data and the checksum: escaped on the wire, one byte on the line.
  write_file(t.dir + "/b.mot", "S00600004844521B\r\nS1071000FFFF0D0AD3\r\nS9030000FC\r\n");
  size_t from = board_request(&t, "L b.mot\r");
  for (const char *record : {"52 30 06 00 00 48 44 52 1B", "52 31 07 10 00 FF FF 0D 0A D3", "52 39 03 00 00 FC"}) {
    EXPECT_EQ(hex(board_read_record(&t)), record);
    board_send(&t, "\x06");
  }
  board_check_idle(&t);
  EXPECT_NE(wait_for(&t, &Tavo::out, from, "1000 \r").find("Loading from file <b.mot>\n"), std::string::npos);
  board_request(&t, "V b.mot\r");
  EXPECT_EQ(hex(board_read_record(&t)), "52 30 06 00 00 48 44 52 1B");
  board_send(&t, "\x04");
  EXPECT_EQ(tavo_wait_exit(&t), 0);
}
