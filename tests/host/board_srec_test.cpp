// The simulated board's S-record checks, on text records and on binary records as the
// host sends them after its 'R'. (Good records of every type, from the real tools, are
// decoded in srec_tools_e2e_test.)
#include <gtest/gtest.h>
#include <string.h>

#include "e2e_harness.h"
#include "tools/board/srec.h"

TEST(BoardSrec, DecodesAndChecksRecords) {
  struct Row {
    const char *what;
    bool binary;
    std::string record;
    SrecStatus status;
  };
  const Row rows[] = {
      {"S1 with lower-case digits, a blank and CR LF", false, "S107100001020304de \r\n", SREC_OK},
      {"checksum off by one", false, "S107100001020304DF", SREC_BAD_CHECKSUM},
      {"not an S", false, "s9030000FC", SREC_NOT_A_RECORD},
      {"reserved type 4", false, "S4030000FC", SREC_BAD_TYPE},
      {"count below address and checksum", false, "S1021234", SREC_TOO_SHORT},
      {"a bad digit", false, "S1071000010203G4DE", SREC_BAD_DIGIT},
      {"digits after the checksum", false, "S107100001020304DE00", SREC_TOO_LONG},
      {"binary S1 of the host's example", true, bytes({'1', 7, 0x10, 0, 1, 2, 3, 4, 0xDE}), SREC_OK},
      {"binary, one data bit flipped", true, bytes({'1', 7, 0x10, 0, 1, 2, 3, 5, 0xDE}), SREC_BAD_CHECKSUM},
      {"binary S1021234: count 2 leaves no checksum", true, bytes({'1', 2, 0x12, 0x34}), SREC_TOO_SHORT},
  };
  for (const Row &row : rows) {
    SrecRecord r;
    const std::string &b = row.record;
    EXPECT_EQ(row.binary ? srec_parse_binary((const uint8_t *)b.data(), b.size(), &r)
                         : srec_parse_text(b.data(), b.size(), &r), row.status) << row.what;
  }
  uint8_t data[4] = {1, 2, 3, 4};  // and a record written for a save
  char text[64];
  EXPECT_EQ(std::string(text, (size_t)srec_format(text, sizeof text, '1', 0x1000, data, 4)),
            "S107100001020304DE");
}
