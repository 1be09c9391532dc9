// End to end: S-record images made by binutils and srecord load byte-exactly through
// tavo, in text and in binary mode. The test plays a board that decodes what it
// receives (checking every checksum), and compares its memory with objcopy's binary
// of the same file. Images include gaps, S5 count records after S3 data and S7 ends.
#include <stdlib.h>

#include <map>

#include <gtest/gtest.h>

#include "host/service_board.h"

using namespace service_test;

namespace {

struct Image {
  std::map<uint32_t, uint8_t> memory;
  int data_records = 0;
  int count_records = 0;   // S5/S6 seen, each checked against data_records
  int end_records = 0;
  bool ok = true;          // every checksum and count right
};

// One record: type, then count, address, data and checksum as bytes.
void store_record(Image *image, int type, const std::string &b) {
  unsigned sum = 0;
  for (unsigned char c : b) sum += c;
  if (b.empty() || (sum & 0xFF) != 0xFF || (unsigned char)b[0] + 1u != b.size()) {
    image->ok = false;
    return;
  }
  if (type >= '1' && type <= '3') {
    size_t a = (size_t)(type - '1' + 2);
    uint32_t address = 0;
    for (size_t i = 1; i <= a; i++) address = address << 8 | (unsigned char)b[i];
    for (size_t i = a + 1; i + 1 < b.size(); i++) image->memory[address++] = (uint8_t)b[i];
    image->data_records++;
  } else if (type == '5' || type == '6') {
    uint32_t n = 0;
    for (size_t i = 1; i + 1 < b.size(); i++) n = n << 8 | (unsigned char)b[i];
    image->ok = image->ok && n == (uint32_t)image->data_records;
    image->count_records++;
  } else if (type >= '7' && type <= '9') {
    image->end_records++;
  }
}

// Binary mode: takes records until the end record, NAKing the first data record once.
Image receive_binary(Tavo *tavo) {
  Image image;
  bool naked = false;
  while (image.end_records == 0) {
    std::string head = board_read(tavo, 3);
    if (head.size() < 3 || head[0] != 'R') {
      ADD_FAILURE() << "not a record: " << hex(head);
      image.ok = false;
      break;
    }
    std::string rest = board_read(tavo, (unsigned char)head[2]);
    if (head[1] == '1' && !naked) {
      naked = true;
      board_send(tavo, "\x15");
      continue;
    }
    store_record(&image, head[1], head.substr(2) + rest);
    board_send(tavo, "\x06");
  }
  return image;
}

int digit(char c) { return c <= '9' ? c - '0' : (c & ~0x20) - 'A' + 10; }

// Text mode: echoes every byte until the host's closing '>', then ENQ; decodes lines.
Image receive_text(Tavo *tavo) {
  std::string text;
  for (;;) {
    std::string byte = board_read(tavo, 1);
    if (byte.empty() || byte == ">") break;  // S-records hold no '>'
    text += byte;
    board_send(tavo, byte);
  }
  board_send(tavo, "\x05");
  EXPECT_EQ(hex(board_read(tavo, 1)), "06");
  Image image;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    EXPECT_EQ(line.find('\r'), std::string::npos) << "CR LF must reach the board as LF";
    if (line.size() >= 4 && line[0] == 'S') {
      std::string b;
      for (size_t i = 2; i + 1 < line.size(); i += 2) b.push_back((char)(digit(line[i]) * 16 + digit(line[i + 1])));
      store_record(&image, line[1], b);
    }
    start = end + 1;
  }
  return image;
}

bool run(const std::string &command) { return system(command.c_str()) == 0; }
bool have(const char *tool) { return run(std::string("command -v ") + tool + " >/dev/null 2>&1"); }

struct ToolRow {
  const char *what;
  const char *tool;
  const char *command;  // makes image.srec from a.bin and b.bin in the working directory
};

const ToolRow tool_rows[] = {
    {"objcopy, S1 records", "objcopy",
     "objcopy -I binary -O srec --change-addresses 0x1000 a.bin image.srec"},
    {"objcopy --srec-forceS3", "objcopy", "objcopy -I binary -O srec --srec-forceS3 a.bin image.srec"},
    {"objcopy, S2 records of 64 bytes", "objcopy",
     "objcopy -I binary -O srec --change-addresses 0x20000 --srec-len 64 a.bin image.srec"},
    {"srec_cat, S1, 16 bytes a record, with a gap, S5 and S9", "srec_cat",
     "srec_cat a.bin -binary -offset 0x0100 b.bin -binary -offset 0x3000 -o image.srec "
     "-obs=16 -address-length=2 -execution-start-address=0x0100"},
    {"srec_cat, S3, 32 bytes a record, then S5 and S7", "srec_cat",
     "srec_cat a.bin -binary -offset 0x80000000 -o image.srec -obs=32 -address-length=4 "
     "-execution-start-address=0x80000000"},
    {"srec_cat, S2, 123 bytes a record, with a gap, S5 and S8", "srec_cat",
     "srec_cat a.bin -binary -offset 0x10000 b.bin -binary -offset 0x12345 -o image.srec "
     "-obs=123 -address-length=3 -execution-start-address=0x10000"},
    {"srec_cat, S3, 190 data bytes: the longest records that fit", "srec_cat",
     "srec_cat a.bin -binary -offset 0x40000000 -o image.srec -obs=190 -address-length=4 "
     "-execution-start-address=0x40000000"},
};

void load_tool_images(bool binary) {
  Tavo tavo;
  ASSERT_TRUE(start_tavo(&tavo, binary));
  const std::string dir = "cd '" + tavo.dir + "' && ";
  ASSERT_TRUE(run(dir + "head -c 3001 /dev/urandom > a.bin && head -c 700 /dev/urandom > b.bin"));
  int ran = 0;
  for (const ToolRow &row : tool_rows) {
    SCOPED_TRACE(row.what);
    if (!have(row.tool)) continue;
    ASSERT_TRUE(run(dir + row.command + " && objcopy -I srec -O binary image.srec expected.bin"));
    board_send(&tavo, "\x05");
    EXPECT_EQ(board_read(&tavo, 1), "*");
    board_send(&tavo, "L image.srec\r");
    Image image = binary ? receive_binary(&tavo) : receive_text(&tavo);
    expect_line_quiet(&tavo);
    EXPECT_TRUE(image.ok) << "a checksum or a record count was wrong";
    EXPECT_GT(image.data_records, 0);
    EXPECT_EQ(image.end_records, 1);
    ASSERT_FALSE(image.memory.empty());
    uint32_t base = image.memory.begin()->first;
    std::string loaded(image.memory.rbegin()->first - base + 1, '\0');
    for (auto &cell : image.memory) loaded[cell.first - base] = (char)cell.second;
    EXPECT_TRUE(loaded == read_file(path_in(&tavo, "expected.bin"))) << "memory differs";
    ran++;
  }
  stop_tavo(&tavo);
  if (!have("srec_cat")) GTEST_SKIP() << "skipped: srec_cat (Debian's srecord) is missing";
  if (ran == 0) GTEST_SKIP() << "skipped: neither objcopy nor srec_cat is installed";
}

TEST(SrecRealTools, ImagesLoadByteExactlyInBinaryMode) { load_tool_images(true); }
TEST(SrecRealTools, ImagesLoadByteExactlyInTextMode) { load_tool_images(false); }

}  // namespace
