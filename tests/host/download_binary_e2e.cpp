// End to end: the binary download. Each S-record goes out as 'R', its type, its count
// and count bytes, and waits for ACK; NAK has it sent again, EOT ends the program.
#include <gtest/gtest.h>

#include "host/service_board.h"

using namespace service_test;

namespace {

void request(Tavo *tavo, const std::string &line) {
  board_send(tavo, "\x05");
  EXPECT_EQ(board_read(tavo, 1), "*");
  board_send(tavo, line);
}

// Reads one binary record ('R', type, count, count bytes) as hex.
std::string read_record(Tavo *tavo) {
  std::string head = board_read(tavo, 3);
  if (head.size() < 3) return hex(head);
  return hex(head + board_read(tavo, (unsigned char)head[2]));
}

struct BinaryRow {
  const char *what;
  std::string file;
  std::vector<std::string> records;  // each answered with ACK, in order
  std::string message;               // expected standard output after the Loading line
};

TEST(DownloadBinary, RecordsGoOutByteForByte) {
  const std::string ef7 = "EF EF EF EF EF EF EF";
  const BinaryRow rows[] = {
      {"the three example records",
       "S00600004844521B\nS107100001020304DE\nS9030000FC\n",
       {"52 30 06 00 00 48 44 52 1B", "52 31 07 10 00 01 02 03 04 DE", "52 39 03 00 00 FC"},
       "\r00 \r\r1000 \r\r"},
      {"CR LF ends give the same records",
       "S00600004844521B\r\nS107100001020304DE\r\nS9030000FC\r\n",
       {"52 30 06 00 00 48 44 52 1B", "52 31 07 10 00 01 02 03 04 DE", "52 39 03 00 00 FC"},
       "\r00 \r\r1000 \r\r"},
      {"a count shorter than the address", "S1021234\n", {"52 31 02 12 34"}, "\r1234 \r"},
      {"an S5 after S3 records takes its own three bytes, and the S7 still goes out",
       "S3090000100001020304DE\nS5030001FB\nS70500001000EA\n",
       {"52 33 09 00 00 10 00 01 02 03 04 DE", "52 35 03 00 01 FB", "52 37 05 00 00 10 00 EA"},
       "\r00001000 \r\r\r"},
      {"an S5 before any S1, S2 or S3", "S5030001FB\nS9030000FC\n",
       {"52 35 03 00 01 FB", "52 39 03 00 00 FC"}, "\r\r"},
      {"an S1 whose count is below its address length", "S101FF\nS9030000FC\n",
       {"52 31 01 FF", "52 39 03 00 00 FC"}, "\rFF\n\r"},
      {"a count of 0 passes over the byte after it", "S500\nS9030000FC\n",
       {"52 35 00", "52 39 03 00 00 FC"}, "\r\r"},
      {"non-hex digits count as -1", "S104G3ZZ0a1b\n", {"52 31 04 F3 EF 0A 1B"}, "\rG3ZZ \r"},
      {"text without an upper-case S is skipped", "just text\n\nS9030000FC\n",
       {"52 39 03 00 00 FC"}, "\r"},
      {"0x1A in mid-file ends it", "S9030000FC\n\x1AS107100001020304DE\n",
       {"52 39 03 00 00 FC"}, "\r"},
      {"a file ending inside the data completes the record", "S10710000102",
       {"52 31 07 10 00 01 02 EF EF EF"}, "\r1000 \r"},
      {"a file ending right after the count completes the record", "S107",
       {"52 31 07 " + ef7}, "\r\xFF\xFF\xFF\xFF \r"},
      {"a file ending before the count sends nothing of the record", "S9030000FC\nS1",
       {"52 39 03 00 00 FC"}, "\r\r"},
      {"an empty file sends nothing", "", {}, ""},
  };
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, true));
  for (const BinaryRow &row : rows) {
    SCOPED_TRACE(row.what);
    write_file(path_in(&tavo, "b.mot"), row.file);
    size_t from = tavo.out.size();
    request(&tavo, "L b.mot\r");
    for (const std::string &record : row.records) {
      EXPECT_EQ(read_record(&tavo), record);
      EXPECT_TRUE(board_quiet_for(&tavo, 50)) << "the host did not wait for the answer";
      board_send(&tavo, "x>\x05\x06");  // other bytes are ignored until the ACK
    }
    expect_line_quiet(&tavo);  // nothing follows the last record
    EXPECT_EQ(hex(tavo.out.substr(from)), hex("Loading from file <b.mot>\n" + row.message));
  }
  stop_tavo(&tavo);
}

TEST(DownloadBinary, NakHasTheRecordSentAgainFromItsR) {
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, true));
  write_file(path_in(&tavo, "b.mot"), "S107100001020304DE\nS9030000FC\n");
  request(&tavo, "V b.mot\r");
  const std::string record = "52 31 07 10 00 01 02 03 04 DE";
  EXPECT_EQ(read_record(&tavo), record);
  board_send(&tavo, "\x15");
  EXPECT_EQ(read_record(&tavo), record);
  board_send(&tavo, "\x15");
  EXPECT_EQ(read_record(&tavo), record);
  board_send(&tavo, "\x06");
  EXPECT_EQ(read_record(&tavo), "52 39 03 00 00 FC");
  board_send(&tavo, "\x06");
  expect_line_quiet(&tavo);
  EXPECT_TRUE(wait_stdout(&tavo, "Verifying from file <b.mot>\n"));
  stop_tavo(&tavo);
}

TEST(DownloadBinary, EotEndsTheProgramWithStatusZero) {
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, true));
  write_file(path_in(&tavo, "b.mot"), "S107100001020304DE\nS107100401020304DA\nS9030000FC\n");
  request(&tavo, "L b.mot\r");
  EXPECT_EQ(read_record(&tavo), "52 31 07 10 00 01 02 03 04 DE");
  board_send(&tavo, "\x04");
  EXPECT_EQ(wait_exit(&tavo), 0);
  EXPECT_TRUE(board_quiet_for(&tavo, 50)) << "sent after EOT: " << hex(tavo.line_in);
  stop_tavo(&tavo);
}

// A record longer than the 200-byte record buffer (count above 197) is not sent; the
// user is told, and the records around it go out as usual.
TEST(DownloadBinary, ARecordTooLongIsSkippedWithAMessage) {
  std::string data197, data198;
  for (int i = 0; i < 197; i++) data197 += "A5";
  data198 = data197 + "A5";
  std::string file = "S1C5" + data197 + "\nS1C6" + data198 + "\nSome text\nS9030000FC\n";
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, true));
  write_file(path_in(&tavo, "big.mot"), file);
  size_t from = tavo.out.size();
  request(&tavo, "L big.mot\r");
  std::string longest = read_record(&tavo);  // 200 bytes in all: the most that fits
  EXPECT_EQ(longest.size(), 200u * 3 - 1);
  board_send(&tavo, "\x15");
  EXPECT_EQ(read_record(&tavo), longest);
  board_send(&tavo, "\x06");
  EXPECT_EQ(read_record(&tavo), "52 39 03 00 00 FC");
  board_send(&tavo, "\x06");
  expect_line_quiet(&tavo);
  std::string out = tavo.out.substr(from);
  EXPECT_NE(out.find("Record too long (count 198), not sent\n"), std::string::npos) << out;
  // "Some": 'o' is the type and "me" the count, -2, which goes out as 254.
  EXPECT_NE(out.find("Record too long (count 254), not sent\n"), std::string::npos) << out;
  stop_tavo(&tavo);
}

}  // namespace
