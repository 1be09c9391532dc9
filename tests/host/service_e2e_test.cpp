// Service requests end to end: the framing after an ENQ, the replies to requests that
// fail, the save with its '+' pacing, and both downloads. Standard output is checked
// byte for byte.
#include <gtest/gtest.h>

#include "e2e_harness.h"

// Every refusal is a message on standard output, then '>' on the line.
TEST(ServiceE2e, FramingReadsTheLetterTheDroppedByteAndTheName) {
  struct Row { const char *what; std::string request, out; };  // out "": no reply at all
  auto cant = [](const std::string &name) { return "Can't open file <" + name + ">\n"; };
  const std::string n255(255, 'n'), too_long = "File name longer than 255 bytes, request refused\n";
  const Row rows[] = {
      {"the byte after the letter is dropped, blank or not", "Lx   prog.mot\r", cant("prog.mot")},
      {"a CR at once gives an empty name", "L \r", cant("")},
      {"a byte 0xE9 ends the name", "L ab\xE9", cant("ab")},
      {"a control byte ends the name", "L tab\tx", cant("tab")},
      {"0x7F belongs to the name", "L a\x7f" "b\r", cant("a\x7f" "b")},
      {"a directory is no file", "L .\r", cant(".")},
      {"verify fails the same way; a lower-case letter too", "v prog.mot\r", cant("prog.mot")},
      {"save into a missing directory", "S no/o.mot\r", "Can't open file for writing <no/o.mot>\n"},
      {"an ENQ as the letter is unknown: only the ready mark", "\x05 name\r", ""},
      {"a name of 255 bytes is taken whole", "L " + n255 + "\r", cant(n255)},
      {"a longer name is read to its end and refused", "L " + n255 + "x\r", too_long},
      {"for verify too", "V " + std::string(1000, 'v') + "\r", too_long},
      {"and for save", "S " + std::string(300, 's') + "\r", too_long},
      {"an unknown letter still gets nothing", "X " + std::string(300, 'x') + "\r", ""},
  };
  for (bool binary : {false, true}) {
    Tavo t;
    ASSERT_TRUE(tavo_start(&t, binary ? binary_run : TavoRun()));
    for (const Row &row : rows) {
      SCOPED_TRACE(std::string(row.what) + (binary ? " (/B)" : " (text)"));
      size_t from = board_request(&t, row.request);
      EXPECT_EQ(board_read(&t, row.out.empty() ? 0 : 1), row.out.empty() ? "" : ">");
      board_check_idle(&t);  // every request leaves the line idle: the next one works
      EXPECT_EQ(wait_for(&t, &Tavo::out, from, row.out), row.out);
    }
    tavo_stop(&t);
  }
}

// The file holds exactly what the board sent from the first 'S' or 'Q' to the '>'; '+'
// asks for the first line and for one after each CR; the progress display shows each
// record's address. A failed write is reported, and the text still taken to its end.
TEST(ServiceE2e, SaveWritesTheBytesFromTheFirstSOrQToTheClosingMark) {
  struct Row { const char *what; std::string sent, progress; };  // sent after the first '+', '>' included
  std::string every_byte = "S";
  for (int b = 0; b < 256; b++) every_byte += b == '>' ? "" : std::string(1, (char)b);
  const Row rows[] = {
      {"text and a '>' before the first S are dropped; S0 shows two digits, S1 four",
       "hello>world\nS00600004844521B\r\nS1130400000102030405060708090A0B0C0D0E0F5E\r\n>",
       "\r00 \r\r0400 \r"},
      {"a Q starts the file too", "xxQ\r\nabc>", ""},
      {"S2 shows six digits, S5 nothing, an S inside a line starts over, an ENQ is data",
       "S2140A0000AA\r\nS5030001FB\r\nxS\x05Q\r\n>", "\r0A0000 \r\r\r"},
      {"S3 shows eight digits, S7 S8 S9 nothing, a line end in the address shows",
       "S30B00001000AA\r\nS70500001000EA\r\nS804000000FB\r\nS9030000FC\r\nS10304\nS9\r\n>",
       "\r00001000 \r\r\r\r\r04\n\r"},
      {"every byte value but '>' is written as received", every_byte + ">", "\r\r"},
      {"past the file size limit", "Q" + std::string(5000, 'x') + "\r\nQ\r\n>",
       "Error writing file <out.mot>\n"},
  };
  Tavo t;  // out.mot is there at first: the first save empties it
  TavoRun run = tavo_args({"COM1"});
  run.file_limit = 4096, run.files = {{"out.mot", std::string(4000, 'z')}};
  ASSERT_TRUE(tavo_start(&t, run));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    size_t from = board_request(&t, "S out.mot\r");
    EXPECT_EQ(board_read(&t, 1), "+");
    for (size_t start = 0, cr; start < row.sent.size(); start = cr + 1) {
      cr = std::min(row.sent.find('\r', start), row.sent.size() - 1);
      board_send(&t, row.sent.substr(start, cr + 1 - start));
      std::string plus = row.sent[cr] == '\r' ? "+" : "";
      EXPECT_EQ(board_read(&t, plus.size()), plus) << "after byte " << cr;
    }
    board_check_idle(&t);  // nothing is sent when the save ends
    std::string file = row.sent.substr(row.sent.find_first_of("SQ"));
    file.pop_back();  // the '>'
    EXPECT_EQ(hex(read_file(t.dir + "/out.mot")), hex(file.substr(0, 4096)));  // the size limit
    std::string out = "Saving to file <out.mot>\n" + row.progress;
    EXPECT_EQ(hex(wait_for(&t, &Tavo::out, from, out)), hex(out));
  }
  tavo_stop(&t);
}

// Each character of the file goes out alone and waits for its echo; the host closes
// with '>', waits for the board's ENQ and answers ACK.
TEST(DownloadE2e, TextEveryCharacterWaitsForItsEcho) {
  // sent: what goes out, one echo at a time; abort: the board answers the last with '>'.
  struct Row { const char *what; std::string file, sent; bool abort = false; };
  const Row rows[] = {
      {"CR LF ends become LF, a lone CR stays; a '>' in the file goes out, and its echo does "
       "not abort", "a\r\nb\rc\r\r\nd>\n", "a\nb\rc\r\nd>\n"},
      {"a '>' from the board instead of an echo aborts with ACK", "abcdef", "abc", true},
  };
  Tavo t;
  ASSERT_TRUE(tavo_start(&t));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    write_file(t.dir + "/t.txt", row.file);
    size_t from = board_request(&t, "L t.txt\r");
    std::string went;
    for (size_t i = 0; i < row.sent.size(); i++) {
      went += board_read(&t, 1);
      board_send(&t, "q\x06\x15");  // not the echo: dropped, and nothing more goes out
      EXPECT_TRUE(i > 0 || board_quiet(&t, 100)) << "sent before its echo";
      board_send(&t, row.abort && i + 1 == row.sent.size() ? ">" : went.substr(i));
    }
    EXPECT_EQ(hex(went), hex(row.sent));
    if (!row.abort) {  // the closing '>'; then everything up to the ENQ is dropped, '>' too
      EXPECT_EQ(board_read(&t, 1), ">");
      board_send(&t, "ab>\x06\x15");
      EXPECT_TRUE(board_quiet(&t, 100)) << "the host did not wait for the ENQ";
      board_send(&t, "\x05");
    }
    EXPECT_EQ(hex(board_read(&t, 1)), "06");
    board_check_idle(&t);  // the ENQ was the download's, not a new request
    EXPECT_EQ(wait_for(&t, &Tavo::out, from, "<t.txt>\n"), "Loading from file <t.txt>\n");
  }
  tavo_stop(&t);
}

// Each S-record goes out as 'R', type, count and count bytes and waits for ACK; NAK has
// it sent again, EOT ends the program.
TEST(DownloadE2e, BinaryRecordsGoOutByteForByte) {
  std::string data197, longest = "52 31 C5";
  for (int i = 0; i < 197; i++) data197 += "A5", longest += " A5";
  const std::string s9 = "52 39 03 00 00 FC";
  // Each record answered with ACK, in order (the first after `naks` NAKs); standard
  // output after the "Loading" line.
  struct Row { const char *what; std::string file; std::vector<std::string> records; std::string progress; int naks = 0; };
  const Row rows[] = {
      {"CR LF ends; two NAKs have the record sent three times",
       "S00600004844521B\r\nS107100001020304DE\r\nS9030000FC\r\n",
       {"52 30 06 00 00 48 44 52 1B", "52 31 07 10 00 01 02 03 04 DE", s9},
       "\r00 \r\r1000 \r\r", 2},
      {"a count that leaves no checksum; 0x1A in mid-file ends it",
       "S1021234\n\x1AS107100001020304DE\n", {"52 31 02 12 34"}, "\r1234 \r"},
      {"an S5 after S3 records takes its own three bytes, the S7 still goes out, and a file "
       "ending inside the data completes the record",
       "S3090000100001020304DE\nS5030001FB\nS70500001000EA\nS10710000102",
       {"52 33 09 00 00 10 00 01 02 03 04 DE", "52 35 03 00 01 FB", "52 37 05 00 00 10 00 EA",
        "52 31 07 10 00 01 02 EF EF EF"}, "\r00001000 \r\r\r\r1000 \r"},
      {"a record over the 200-byte buffer is not sent, the longest that fits is; in \"Some\" the "
       "count \"me\" is -2, 254",
       "S1C5" + data197 + "\nS1C6" + data197 + "A5\nSome text\nS9030000FC\n", {longest, s9},
       "\rA5A5 \r\rRecord too long (count 198), not sent\nA5A5 \r\r"
       "Record too long (count 254), not sent\n\r"},
  };
  Tavo t;
  ASSERT_TRUE(tavo_start(&t, binary_run));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    write_file(t.dir + "/b.mot", row.file);
    size_t from = board_request(&t, "L b.mot\r");
    for (size_t i = 0; i < row.records.size(); i++)
      for (int n = 0, naks = i == 0 ? row.naks : 0; n <= naks; n++) {
        EXPECT_EQ(hex(board_read_record(&t)), row.records[i]) << "after NAK " << n;
        EXPECT_TRUE(board_quiet(&t, 50)) << "the host did not wait for the answer";
        board_send(&t, n < naks ? "\x15" : "x>\x05\x06");  // other bytes: ignored until the ACK
      }
    board_check_idle(&t);  // nothing follows the last record, and the next request works
    std::string out = "Loading from file <b.mot>\n" + row.progress;
    EXPECT_EQ(hex(wait_for(&t, &Tavo::out, from, out)), hex(out));
  }
  // Verify sends the same way; an EOT ends the program with status 0, nothing more sent.
  board_request(&t, "V b.mot\r");
  EXPECT_EQ(hex(board_read_record(&t)), longest);
  board_send(&t, "\x04");
  EXPECT_EQ(tavo_wait_exit(&t), 0);
  EXPECT_EQ(hex(t.line_in), "") << "sent after EOT";
  EXPECT_NE(t.out.find("Verifying from file <b.mot>\n"), std::string::npos);
  tavo_stop(&t);
}
