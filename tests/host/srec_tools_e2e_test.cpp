// S-record images made by binutils and srecord load byte-exactly through tavo, in text
// and in binary mode. The test plays the board with the simulated board's own decoder
// (every checksum and S5 count checked) and memory, and compares that memory with
// objcopy's binary of the same file; gaps read as zeros in both.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "tools/board/memory.h"
#include "tools/board/srec.h"

namespace {

// Takes one download as the board, into the board's memory; gives the record types in
// order, runs collapsed ("0135"). Binary: records are taken up to the end record, each
// answered with ACK. Text: every byte is echoed up to the host's closing '>' (S-records
// hold none), that answered with ENQ, and then the lines are decoded.
std::string receive(Tavo *t, bool binary) {
  std::string types, text;
  uint32_t data_records = 0;
  auto store = [&](SrecStatus status, const SrecRecord &r) {
    ASSERT_EQ(status, SREC_OK) << "after " << data_records << " data records: " << srec_status_text(status);
    if (types.empty() || types.back() != r.type) types += r.type;
    EXPECT_TRUE((r.type != '5' && r.type != '6') || r.address == data_records) << "the S5 count";
    if (r.type < '1' || r.type > '3') return;
    data_records++;
    for (int i = 0; i < r.data_length; i++) ASSERT_TRUE(memory_write(r.address + (uint32_t)i, r.data[i]));
  };
  SrecRecord r;
  while (binary && (types.empty() || !srec_is_end(types.back()))) {
    std::string head = board_read(t, 3);
    if (head.size() < 3 || head[0] != 'R') return "not a record: " + hex(head);
    std::string record = head.substr(1) + board_read(t, (unsigned char)head[2]);
    store(srec_parse_binary((const uint8_t *)record.data(), record.size(), &r), r);
    board_send(t, "\x06");
  }
  for (std::string b = binary ? "" : board_read(t, 1); !b.empty() && b != ">"; b = board_read(t, 1)) {
    text += b;
    board_send(t, b);
  }
  if (!binary) {
    board_send(t, "\x05");
    EXPECT_EQ(hex(board_read(t, 1)), "06");
  }
  EXPECT_EQ(text.find('\r'), std::string::npos) << "CR LF must reach the board as LF";
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    store(srec_parse_text(text.data() + start, end - start, &r), r);
  }
  return types;
}

void load_tool_images(bool binary) {
  struct Row {
    const char *command;  // makes image.srec from a.bin and b.bin
    const char *types;
  };
  const Row rows[] = {
      {"objcopy -I binary -O srec --change-addresses 0x1000 a.bin image.srec", "019"},
      {"objcopy -I binary -O srec --srec-forceS3 a.bin image.srec", "037"},
      {"srec_cat a.bin -binary -offset 0x100 b.bin -binary -offset 0x3000 -o image.srec -obs=16 "
       "-address-length=2 -execution-start-address=0x100", "0159"},
      {"srec_cat a.bin -binary -offset 0x10000 b.bin -binary -offset 0x12345 -o image.srec "
       "-obs=123 -address-length=3 -execution-start-address=0x10000", "0258"},
      {"srec_cat a.bin -binary -offset 0x40000000 -o image.srec -obs=190 -address-length=4 "
       "-execution-start-address=0x40000000", "0357"},  // the longest records that fit
  };
  Tavo t;
  ASSERT_TRUE(tavo_up(&t, binary ? TavoRun{{"COM1:", "115200", "/B"}} : TavoRun()));
  std::string a, b, missing;
  for (int i = 0; i < 3001; i++) a += (char)(i * 151 + i / 5 + 3);
  for (int i = 0; i < 700; i++) b += (char)(i * 7 + 1);
  write_file(t.dir + "/a.bin", a);
  write_file(t.dir + "/b.bin", b);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.command);
    std::string tool = std::string(row.command).substr(0, std::string(row.command).find(' '));
    if (system(("command -v " + tool + " >/dev/null").c_str()) != 0) {
      missing = tool;
      continue;
    }
    ASSERT_EQ(system(("cd '" + t.dir + "' && " + row.command +
                      " && objcopy -I srec -O binary image.srec expected.bin").c_str()), 0);
    memory_clear();
    board_request(&t, "L image.srec\r");
    EXPECT_EQ(receive(&t, binary), row.types);
    board_check_idle(&t);
    ASSERT_TRUE(memory_dump_file((t.dir + "/loaded.bin").c_str()));
    EXPECT_TRUE(read_file(t.dir + "/loaded.bin") == read_file(t.dir + "/expected.bin"))
        << "the board's memory differs from objcopy's binary";
  }
  tavo_stop(&t);
  if (!missing.empty()) GTEST_SKIP() << "skipped: " << missing << " is not installed";
}

}  // namespace

TEST(SrecToolsE2e, ImagesLoadByteExactlyInTextMode) { load_tool_images(false); }
TEST(SrecToolsE2e, ImagesLoadByteExactlyInBinaryMode) { load_tool_images(true); }
