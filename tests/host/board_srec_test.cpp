// The simulated board's S-record decoding and checksums, text and binary, and the
// records it writes for a save. (Records from the real tools: srec_tools_e2e_test.)
#include <gtest/gtest.h>
#include <string.h>

#include "e2e_harness.h"
#include "tools/board/srec.h"

TEST(BoardSrec, DecodesTextRecordsAndWritesThemBack) {
  struct Row {
    const char *what, *text;
    SrecStatus status;
    char type;
    uint32_t address;
    std::string data;
  };
  const Row rows[] = {
      {"header", "S00600004844521B", SREC_OK, '0', 0, "HDR"},
      {"S1, 16-bit address", "S107100001020304DE", SREC_OK, '1', 0x1000, bytes({1, 2, 3, 4})},
      {"S2, 24-bit address", "S2070A0000AABBCCBD", SREC_OK, '2', 0x0A0000, "\xAA\xBB\xCC"},
      {"S3, 32-bit address", "S30912345678DEADBEEFAA", SREC_OK, '3', 0x12345678, "\xDE\xAD\xBE\xEF"},
      {"S5 holds a count", "S5030001FB", SREC_OK, '5', 1, ""},
      {"S6 holds a 24-bit count", "S604010000FA", SREC_OK, '6', 0x010000, ""},
      {"S7, S8, S9 hold the start address", "S70500001000EA", SREC_OK, '7', 0x1000, ""},
      {"S8", "S804001000EB", SREC_OK, '8', 0x1000, ""},
      {"S9", "S9030000FC", SREC_OK, '9', 0, ""},
      {"lower-case digits", "S107100001020304de", SREC_OK, '1', 0x1000, bytes({1, 2, 3, 4})},
      {"blanks and CR LF after it", "S9030000FC \r\n", SREC_OK, '9', 0, ""},
      {"checksum off by one: still decoded", "S107100001020304DF", SREC_BAD_CHECKSUM, '1', 0x1000,
       bytes({1, 2, 3, 4})},
      {"not an S", "X107100001020304DE", SREC_NOT_A_RECORD, 0, 0, ""},
      {"lower-case s", "s9030000FC", SREC_NOT_A_RECORD, 0, 0, ""},
      {"reserved type 4", "S4030000FC", SREC_BAD_TYPE, 0, 0, ""},
      {"a letter as type", "SA030000FC", SREC_BAD_TYPE, 0, 0, ""},
      {"just S1", "S1", SREC_TOO_SHORT, 0, 0, ""},
      {"count below address and checksum", "S1021234", SREC_TOO_SHORT, 0, 0, ""},
      {"fewer pairs than the count", "S10710000102\r\n", SREC_TOO_SHORT, 0, 0, ""},
      {"bad digit in the data", "S1071000010203G4DE", SREC_BAD_DIGIT, 0, 0, ""},
      {"bad digit in the count", "S1G7100001020304DE", SREC_BAD_DIGIT, 0, 0, ""},
      {"digits after the checksum", "S107100001020304DE00", SREC_TOO_LONG, 0, 0, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SrecRecord r;
    ASSERT_EQ(srec_parse_text(row.text, strlen(row.text), &r), row.status);
    if (row.status != SREC_OK && row.status != SREC_BAD_CHECKSUM) continue;
    EXPECT_EQ(r.type, row.type);
    EXPECT_EQ(r.address, row.address);
    EXPECT_EQ(hex(std::string((const char *)r.data, (size_t)r.data_length)), hex(row.data));
    char text[600];
    int n = srec_format(text, sizeof text, r.type, r.address, r.data, r.data_length);
    bool canonical = row.status == SREC_OK && strspn(row.text, "S0123456789ABCDEF") == strlen(row.text);
    EXPECT_EQ(std::string(text, (size_t)n), canonical ? row.text : text) << "written back";
  }
}

TEST(BoardSrec, ChecksBinaryRecordsFromTheHost) {
  struct Row {
    const char *what;
    std::string bytes;  // as the host sends them after its 'R'
    SrecStatus status;
  };
  const Row rows[] = {
      {"S1 of the host's example", bytes({'1', 7, 0x10, 0, 1, 2, 3, 4, 0xDE}), SREC_OK},
      {"S7 end record", bytes({'7', 5, 0, 0, 0x10, 0, 0xEA}), SREC_OK},
      {"one data bit flipped", bytes({'1', 7, 0x10, 0, 1, 2, 3, 5, 0xDE}), SREC_BAD_CHECKSUM},
      {"S1021234: count 2 leaves no checksum", bytes({'1', 2, 0x12, 0x34}), SREC_TOO_SHORT},
      {"fewer bytes than the count", bytes({'1', 7, 0x10, 0, 1}), SREC_TOO_SHORT},
      {"more bytes than the count", bytes({'9', 3, 0, 0, 0xFC, 0}), SREC_TOO_LONG},
      {"type only", "1", SREC_TOO_SHORT},
      {"reserved type 4", bytes({'4', 3, 0, 0, 0xFC}), SREC_BAD_TYPE},
      {"count of zero", bytes({'5', 0}), SREC_TOO_SHORT},
  };
  for (const Row &row : rows) {
    SrecRecord r;
    EXPECT_EQ(srec_parse_binary((const uint8_t *)row.bytes.data(), row.bytes.size(), &r), row.status)
        << row.what;
  }
}
