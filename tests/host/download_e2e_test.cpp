// Downloads end to end. Text: each character of the file goes out alone and waits for
// its echo; the host closes with '>', waits for the board's ENQ and answers ACK. Binary
// (/B): each S-record goes out as 'R', type, count and count bytes, and waits for ACK;
// NAK has it sent again, EOT ends the program. Standard output is checked byte for byte.
#include <gtest/gtest.h>

#include "e2e_harness.h"

// One binary record from the line, as hex.
static std::string read_record(Tavo *t) {
  std::string head = board_read(t, 3);
  return hex(head.size() < 3 ? head : head + board_read(t, (unsigned char)head[2]));
}

TEST(DownloadE2e, TextEveryCharacterWaitsForItsEcho) {
  struct Row {
    const char *what;
    std::string file, sent, progress;  // sent: what goes out, one echo at a time
    bool abort = false;                // the board answers the next character with '>'
  };
  const Row rows[] = {
      {"CR LF ends become LF, a lone CR stays", "a\r\nb\rc\r\r\nd\n", "a\nb\rc\r\nd\n", ""},
      {"a '>' in the file goes out, and its echo does not abort", "x>y", "x>y", ""},
      {"a '>' from the board instead of an echo aborts with ACK", "abcdef", "ab", "", true},
  };
  Tavo t;
  ASSERT_TRUE(tavo_up(&t));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    write_file(t.dir + "/t.txt", row.file);
    size_t from = t.out.size();
    board_request(&t, "L t.txt\r");
    std::string went;
    for (size_t i = 0; i < row.sent.size(); i++) {
      went += board_read(&t, 1);
      board_send(&t, "q\x06\x15");  // not the echo: dropped, and nothing more goes out
      EXPECT_TRUE(i > 0 || board_quiet(&t, 100)) << "sent before its echo";
      board_send(&t, went.substr(i));
    }
    EXPECT_EQ(hex(went), hex(row.sent));
    if (row.abort) {
      board_read(&t, 1);
      board_send(&t, ">");
    } else {  // the closing '>'; then everything up to the ENQ is dropped, '>' too
      EXPECT_EQ(board_read(&t, 1), ">");
      board_send(&t, "ab>\x06\x15");
      EXPECT_TRUE(board_quiet(&t, 100)) << "the host did not wait for the ENQ";
      board_send(&t, "\x05");
    }
    EXPECT_EQ(hex(board_read(&t, 1)), "06");
    board_check_idle(&t);  // the ENQ was the download's, not a new request
    std::string out = "Loading from file <t.txt>\n" + row.progress;
    EXPECT_EQ(hex(out_after(&t, from, out.size())), hex(out));
  }
  tavo_stop(&t);
}

TEST(DownloadE2e, BinaryRecordsGoOutByteForByte) {
  std::string data197, longest = "52 31 C5";
  for (int i = 0; i < 197; i++) data197 += "A5", longest += " A5";
  const std::string s9 = "52 39 03 00 00 FC";
  const std::vector<std::string> example = {"52 30 06 00 00 48 44 52 1B",
                                            "52 31 07 10 00 01 02 03 04 DE", s9};
  struct Row {
    const char *what;
    std::string file;
    std::vector<std::string> records;  // each answered with ACK, in order
    std::string progress;              // standard output after the "Loading" line
    int naks = 0;                      // answers to the first record before its ACK
  };
  const Row rows[] = {
      {"the three example records", "S00600004844521B\nS107100001020304DE\nS9030000FC\n",
       example, "\r00 \r\r1000 \r\r"},
      {"CR LF ends give the same bytes; two NAKs have the record sent three times",
       "S00600004844521B\r\nS107100001020304DE\r\nS9030000FC\r\n", example, "\r00 \r\r1000 \r\r", 2},
      {"a count that leaves no checksum", "S1021234\n", {"52 31 02 12 34"}, "\r1234 \r"},
      {"an S5 after S3 records takes its own three bytes, and the S7 still goes out",
       "S3090000100001020304DE\nS5030001FB\nS70500001000EA\n",
       {"52 33 09 00 00 10 00 01 02 03 04 DE", "52 35 03 00 01 FB", "52 37 05 00 00 10 00 EA"},
       "\r00001000 \r\r\r"},
      {"0x1A in mid-file ends it", "S9030000FC\n\x1AS107100001020304DE\n", {s9}, "\r"},
      {"a file ending inside the data completes the record", "S10710000102",
       {"52 31 07 10 00 01 02 EF EF EF"}, "\r1000 \r"},
      {"a record over the 200-byte buffer is not sent, the longest that fits is; in \"Some\" the "
       "count \"me\" is -2, 254",
       "S1C5" + data197 + "\nS1C6" + data197 + "A5\nSome text\nS9030000FC\n", {longest, s9},
       "\rA5A5 \r\rRecord too long (count 198), not sent\nA5A5 \r\r"
       "Record too long (count 254), not sent\n\r"},
  };
  Tavo t;
  ASSERT_TRUE(tavo_up(&t, {{"COM1:", "115200", "/B"}}));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    write_file(t.dir + "/b.mot", row.file);
    size_t from = t.out.size();
    board_request(&t, "L b.mot\r");
    for (size_t i = 0; i < row.records.size(); i++) {
      EXPECT_EQ(read_record(&t), row.records[i]);
      EXPECT_TRUE(board_quiet(&t, 50)) << "the host did not wait for the answer";
      for (int n = 0; i == 0 && n < row.naks; n++) {
        board_send(&t, "\x15");
        EXPECT_EQ(read_record(&t), row.records[i]) << "after NAK " << n + 1;
      }
      board_send(&t, "x>\x05\x06");  // other bytes are ignored until the ACK
    }
    board_check_idle(&t);  // nothing follows the last record, and the next request works
    std::string out = "Loading from file <b.mot>\n" + row.progress;
    EXPECT_EQ(hex(out_after(&t, from, out.size())), hex(out));
  }
  // Verify sends the same way; an EOT ends the program with status 0, nothing more sent.
  board_request(&t, "V b.mot\r");
  EXPECT_EQ(read_record(&t), longest);
  board_send(&t, "\x04");
  EXPECT_EQ(tavo_wait_exit(&t), 0);
  EXPECT_EQ(hex(t.line_in), "") << "sent after EOT";
  EXPECT_NE(t.out.find("Verifying from file <b.mot>\n"), std::string::npos);
  tavo_stop(&t);
}
