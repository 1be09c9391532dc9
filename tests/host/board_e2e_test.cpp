// The simulated board and tavo: the board's monitor drives the real tavo through the
// examples, and S-record images made by binutils and srecord load byte-exactly, checked
// by the board's own decoder and memory.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "tools/board/memory.h"
#include "tools/board/srec.h"

// tavo-board's --log says "result: CMD: ok" per command and "host status: N".
TEST(BoardE2e, ExamplesLoadVerifySaveAndGo) {
  struct Row {
    const char *what;
    std::vector<std::string> args;
    int status;
    const char *log_has;
  } rows[] = {
      {"text mode: load, verify, save, load the saved copy",
       {"-c", "load hello.s19", "-c", "verify hello.s19", "-c", "save copy.s19",
        "-c", "clear", "-c", "load copy.s19", "-c", "verify hello.s19", "--exit-when-done"},
       0, "result: verify: ok"},
      {"go answers the end record with EOT: tavo ends with status 0",
       {"-c", "go blink.s28", "--", "/B"}, 0, "host status: 0"},
      {"a bad checksum is refused (NAK) and reported",
       {"-c", "load broken.s19", "--exit-when-done", "--", "/B"}, 1, "failed"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    TavoRun run;
    run.program = run.argv0 = TAVO_BINARY_DIR "/tavo-board";
    run.args = {"--log", "board.log", "--settle-ms", "500", "--quiet"};
    run.args.insert(run.args.end(), row.args.begin(), row.args.end());
    for (const char *name : {"hello.s19", "table.s37", "blink.s28", "broken.s19"})
      run.files.push_back({name, read_file(std::string(TAVO_SOURCE_DIR "/examples/") + name)});
    Tavo t;
    ASSERT_TRUE(tavo_start(&t, run, false));
    EXPECT_EQ(tavo_wait_exit(&t), row.status);
    std::string log = read_file(t.dir + "/board.log");
    EXPECT_NE(log.find(row.log_has), std::string::npos) << log;
    tavo_stop(&t);
  }
}

// Takes one binary download as the board into its memory: records up to the end
// record, each decoded (checksum, S5 count) and answered with ACK. Gives the record
// types in order, runs collapsed ("0135").
static std::string receive(Tavo *t) {
  std::string types;
  uint32_t data_records = 0;
  for (SrecRecord r; types.empty() || !srec_is_end(types.back()); board_send(t, "\x06")) {
    std::string head = board_read(t, 3);
    if (head.size() < 3 || head[0] != 'R') return types + ", then not a record: " + hex(head);
    std::string record = head.substr(1) + board_read(t, (unsigned char)head[2]);
    SrecStatus status = srec_parse_binary((const uint8_t *)record.data(), record.size(), &r);
    EXPECT_EQ(status, SREC_OK) << "after " << data_records << " data records";
    if (types.empty() || types.back() != r.type) types += r.type;
    EXPECT_TRUE((r.type != '5' && r.type != '6') || r.address == data_records) << "the S5 count";
    data_records += srec_is_data(r.type);
    for (int i = 0; srec_is_data(r.type) && i < r.data_length; i++)
      EXPECT_TRUE(memory_write(r.address + (uint32_t)i, r.data[i]));
  }
  return types;
}

// The board's memory after the load is compared with objcopy's binary of the same
// image; gaps read as zeros in both.
TEST(BoardE2e, ToolImagesLoadByteExactly) {
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
  std::string a, b, missing;
  for (int i = 0; i < 3001; i++) a += (char)(i * 151 + i / 5 + 3);
  for (int i = 0; i < 700; i++) b += (char)(i * 7 + 1);
  TavoRun run = binary_run();
  run.files = {{"a.bin", a}, {"b.bin", b}};
  Tavo t;
  ASSERT_TRUE(tavo_start(&t, run));
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
    EXPECT_EQ(receive(&t), row.types);
    board_check_idle(&t);
    ASSERT_TRUE(memory_dump_file((t.dir + "/loaded.bin").c_str()));
    EXPECT_TRUE(read_file(t.dir + "/loaded.bin") == read_file(t.dir + "/expected.bin"))
        << "the board's memory differs from objcopy's binary";
  }
  tavo_stop(&t);
  if (!missing.empty()) GTEST_SKIP() << "skipped: " << missing << " is not installed";
}
