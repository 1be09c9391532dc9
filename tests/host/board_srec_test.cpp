// The simulated board's S-record decoding, checksums and record writing, including
// the records binutils and srecord write.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/board/srec.h"

namespace {

struct TextRow {
  const char *what;
  const char *text;
  SrecStatus status;
  char type;
  uint32_t address;
  const char *data_hex;  // expected data bytes, for a good record
};

std::string hex_of(const uint8_t *bytes, int length) {
  std::string out;
  char pair[3];
  for (int i = 0; i < length; i++) {
    snprintf(pair, sizeof pair, "%02X", bytes[i]);
    out += pair;
  }
  return out;
}

TEST(BoardSrec, DecodesTextRecords) {
  const TextRow rows[] = {
      {"header record", "S00600004844521B", SREC_OK, '0', 0, "484452"},
      {"S1 with 16-bit address", "S107100001020304DE", SREC_OK, '1', 0x1000, "01020304"},
      {"S2 with 24-bit address", "S2070A0000AABBCCBD", SREC_OK, '2', 0x0A0000, "AABBCC"},
      {"S3 with 32-bit address", "S30912345678DEADBEEFAA", SREC_OK, '3', 0x12345678, "DEADBEEF"},
      {"S5 holds a count", "S5030001FB", SREC_OK, '5', 1, ""},
      {"S6 holds a 24-bit count", "S604010000FA", SREC_OK, '6', 0x010000, ""},
      {"S7 start address", "S70500001000EA", SREC_OK, '7', 0x1000, ""},
      {"S8 start address", "S804001000EB", SREC_OK, '8', 0x1000, ""},
      {"S9 start address", "S9030000FC", SREC_OK, '9', 0, ""},
      {"lower-case digits", "S107100001020304de", SREC_OK, '1', 0x1000, "01020304"},
      {"CR LF and blanks after it", "S9030000FC \r\n", SREC_OK, '9', 0, ""},
      {"checksum off by one", "S107100001020304DF", SREC_BAD_CHECKSUM, '1', 0x1000, "01020304"},
      {"not an S", "X107100001020304DE", SREC_NOT_A_RECORD, 0, 0, nullptr},
      {"lower-case s is no record", "s9030000FC", SREC_NOT_A_RECORD, 0, 0, nullptr},
      {"reserved type 4", "S4030000FC", SREC_BAD_TYPE, 0, 0, nullptr},
      {"letter as type", "SA030000FC", SREC_BAD_TYPE, 0, 0, nullptr},
      {"just S1", "S1", SREC_TOO_SHORT, 0, 0, nullptr},
      {"count below address and checksum", "S1021234", SREC_TOO_SHORT, 0, 0, nullptr},
      {"fewer pairs than the count", "S10710000102", SREC_TOO_SHORT, 0, 0, nullptr},
      {"line ends inside the pairs", "S10710000102\r\n", SREC_TOO_SHORT, 0, 0, nullptr},
      {"bad digit in the data", "S1071000010203G4DE", SREC_BAD_DIGIT, 0, 0, nullptr},
      {"bad digit in the count", "S1G7100001020304DE", SREC_BAD_DIGIT, 0, 0, nullptr},
      {"digits after the checksum", "S107100001020304DE00", SREC_TOO_LONG, 0, 0, nullptr},
  };
  for (const TextRow &row : rows) {
    SrecRecord record;
    SrecStatus status = srec_parse_text(row.text, strlen(row.text), &record);
    EXPECT_EQ(status, row.status) << row.what;
    if (row.data_hex && status == row.status) {
      EXPECT_EQ(record.type, row.type) << row.what;
      EXPECT_EQ(record.address, row.address) << row.what;
      EXPECT_EQ(hex_of(record.data, record.data_length), row.data_hex) << row.what;
    }
  }
}

struct BinaryRow {
  const char *what;
  std::vector<uint8_t> bytes;  // as the host sends them after its 'R'
  SrecStatus status;
  uint32_t address;
  int data_length;
};

TEST(BoardSrec, ChecksBinaryRecordsFromTheHost) {
  const BinaryRow rows[] = {
      {"S0 of the host's example", {0x30, 0x06, 0x00, 0x00, 0x48, 0x44, 0x52, 0x1B}, SREC_OK, 0, 3},
      {"S1 of the host's example", {0x31, 0x07, 0x10, 0x00, 0x01, 0x02, 0x03, 0x04, 0xDE}, SREC_OK, 0x1000, 4},
      {"S9 of the host's example", {0x39, 0x03, 0x00, 0x00, 0xFC}, SREC_OK, 0, 0},
      {"S3 end record S7", {0x37, 0x05, 0x00, 0x00, 0x10, 0x00, 0xEA}, SREC_OK, 0x1000, 0},
      {"one data bit flipped", {0x31, 0x07, 0x10, 0x00, 0x01, 0x02, 0x03, 0x05, 0xDE}, SREC_BAD_CHECKSUM, 0x1000, 4},
      {"S1021234: count 2 leaves no checksum", {0x31, 0x02, 0x12, 0x34}, SREC_TOO_SHORT, 0, 0},
      {"fewer bytes than the count", {0x31, 0x07, 0x10, 0x00, 0x01}, SREC_TOO_SHORT, 0, 0},
      {"more bytes than the count", {0x39, 0x03, 0x00, 0x00, 0xFC, 0x00}, SREC_TOO_LONG, 0, 0},
      {"type only", {0x31}, SREC_TOO_SHORT, 0, 0},
      {"reserved type 4", {0x34, 0x03, 0x00, 0x00, 0xFC}, SREC_BAD_TYPE, 0, 0},
      {"count of zero", {0x35, 0x00}, SREC_TOO_SHORT, 0, 0},
  };
  for (const BinaryRow &row : rows) {
    SrecRecord record;
    SrecStatus status = srec_parse_binary(row.bytes.data(), row.bytes.size(), &record);
    EXPECT_EQ(status, row.status) << row.what;
    if (status == SREC_OK || status == SREC_BAD_CHECKSUM) {
      EXPECT_EQ(record.address, row.address) << row.what;
      EXPECT_EQ(record.data_length, row.data_length) << row.what;
    }
  }
}

TEST(BoardSrec, LongestRecordFitsBothWays) {
  // Count 255: a 4-byte address, 250 data bytes and the checksum.
  uint8_t data[250];
  for (int i = 0; i < 250; i++) data[i] = (uint8_t)(i * 7);
  char text[600];
  int length = srec_format(text, sizeof text, '3', 0xFFFFFF06, data, 250);
  ASSERT_EQ(length, 4 + 2 * 255);
  SrecRecord record;
  ASSERT_EQ(srec_parse_text(text, (size_t)length, &record), SREC_OK);
  EXPECT_EQ(record.count, 255);
  EXPECT_EQ(record.data_length, 250);
  EXPECT_EQ(memcmp(record.data, data, 250), 0);
  EXPECT_EQ(srec_format(text, sizeof text, '3', 0, data, 251), 0) << "count would pass 255";
  EXPECT_EQ(srec_format(text, 100, '3', 0, data, 250), 0) << "text buffer too small";
}

struct FormatRow {
  const char *what;
  char type;
  uint32_t address;
  std::vector<uint8_t> data;
  const char *text;
};

TEST(BoardSrec, WritesRecordsWithTheirChecksum) {
  const FormatRow rows[] = {
      {"header", '0', 0, {'H', 'D', 'R'}, "S00600004844521B"},
      {"S1 data", '1', 0x1000, {1, 2, 3, 4}, "S107100001020304DE"},
      {"S2 data", '2', 0x0A0000, {0xAA, 0xBB, 0xCC}, "S2070A0000AABBCCBD"},
      {"S3 data", '3', 0x12345678, {0xDE, 0xAD, 0xBE, 0xEF}, "S30912345678DEADBEEFAA"},
      {"S5 count", '5', 1, {}, "S5030001FB"},
      {"S9 end", '9', 0, {}, "S9030000FC"},
      {"S7 end", '7', 0x1000, {}, "S70500001000EA"},
  };
  for (const FormatRow &row : rows) {
    char text[600];
    int length = srec_format(text, sizeof text, row.type, row.address, row.data.data(),
                             (int)row.data.size());
    EXPECT_EQ(std::string(text, (size_t)length), row.text) << row.what;
  }
}

// --- records written by the real tools ---

bool have_program(const char *name) {
  std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return system(command.c_str()) == 0;
}

// Decodes every line of an S-record file into an image based at `base`; counts the
// records that are not good.
int decode_file(const std::string &path, uint32_t base, std::string *image) {
  FILE *file = fopen(path.c_str(), "r");
  if (!file) return -1;
  int bad = 0;
  char line[1024];
  while (fgets(line, sizeof line, file)) {
    SrecRecord record;
    SrecStatus status = srec_parse_text(line, strlen(line), &record);
    if (status != SREC_OK) {
      bad++;
      continue;
    }
    if (!srec_is_data(record.type)) continue;
    size_t at = record.address - base;
    if (image->size() < at + (size_t)record.data_length) image->resize(at + (size_t)record.data_length);
    memcpy(&(*image)[at], record.data, (size_t)record.data_length);
  }
  fclose(file);
  return bad;
}

struct ToolRow {
  const char *what;
  const char *tool;
  const char *command;  // %1$s the binary input, %2$s the S-record output
  uint32_t base;
};

TEST(BoardSrec, DecodesWhatBinutilsAndSrecordWrite) {
  const ToolRow rows[] = {
      {"objcopy, S1 by default", "objcopy", "objcopy -I binary -O srec %1$s %2$s", 0},
      {"objcopy, forced S3", "objcopy", "objcopy -I binary -O srec --srec-forceS3 %1$s %2$s", 0},
      {"objcopy, S2 at 0x20000, 32-byte records", "objcopy",
       "objcopy -I binary -O srec --change-addresses 0x20000 --srec-len 32 %1$s %2$s", 0x20000},
      {"srec_cat, S3 at 0x80000000, 64 data bytes a line", "srec_cat",
       "srec_cat %1$s -binary -offset 0x80000000 -o %2$s -obs=64 -address-length=4", 0x80000000},
      {"srec_cat, 250 data bytes a line", "srec_cat",
       "srec_cat %1$s -binary -o %2$s -obs=250 -address-length=4", 0},
      {"srec_cat, 1 data byte a line", "srec_cat", "srec_cat %1$s -binary -o %2$s -obs=1", 0},
  };
  char dir[] = "/tmp/board_srec_XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::string input = std::string(dir) + "/image.bin", output = std::string(dir) + "/image.srec";
  std::string bytes;
  for (int i = 0; i < 3000; i++) bytes += (char)((i * 131 + i / 7) & 0xFF);
  FILE *file = fopen(input.c_str(), "wb");
  ASSERT_TRUE(file);
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  int ran = 0;
  for (const ToolRow &row : rows) {
    if (!have_program(row.tool)) {
      printf("skipped: %s (%s is not installed)\n", row.what, row.tool);
      continue;
    }
    char command[512];
    snprintf(command, sizeof command, row.command, input.c_str(), output.c_str());
    ASSERT_EQ(system(command), 0) << row.what << ": " << command;
    std::string image;
    EXPECT_EQ(decode_file(output, row.base, &image), 0) << row.what;
    EXPECT_TRUE(image == bytes) << row.what;
    ran++;
  }
  std::string cleanup = std::string("rm -rf ") + dir;
  (void)!system(cleanup.c_str());
  if (ran == 0) GTEST_SKIP() << "skipped: neither objcopy nor srec_cat is installed";
}

}  // namespace
