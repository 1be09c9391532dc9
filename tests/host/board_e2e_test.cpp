// The simulated board and tavo: the board's monitor drives the real tavo through the
// examples, and S-record images made by binutils and srecord load byte-exactly, checked
// by the board's own decoder and memory.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "tools/board/memory.h"
#include "tools/board/srec.h"

// tavo-board's --log says "result: CMD: ok" per command and "host status: N".
TEST(BoardE2e, ExamplesLoadVerifySaveAndGo) {
  const struct { const char *what; std::vector<std::string> args; int status; std::vector<const char *> log_has; } rows[] = {
      {"text mode: load, verify, save, load the saved copy",
       {"-c", "load hello.s19", "-c", "verify hello.s19", "-c", "save copy.s19",
        "-c", "clear", "-c", "load copy.s19", "-c", "verify hello.s19", "--exit-when-done"},
       0, {"result: verify: ok"}},
      {"binary: a bad checksum is refused (NAK) and reported; go answers the end record with "
       "EOT, and tavo ends with status 0",
       {"-c", "load broken.s19", "-c", "go blink.s28", "--", "/B"},
       1, {"result: load: failed", "result: go: ok", "host status: 0"}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    TavoRun run;
    run.program = run.argv0 = TAVO_BINARY_DIR "/tavo-board";
    run.args = {"--log", "board.log", "--settle-ms", "500", "--quiet"};
    run.args.insert(run.args.end(), row.args.begin(), row.args.end());
    for (const char *name : {"hello.s19", "blink.s28", "broken.s19"})
      run.files.push_back({name, read_file(std::string(TAVO_SOURCE_DIR "/examples/") + name)});
    Tavo t;
    ASSERT_TRUE(tavo_start(&t, run, false));
    EXPECT_EQ(tavo_wait_exit(&t), row.status);
    std::string log = read_file(t.dir + "/board.log");
    for (const char *has : row.log_has) EXPECT_NE(log.find(has), std::string::npos) << log;
    tavo_stop(&t);
  }
}

// Takes a binary download into the board's memory, every record's checksum checked and
// answered ACK; gives the record types, runs collapsed ("0135").
static std::string receive(Tavo *t) {
  std::string types;
  for (SrecRecord r; types.empty() || !srec_is_end(types.back()); board_send(t, "\x06")) {
    std::string record = board_read_record(t);
    if (record.size() < 3 || record[0] != 'R') return types + ", then " + hex(record);
    SrecStatus status = srec_parse_binary((const uint8_t *)&record[1], record.size() - 1, &r);
    EXPECT_EQ(status, SREC_OK) << "after " << types;
    if (types.empty() || types.back() != r.type) types += r.type;
    for (int i = 0; srec_is_data(r.type) && i < r.data_length; i++)
      EXPECT_TRUE(memory_write(r.address + (uint32_t)i, r.data[i]));
  }
  return types;
}

// The board's memory is compared with objcopy's binary of the image (gaps are zeros).
TEST(BoardE2e, ToolImagesLoadByteExactly) {
  const struct { const char *command, *types; } rows[] = {  // the command makes image.srec from a.bin and b.bin
      {"objcopy -I binary -O srec --change-addresses 0x1000 a.bin image.srec", "019"},
      {"srec_cat a.bin -binary -offset 0x100 b.bin -binary -offset 0x3000 -o image.srec -obs=16 "
       "-address-length=2 -execution-start-address=0x100", "0159"},
      {"srec_cat a.bin -binary -offset 0x10000 b.bin -binary -offset 0x12345 -o image.srec "
       "-obs=123 -address-length=3 -execution-start-address=0x10000", "0258"},
      {"srec_cat a.bin -binary -offset 0x40000000 -o image.srec -obs=190 -address-length=4 "
       "-execution-start-address=0x40000000", "0357"},  // the longest records that fit
  };
  if (system("command -v objcopy >/dev/null && command -v srec_cat >/dev/null") != 0)
    GTEST_SKIP() << "objcopy or srec_cat is not installed";
  std::string a, b;
  for (int i = 0; i < 3001; i++) a += (char)(i * 151 + i / 5 + 3);
  for (int i = 0; i < 700; i++) b += (char)(i * 7 + 1);
  TavoRun run = binary_run;
  run.files = {{"a.bin", a}, {"b.bin", b}};
  Tavo t;
  ASSERT_TRUE(tavo_start(&t, run));
  for (const auto &row : rows) {
    SCOPED_TRACE(row.command);
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
}
