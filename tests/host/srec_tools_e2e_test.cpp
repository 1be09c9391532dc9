// S-record images made by binutils and srecord load byte-exactly through tavo, in text
// and in binary mode. The test plays the board with the simulated board's own decoder
// (every checksum and S5 count checked) and memory, and compares that memory with
// objcopy's binary of the same file; gaps read as zeros in both.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "tools/board/memory.h"
#include "tools/board/srec.h"

namespace {

struct Received {
  std::string types;  // record types in order, runs collapsed: "0135"
  uint32_t data_records = 0;
};

void store(Received *got, SrecStatus status, const SrecRecord &r) {
  EXPECT_EQ(status, SREC_OK) << "record " << got->data_records + 1 << ": " << srec_status_text(status);
  if (got->types.empty() || got->types.back() != r.type) got->types += r.type;
  if (r.type >= '1' && r.type <= '3') {
    got->data_records++;
    for (int i = 0; i < r.data_length; i++) ASSERT_TRUE(memory_write(r.address + (uint32_t)i, r.data[i]));
  }
  if (r.type == '5' || r.type == '6') {
    EXPECT_EQ(r.address, got->data_records) << "the count record";
  }
}

// Binary: takes records up to the end record; the first data record is NAKed once.
void receive_binary(Tavo *t, Received *got) {
  bool naked = false;
  while (got->types.empty() || !srec_is_end(got->types.back())) {
    std::string head = board_read(t, 3);
    ASSERT_TRUE(head.size() == 3 && head[0] == 'R') << hex(head);
    std::string record = head.substr(1) + board_read(t, (unsigned char)head[2]);
    if (!naked && head[1] >= '1' && head[1] <= '3') {
      naked = true;
      board_send(t, "\x15");
      continue;
    }
    SrecRecord r;
    store(got, srec_parse_binary((const uint8_t *)record.data(), record.size(), &r), r);
    board_send(t, "\x06");
  }
}

// Text: echoes every byte up to the host's closing '>' (S-records hold none), answers
// it with ENQ, then decodes the lines.
void receive_text(Tavo *t, Received *got) {
  std::string text;
  for (std::string b = board_read(t, 1); b != ">" && !b.empty(); b = board_read(t, 1)) {
    text += b;
    board_send(t, b);
  }
  board_send(t, "\x05");
  EXPECT_EQ(hex(board_read(t, 1)), "06");
  EXPECT_EQ(text.find('\r'), std::string::npos) << "CR LF must reach the board as LF";
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    SrecRecord r;
    store(got, srec_parse_text(text.data() + start, end - start, &r), r);
  }
}

void load_tool_images(bool binary) {
  struct Row {
    const char *tool, *command;  // the command makes image.srec from a.bin and b.bin
    const char *types;
  };
  const Row rows[] = {
      {"objcopy", "objcopy -I binary -O srec --change-addresses 0x1000 a.bin image.srec", "019"},
      {"objcopy", "objcopy -I binary -O srec --srec-forceS3 a.bin image.srec", "037"},
      {"objcopy", "objcopy -I binary -O srec --change-addresses 0x20000 --srec-len 64 a.bin image.srec",
       "028"},
      {"srec_cat", "srec_cat a.bin -binary -offset 0x100 b.bin -binary -offset 0x3000 -o image.srec "
                   "-obs=16 -address-length=2 -execution-start-address=0x100", "0159"},
      {"srec_cat", "srec_cat a.bin -binary -offset 0x80000000 -o image.srec -obs=32 "
                   "-address-length=4 -execution-start-address=0x80000000", "0357"},
      {"srec_cat", "srec_cat a.bin -binary -offset 0x10000 b.bin -binary -offset 0x12345 -o "
                   "image.srec -obs=123 -address-length=3 -execution-start-address=0x10000", "0258"},
      {"srec_cat", "srec_cat a.bin -binary -offset 0x40000000 -o image.srec -obs=190 "
                   "-address-length=4 -execution-start-address=0x40000000", "0357"},  // the longest that fit
  };
  Tavo t;
  ASSERT_TRUE(tavo_up(&t, binary ? TavoRun{{"COM1:", "115200", "/B"}} : TavoRun()));
  std::string a, b, missing;
  for (int i = 0; i < 3001; i++) a += (char)(i * 151 + i / 5 + 3);
  for (int i = 0; i < 700; i++) b += (char)(i * 7 + 1);
  write_file(in_dir(&t, "a.bin"), a);
  write_file(in_dir(&t, "b.bin"), b);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.command);
    if (system(("command -v " + std::string(row.tool) + " >/dev/null").c_str()) != 0) {
      missing = row.tool;
      continue;
    }
    ASSERT_EQ(system(("cd '" + t.dir + "' && " + row.command +
                      " && objcopy -I srec -O binary image.srec expected.bin").c_str()), 0);
    memory_clear();
    board_request(&t, "L image.srec\r");
    Received got;
    binary ? receive_binary(&t, &got) : receive_text(&t, &got);
    board_check_idle(&t);
    EXPECT_EQ(got.types, row.types);
    ASSERT_TRUE(memory_dump_file(in_dir(&t, "loaded.bin").c_str()));
    EXPECT_TRUE(read_file(in_dir(&t, "loaded.bin")) == read_file(in_dir(&t, "expected.bin")))
        << "the board's memory differs from objcopy's binary";
  }
  tavo_stop(&t);
  if (!missing.empty()) GTEST_SKIP() << "skipped: " << missing << " is not installed";
}

}  // namespace

TEST(SrecToolsE2e, ImagesLoadByteExactlyInTextMode) { load_tool_images(false); }
TEST(SrecToolsE2e, ImagesLoadByteExactlyInBinaryMode) { load_tool_images(true); }
