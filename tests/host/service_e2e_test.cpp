// Service requests end to end: the framing after an ENQ, the replies to requests that
// fail, and the save with its '+' pacing, its file and its progress display.
#include <gtest/gtest.h>

#include "e2e_harness.h"

// Every refusal is a message on standard output, then '>' on the line.
TEST(ServiceE2e, FramingReadsTheLetterTheDroppedByteAndTheName) {
  struct Row {
    const char *what;
    std::string request, out;  // after the '*'; standard output, "" for no reply at all
  };
  auto cant = [](const std::string &name) { return "Can't open file <" + name + ">\n"; };
  const std::string n255(255, 'n'), too_long = "File name longer than 255 bytes, request refused\n";
  const Row rows[] = {
      {"a load request", "L prog.mot\r", cant("prog.mot")},
      {"a lower-case letter works like the capital", "l prog.mot\r", cant("prog.mot")},
      {"the byte after the letter is dropped, blank or not", "Lxprog.mot\r", cant("prog.mot")},
      {"blanks before the name are skipped", "L    blanks.mot\r", cant("blanks.mot")},
      {"a CR at once gives an empty name", "L \r", cant("")},
      {"a byte 0xE9 ends the name", "L ab\xE9", cant("ab")},
      {"a control byte ends the name", "L tab\tx", cant("tab")},
      {"0x7F belongs to the name", "L a\x7f" "b\r", cant("a\x7f" "b")},
      {"a directory is no file", "L .\r", cant(".")},
      {"verify fails the same way", "V prog.mot\r", cant("prog.mot")},
      {"save into a missing directory", "S no/out.mot\r", "Can't open file for writing <no/out.mot>\n"},
      {"an unknown letter X gets only the ready mark", "X abc\r", ""},
      {"so does a lower-case x", "x abc\r", ""},
      {"and Q", "Q \r", ""},
      {"and an ENQ as the letter", "\x05 name\r", ""},
      {"a name of 255 bytes is taken whole", "L " + n255 + "\r", cant(n255)},
      {"a longer name is read to its end and refused", "L " + n255 + "x\r", too_long},
      {"for verify too", "V " + std::string(1000, 'v') + "\r", too_long},
      {"and for save", "S " + std::string(300, 's') + "\r", too_long},
      {"an unknown letter still gets nothing", "X " + std::string(300, 'x') + "\r", ""},
  };
  for (bool binary : {false, true}) {
    Tavo t;
    ASSERT_TRUE(tavo_up(&t, binary ? TavoRun{{"COM1:", "115200", "/B"}} : TavoRun()));
    for (const Row &row : rows) {
      SCOPED_TRACE(std::string(row.what) + (binary ? " (/B)" : " (text)"));
      size_t from = t.out.size();
      board_request(&t, row.request);
      EXPECT_EQ(board_read(&t, row.out.empty() ? 0 : 1), row.out.empty() ? "" : ">");
      board_check_idle(&t);  // every request leaves the line idle: the next one works
      EXPECT_EQ(out_after(&t, from, row.out.size()), row.out);
    }
    tavo_stop(&t);
  }
}

// The file holds exactly what the board sent from the first 'S' or 'Q' to the '>'; the
// host asks with '+' for the first line and after each CR (on taking it), and every
// byte goes through the progress display, which shows each record's address.
TEST(ServiceE2e, SaveWritesTheBytesFromTheFirstSOrQToTheClosingMark) {
  struct Row {
    const char *what;
    std::string sent, progress;  // sent after the first '+', '>' included
  };
  std::string every_byte = "S";
  for (int b = 0; b < 256; b++)
    if (b != '>') every_byte.push_back((char)b);
  const Row rows[] = {
      {"an S1 line: four address digits", "S1130400000102030405060708090A0B0C0D0E0F5E\r\n>",
       "\r0400 \r"},
      {"text and a '>' before the first S are dropped; S0 shows two digits",
       "hello>world\nS00600004844521B\r\n>", "\r00 \r"},
      {"a Q starts the file too", "xxQ\r\nabc>", ""},
      {"S2 shows six digits, S5 nothing, an S inside a line starts over, an ENQ is data",
       "S2140A0000AA\r\nS5030001FB\r\nxS\x05Q\r\n>", "\r0A0000 \r\r\r"},
      {"S3 shows eight digits, S7 S8 S9 nothing, a line end in the address shows",
       "S30B00001000AA\r\nS70500001000EA\r\nS804000000FB\r\nS9030000FC\r\nS10304\nS9\r\n>",
       "\r00001000 \r\r\r\r\r04\n\r"},
      {"every byte value but '>' is written as received", every_byte + ">", "\r\r"},
  };
  Tavo t;
  ASSERT_TRUE(tavo_up(&t));
  write_file(t.dir + "/out.mot", std::string(5000, 'z'));  // emptied by the first save
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    size_t from = t.out.size();
    board_request(&t, "S out.mot\r");
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
    EXPECT_EQ(hex(read_file(t.dir + "/out.mot")), hex(file));
    std::string out = "Saving to file <out.mot>\n" + row.progress;
    EXPECT_EQ(hex(out_after(&t, from, out.size())), hex(out));
  }
  tavo_stop(&t);
}
