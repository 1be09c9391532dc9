// End to end: the text download. Each file character goes out alone and waits for its
// echo; the host closes with '>', waits for the board's ENQ and answers ACK.
#include <gtest/gtest.h>

#include "host/service_board.h"

using namespace service_test;

namespace {

void request(Tavo *tavo, const std::string &line) {
  board_send(tavo, "\x05");
  EXPECT_EQ(board_read(tavo, 1), "*");
  board_send(tavo, line);
}

// Echoes every byte until the host's closing '>' comes where a file byte would; gives
// the bytes that went by. Noise before each echo must be dropped by the host.
std::string echo_all(Tavo *tavo, size_t expected_size, const std::string &noise = "") {
  std::string got;
  while (got.size() < expected_size) {
    std::string byte = board_read(tavo, 1);
    if (byte.empty()) break;
    got += byte;
    board_send(tavo, noise + byte);
  }
  return got;
}

// After the file: '>', then bytes up to the board's ENQ are dropped ('>' included),
// then ACK.
void finish(Tavo *tavo) {
  EXPECT_EQ(board_read(tavo, 1), ">");
  board_send(tavo, "ab>\x06\x15");
  EXPECT_TRUE(board_quiet_for(tavo, 100)) << "the host did not wait for the ENQ";
  board_send(tavo, "\x05");
  EXPECT_EQ(hex(board_read(tavo, 1)), "06");
  expect_line_quiet(tavo);  // the ENQ was the download's, not a new request
}

struct TextRow {
  const char *what;
  std::string file;  // bytes of the file on disk
  std::string sent;  // what must go out, one echo at a time
};

TEST(DownloadText, EveryCharacterWaitsForItsEcho) {
  const TextRow rows[] = {
      {"CR LF ends become LF, a lone CR stays", "a\r\nb\rc\r\r\nd\n", "a\nb\rc\r\nd\n"},
      {"0x1A ends the file", "ab\x1A" "cd", "ab"},
      {"an empty file sends only the closing mark", "", ""},
      {"a '>' in the file goes out and its echo does not abort", "x>y", "x>y"},
      {"the byte 0xE9 and the other high bytes match their echo", "\xE9\x80\xFF", "\xE9\x80\xFF"},
      {"an ENQ in the file is a character like any other", "a\x05" "b", "a\x05" "b"},
  };
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, false));
  for (const TextRow &row : rows) {
    SCOPED_TRACE(row.what);
    write_file(path_in(&tavo, "t.txt"), row.file);
    size_t from = tavo.out.size();
    request(&tavo, "L t.txt\r");
    EXPECT_EQ(hex(echo_all(&tavo, row.sent.size(), "q")), hex(row.sent));
    finish(&tavo);
    EXPECT_EQ(tavo.out.substr(from), "Loading from file <t.txt>\n");
  }
  stop_tavo(&tavo);
}

TEST(DownloadText, TheHostWaitsForTheEchoBeforeTheNextCharacter) {
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, false));
  write_file(path_in(&tavo, "t.txt"), "ab");
  request(&tavo, "V t.txt\r");
  EXPECT_EQ(board_read(&tavo, 1), "a");
  EXPECT_TRUE(board_quiet_for(&tavo, 100));
  board_send(&tavo, "xyz\x06");  // not the echo: dropped
  EXPECT_TRUE(board_quiet_for(&tavo, 100));
  board_send(&tavo, "a");
  EXPECT_EQ(board_read(&tavo, 1), "b");
  board_send(&tavo, "b");
  finish(&tavo);
  EXPECT_TRUE(wait_stdout(&tavo, "Verifying from file <t.txt>\n"));
  stop_tavo(&tavo);
}

TEST(DownloadText, AClosingMarkFromTheBoardAbortsWithAck) {
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, false));
  write_file(path_in(&tavo, "t.txt"), "abcdef");
  request(&tavo, "L t.txt\r");
  EXPECT_EQ(board_read(&tavo, 1), "a");
  board_send(&tavo, "a");
  EXPECT_EQ(board_read(&tavo, 1), "b");
  board_send(&tavo, ">");
  EXPECT_EQ(hex(board_read(&tavo, 1)), "06");
  expect_line_quiet(&tavo);
  // The next request works: a missing file is refused.
  request(&tavo, "L none.txt\r");
  EXPECT_EQ(board_read(&tavo, 1), ">");
  EXPECT_TRUE(wait_stdout(&tavo, "Can't open file <none.txt>\n"));
  stop_tavo(&tavo);
}

// Every S-record character goes through the progress display on its way out.
TEST(DownloadText, ProgressShowsEachRecordAddress) {
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, false));
  std::string file = "S00600004844521B\r\nS107100001020304DE\r\nS5030001FB\r\nS9030000FC\r\n";
  write_file(path_in(&tavo, "p.mot"), file);
  size_t from = tavo.out.size();
  request(&tavo, "L p.mot\r");
  std::string lf_file = "S00600004844521B\nS107100001020304DE\nS5030001FB\nS9030000FC\n";
  EXPECT_EQ(echo_all(&tavo, lf_file.size()), lf_file);
  finish(&tavo);
  EXPECT_EQ(hex(tavo.out.substr(from)),
            hex("Loading from file <p.mot>\n\r00 \r\r1000 \r\r\r"));
  stop_tavo(&tavo);
}

}  // namespace
