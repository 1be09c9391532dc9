// End to end: the request framing (ready mark, letter, dropped byte, name) and the
// replies to requests that fail, against tavo on a pseudo-terminal line.
#include <gtest/gtest.h>

#include "host/service_board.h"

using namespace service_test;

namespace {

struct FramingRow {
  const char *what;
  std::string request;   // after the ENQ and the host's '*'
  std::string message;   // what standard output must then show
  std::string reply;     // what the host must then send on the line
};

TEST(ServiceRequests, FramingReadsTheLetterTheDroppedByteAndTheName) {
  const FramingRow rows[] = {
      {"a plain load request", "L prog.mot\r", "Can't open file <prog.mot>\n", ">"},
      {"a lower-case letter works like the capital", "l prog.mot\r",
       "Can't open file <prog.mot>\n", ">"},
      {"the byte after the letter is dropped even when it is no blank", "Lxprog.mot\r",
       "Can't open file <prog.mot>\n", ">"},
      {"blanks before the name are skipped", "L    blanks.mot\r",
       "Can't open file <blanks.mot>\n", ">"},
      {"a carriage return at once gives an empty name", "L \r", "Can't open file <>\n", ">"},
      {"a byte 0xE9 ends the name", "L ab\xE9", "Can't open file <ab>\n", ">"},
      {"a control byte ends the name", std::string("L tab\tx", 7), "Can't open file <tab>\n",
       ">"},
      {"0x7F belongs to the name", "L a\x7F" "b\r", "Can't open file <a\x7F" "b>\n", ">"},
      {"verify fails the same way", "V prog.mot\r", "Can't open file <prog.mot>\n", ">"},
      {"save into a missing directory", "S nodir/out.mot\r",
       "Can't open file for writing <nodir/out.mot>\n", ">"},
  };
  for (bool binary : {false, true}) {
    Tavo tavo;
    ASSERT_TRUE(start_tavo(&tavo, binary));
    for (const FramingRow &row : rows) {
      SCOPED_TRACE(std::string(row.what) + (binary ? " (/B)" : " (text)"));
      size_t from = tavo.out.size();
      board_send(&tavo, "\x05");
      EXPECT_EQ(board_read(&tavo, 1), "*");
      board_send(&tavo, row.request);
      EXPECT_TRUE(wait_stdout(&tavo, row.message, from)) << tavo.out.substr(from);
      EXPECT_EQ(tavo.out.substr(from), row.message);
      EXPECT_EQ(board_read(&tavo, row.reply.size()), row.reply);
      expect_line_quiet(&tavo);
    }
    stop_tavo(&tavo);
  }
}

TEST(ServiceRequests, AnUnknownLetterGetsOnlyTheReadyMark) {
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, false));
  for (const char *request : {"X abc\r", "x abc\r", "Q \r", "\x05 name\r"}) {
    SCOPED_TRACE(hex(request));
    size_t from = tavo.out.size();
    board_send(&tavo, "\x05");
    EXPECT_EQ(board_read(&tavo, 1), "*");
    board_send(&tavo, request);
    expect_line_quiet(&tavo);
    EXPECT_EQ(tavo.out.substr(from), "");
  }
  stop_tavo(&tavo);
}

// A name longer than 255 bytes is read to its end and refused with a message and '>'
// for L, V and S (an unknown letter still gets nothing); the next request works.
TEST(ServiceRequests, ANameOverLongIsRefusedAndTheNextRequestWorks) {
  const std::string refused = "File name longer than 255 bytes, request refused\n";
  const std::string name255(255, 'n');
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, false));
  write_file(path_in(&tavo, name255), "ok");
  struct {
    std::string request, message, reply;
  } rows[] = {
      {"L " + name255 + "x\r", refused, ">"},
      {"V " + std::string(1000, 'v') + "\r", refused, ">"},
      {"S " + std::string(300, 's') + "\r", refused, ">"},
      {"X " + std::string(300, 'x') + "\r", "", ""},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.request.substr(0, 1));
    size_t from = tavo.out.size();
    board_send(&tavo, "\x05");
    EXPECT_EQ(board_read(&tavo, 1), "*");
    board_send(&tavo, row.request);
    if (!row.message.empty()) {
      EXPECT_TRUE(wait_stdout(&tavo, row.message, from));
    }
    EXPECT_EQ(board_read(&tavo, row.reply.size()), row.reply);
    expect_line_quiet(&tavo);
    EXPECT_EQ(tavo.out.substr(from), row.message);
  }
  // A name of exactly 255 bytes is taken whole.
  board_send(&tavo, "\x05");
  EXPECT_EQ(board_read(&tavo, 1), "*");
  board_send(&tavo, "L " + name255 + "\r");
  EXPECT_EQ(board_read(&tavo, 1), "o");
  board_send(&tavo, "o");
  EXPECT_EQ(board_read(&tavo, 1), "k");
  board_send(&tavo, "k");
  EXPECT_EQ(board_read(&tavo, 1), ">");
  board_send(&tavo, "\x05");
  EXPECT_EQ(board_read(&tavo, 1), "\x06");
  EXPECT_TRUE(wait_stdout(&tavo, "Loading from file <" + name255 + ">\n"));
  expect_line_quiet(&tavo);
  stop_tavo(&tavo);
}

}  // namespace
