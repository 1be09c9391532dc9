// End to end: the save request. The board paces its lines on the host's '+', and the
// file must hold exactly what the board sent from the first 'S' or 'Q' to the '>'.
#include <gtest/gtest.h>

#include "host/service_board.h"

using namespace service_test;

namespace {

// Starts a save of `name` and takes the host's first '+'.
void begin_save(Tavo *tavo, const std::string &name) {
  board_send(tavo, "\x05");
  EXPECT_EQ(board_read(tavo, 1), "*");
  board_send(tavo, "S " + name + "\r");
  EXPECT_EQ(board_read(tavo, 1), "+");
}

// Sends text as the board does: after each carriage return it waits for the host's '+'
// (which the host sends on taking the CR, before it writes it).
void send_paced(Tavo *tavo, const std::string &text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t cr = text.find('\r', start);
    size_t end = cr == std::string::npos ? text.size() : cr + 1;
    board_send(tavo, text.substr(start, end - start));
    if (cr != std::string::npos) {
      EXPECT_EQ(board_read(tavo, 1), "+") << "after byte " << cr;
    }
    start = end;
  }
}

struct SaveRow {
  const char *what;
  std::string sent;       // what the board sends after the first '+', '>' included
  std::string file;       // what the file must hold
  std::string progress;   // standard output after the "Saving to file" line; ? not checked
};

TEST(ServiceSave, TheFileHoldsTheBytesFromTheFirstSOrQToTheClosingMark) {
  std::string every_byte = "S";
  for (int b = 0; b < 256; b++) {
    if (b != '>') every_byte.push_back((char)b);
  }
  const SaveRow rows[] = {
      {"one S1 line, CR and LF", "S1130400000102030405060708090A0B0C0D0E0F5E\r\n>",
       "S1130400000102030405060708090A0B0C0D0E0F5E\r\n", "\r0400 \r"},
      {"text and a '>' before the first S are dropped", "hello>world\nS00600004844521B\r\n>",
       "S00600004844521B\r\n", "\r00 \r"},
      {"a Q starts the file too", "xxQ\r\nabc>", "Q\r\nabc", ""},
      {"several lines, an S inside a line and an ENQ are written unchanged",
       "S2140A0000AA\r\nS5030001FB\r\nxS\x05Q\r\n>", "S2140A0000AA\r\nS5030001FB\r\nxS\x05Q\r\n",
       "\r0A0000 \r\r\r"},
      {"every byte value but '>' is written as received", every_byte + ">", every_byte, "?"},
  };
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, false));
  write_file(path_in(&tavo, "out.mot"), std::string(5000, 'z'));  // emptied by the save
  for (const SaveRow &row : rows) {
    SCOPED_TRACE(row.what);
    size_t from = tavo.out.size();
    begin_save(&tavo, "out.mot");
    send_paced(&tavo, row.sent);
    expect_line_quiet(&tavo);  // nothing is sent when the save ends
    EXPECT_EQ(hex(read_file(path_in(&tavo, "out.mot"))), hex(row.file));
    std::string header = "Saving to file <out.mot>\n";
    ASSERT_TRUE(wait_stdout(&tavo, header, from));
    if (row.progress == "?") continue;  // its bytes show as addresses: not worth a check
    EXPECT_EQ(hex(tavo.out.substr(from)), hex(header + row.progress));
  }
  stop_tavo(&tavo);
}

}  // namespace
