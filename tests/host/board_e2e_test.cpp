// The simulated board driving the real tavo: images written by binutils and srecord
// load byte-exactly in text and binary mode, save writes what was loaded, bad records
// are refused, go ends tavo with status 0. tavo runs on a pseudo-terminal of its own
// (its controlling terminal); the board talks to it over a second pair.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const int RUN_LIMIT_MS = 120000;  // only a hang takes this long

struct BoardRun {
  int status = -1;      // the board's exit status; -1 when it did not exit normally
  std::string console;  // what tavo showed
  std::string log;      // the board's --log
};

long long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

std::string read_file(const std::string &path) {
  std::string out;
  FILE *file = fopen(path.c_str(), "rb");
  if (!file) return out;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) out.append(chunk, n);
  fclose(file);
  return out;
}

void write_file(const std::string &path, const std::string &bytes) {
  FILE *file = fopen(path.c_str(), "wb");
  ASSERT_TRUE(file) << path;
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
}

[[noreturn]] void exec_board(int console, const std::string &dir, std::vector<std::string> words) {
  setsid();
  ioctl(console, TIOCSCTTY, 0);
  dup2(console, 0);
  dup2(console, 1);
  dup2(console, 2);
  if (console > 2) close(console);
  if (chdir(dir.c_str()) != 0) _exit(126);
  std::vector<char *> argv;
  for (std::string &word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Runs tavo-board in `dir` with these arguments (a log is added) until it ends.
BoardRun run_board(const std::string &dir, std::vector<std::string> args) {
  BoardRun run;
  std::vector<std::string> words = {TAVO_BINARY_DIR "/tavo-board", "--log", dir + "/board.log",
                                    "--quiet-ms", "1000", "--settle-ms", "500", "--quiet"};
  words.insert(words.end(), args.begin(), args.end());
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) < 0) return run;
  pid_t pid = fork();
  if (pid == 0) {
    close(master);
    exec_board(slave, dir, words);
  }
  close(slave);
  long long deadline = now_ms() + RUN_LIMIT_MS;
  for (;;) {
    struct pollfd fd = {master, POLLIN, 0};
    int left = (int)(deadline - now_ms());
    if (left <= 0 || poll(&fd, 1, left) <= 0) {
      kill(-pid, SIGKILL);
      ADD_FAILURE() << "the board did not end in time";
      break;
    }
    char chunk[4096];
    ssize_t n = read(master, chunk, sizeof chunk);
    if (n <= 0) break;  // every holder of the console has gone
    run.console.append(chunk, (size_t)n);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.log = read_file(dir + "/board.log");
  return run;
}

bool have_program(const char *name) {
  std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return system(command.c_str()) == 0;
}

bool shell(const std::string &command) { return system(command.c_str()) == 0; }

// A directory of its own for each test, with a 3000-byte image in image.bin.
struct Workspace {
  std::string dir;
  std::string image;
};

void make_workspace(Workspace *w) {
  char dir[] = "/tmp/board_e2e_XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  w->dir = dir;
  for (int i = 0; i < 3000; i++) w->image += (char)((i * 151 + i / 5 + 3) & 0xFF);
  write_file(w->dir + "/image.bin", w->image);
}

void remove_workspace(const Workspace &w) { shell("rm -rf " + w.dir); }

struct ToolRow {
  const char *what;
  const char *tool;
  const char *command;  // run in the workspace: image.bin in, image.srec out
};

const ToolRow TOOL_ROWS[] = {
    {"objcopy S1 at 1000", "objcopy",
     "objcopy -I binary -O srec --change-addresses 0x1000 image.bin image.srec"},
    {"objcopy forced S3", "objcopy",
     "objcopy -I binary -O srec --srec-forceS3 image.bin image.srec"},
    {"objcopy S2 at 20000, 32-byte records", "objcopy",
     "objcopy -I binary -O srec --change-addresses 0x20000 --srec-len 32 image.bin image.srec"},
    {"srec_cat S1, 16 bytes a line", "srec_cat",
     "srec_cat image.bin -binary -offset 0x4000 -o image.srec -obs=16 -execution-start-address=0x4000"},
    {"srec_cat S3 at 80000000, 64 bytes a line", "srec_cat",
     "srec_cat image.bin -binary -offset 0x80000000 -o image.srec -obs=64 -address-length=4 "
     "-execution-start-address=0x80000000"},
    {"srec_cat S2, 120 bytes a line", "srec_cat",
     "srec_cat image.bin -binary -offset 0x30000 -o image.srec -obs=120 -address-length=3 "
     "-execution-start-address=0x30000"},
};

// srec_cat writes an S5 count after the data, and each row ends in an end record.
// Loads every tool's records with `command` (load or go) and compares the board's
// memory with objcopy's binary of the same records.
void load_tool_images(const std::vector<std::string> &mode, const char *command) {
  Workspace w;
  make_workspace(&w);
  int ran = 0;
  for (const ToolRow &row : TOOL_ROWS) {
    if (!have_program(row.tool)) {
      printf("skipped: %s (%s is not installed)\n", row.what, row.tool);
      continue;
    }
    ASSERT_TRUE(shell("cd " + w.dir + " && rm -f memory.bin && " + row.command)) << row.what;
    ASSERT_TRUE(shell("cd " + w.dir + " && objcopy -I srec -O binary image.srec expected.bin"));
    std::vector<std::string> args = {"--memory-dump", "memory.bin", "-c",
                                     std::string(command) + " image.srec", "--exit-when-done"};
    args.insert(args.end(), mode.begin(), mode.end());
    BoardRun run = run_board(w.dir, args);
    EXPECT_EQ(run.status, 0) << row.what << "\n" << run.log << "\n" << run.console;
    std::string memory = read_file(w.dir + "/memory.bin");
    EXPECT_EQ(memory.size(), w.image.size()) << row.what;
    EXPECT_TRUE(memory == read_file(w.dir + "/expected.bin")) << row.what;
    EXPECT_TRUE(memory == w.image) << row.what;
    // Every image ends in an end record (after an S5 count for srec_cat's): it must
    // reach the board too.
    EXPECT_NE(run.log.find("start address"), std::string::npos) << row.what << "\n" << run.log;
    ran++;
  }
  remove_workspace(w);
  if (ran == 0) GTEST_SKIP() << "skipped: neither objcopy nor srec_cat is installed";
}

TEST(BoardEndToEnd, ToolImagesLoadExactlyInTextMode) { load_tool_images({}, "load"); }

TEST(BoardEndToEnd, ToolImagesLoadExactlyInBinaryMode) { load_tool_images({"--", "/B"}, "load"); }

TEST(BoardEndToEnd, GoLoadsAndEndsTavoWithStatusZero) {
  Workspace w;
  make_workspace(&w);
  ASSERT_TRUE(shell("cd " + w.dir +
                    " && objcopy -I binary -O srec --change-addresses 0x1000 image.bin image.srec"));
  BoardRun run = run_board(w.dir, {"--memory-dump", "memory.bin", "-c", "go image.srec", "--", "/B"});
  EXPECT_EQ(run.status, 0) << run.log << run.console;
  EXPECT_NE(run.log.find("host status: 0"), std::string::npos) << run.log;
  EXPECT_TRUE(read_file(w.dir + "/memory.bin") == w.image);
  // S3 records, then S5 and the S7 that go answers with EOT.
  if (have_program("srec_cat")) {
    ASSERT_TRUE(shell("cd " + w.dir + " && srec_cat image.bin -binary -offset 0x80000000 -o s3.srec "
                      "-address-length=4 -execution-start-address=0x80000010"));
    run = run_board(w.dir, {"--memory-dump", "memory.bin", "-c", "go s3.srec", "--", "/B"});
    EXPECT_EQ(run.status, 0) << run.log << run.console;
    EXPECT_NE(run.log.find("go: program started at 80000010"), std::string::npos) << run.log;
    EXPECT_TRUE(read_file(w.dir + "/memory.bin") == w.image);
  } else {
    printf("skipped: go after S3 and S5 records (srec_cat is not installed)\n");
  }
  // Without /B tavo cannot be ended: go refuses and loads nothing.
  run = run_board(w.dir, {"--memory-dump", "memory.bin", "-c", "go image.srec", "-c", "map",
                          "--exit-when-done"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.log.find("go: needs tavo started with /B"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("\n0 bytes written"), std::string::npos) << run.log;
  remove_workspace(w);
}

struct ModeRow {
  const char *what;
  std::vector<std::string> mode;
};

const ModeRow MODES[] = {{"text mode", {}}, {"binary mode", {"--", "/B"}}};

TEST(BoardEndToEnd, SaveWritesWhatWasLoadedAndVerifyAgrees) {
  Workspace w;
  make_workspace(&w);
  ASSERT_TRUE(shell("cd " + w.dir +
                    " && objcopy -I binary -O srec --change-addresses 0x2000 image.bin image.srec"));
  for (const ModeRow &row : MODES) {
    std::vector<std::string> args = {"-c", "load image.srec", "-c", "save copy.s19",
                                     "-c", "save part.s19 2010 20", "-c", "verify copy.s19",
                                     "--exit-when-done"};
    args.insert(args.end(), row.mode.begin(), row.mode.end());
    BoardRun run = run_board(w.dir, args);
    EXPECT_EQ(run.status, 0) << row.what << "\n" << run.log << run.console;
    ASSERT_TRUE(shell("cd " + w.dir + " && objcopy -I srec -O binary copy.s19 copy.bin"))
        << row.what;
    EXPECT_TRUE(read_file(w.dir + "/copy.bin") == w.image) << row.what;
    std::string part = read_file(w.dir + "/part.s19");
    EXPECT_EQ(part.rfind("S00D00007461766F2D626F61726403\r\n", 0), 0u) << row.what << ": " << part;
    ASSERT_TRUE(shell("cd " + w.dir + " && objcopy -I srec -O binary part.s19 part.bin"));
    EXPECT_TRUE(read_file(w.dir + "/part.bin") == w.image.substr(0x10, 0x20)) << row.what;
  }
  remove_workspace(w);
}

struct FailureRow {
  const char *what;
  std::vector<std::string> args;
  int status;
  const char *log_text;  // must appear in the board's log
};

TEST(BoardEndToEnd, BadRecordsAndMissingFilesAreReported) {
  Workspace w;
  make_workspace(&w);
  // The second record's checksum spoiled.
  write_file(w.dir + "/broken.s19",
             "S00600004844521B\nS107100001020304DE\nS107100401020304DB\nS9030000FC\n");
  const FailureRow rows[] = {
      {"bad checksum in text mode", {"-c", "load broken.s19", "--exit-when-done"}, 1,
       "1 bad records, the first at line 3: bad checksum"},
      {"bad checksum in binary mode: three NAKs, then skipped",
       {"-c", "load broken.s19", "--exit-when-done", "--", "/B"}, 1, "3 NAKs sent for bad records"},
      {"a file tavo cannot open, text mode", {"-c", "load missing.s19", "--exit-when-done"}, 1,
       "load: the host cannot open missing.s19"},
      {"a file tavo cannot open, binary mode",
       {"-c", "load missing.s19", "--exit-when-done", "--", "/B"}, 1,
       "load: the host cannot open missing.s19"},
      {"a save tavo cannot write", {"-c", "set 0 1", "-c", "save no/such/dir.s19", "--exit-when-done"}, 1,
       "save: the host cannot write no/such/dir.s19"},
      {"the next request works after a refusal",
       {"-c", "load missing.s19", "-c", "load image.srec", "-c", "map", "--exit-when-done"}, 1,
       "\n00001000-00001BB7  3000 bytes"},
  };
  ASSERT_TRUE(shell("cd " + w.dir +
                    " && objcopy -I binary -O srec --change-addresses 0x1000 image.bin image.srec"));
  for (const FailureRow &row : rows) {
    BoardRun run = run_board(w.dir, row.args);
    EXPECT_EQ(run.status, row.status) << row.what << "\n" << run.log;
    EXPECT_NE(run.log.find(row.log_text), std::string::npos) << row.what << "\n" << run.log;
  }
  remove_workspace(w);
}

struct TypeRow {
  const char *what;
  const char *name;
  const char *content;  // nullptr: no such file
  const char *shown;    // what the board's log must hold
};

// In text mode the first bytes are ambiguous: an 'R' could start a binary record, a
// '>' could be tavo's refusal, its end of the file, or a byte of the file.
TEST(BoardEndToEnd, TextModeTellsFileBytesFromTheHostsAnswers) {
  Workspace w;
  make_workspace(&w);
  const TypeRow rows[] = {
      {"a file starting with R", "r.txt", "Readme first\n", "(13 bytes)\nReadme first\n-----"},
      {"a file starting with >", "g.txt", ">>> quoted\n", "(11 bytes)\n>>> quoted\n-----"},
      {"a file that is one >", "g1.txt", ">", "(1 bytes)\n>\n-----"},
      {"an empty file", "empty.txt", "", "(0 bytes)\n-----"},
      {"no such file", "missing.txt", nullptr, "type: the host cannot open missing.txt"},
  };
  std::vector<std::string> args;
  for (const TypeRow &row : rows) {
    if (row.content) write_file(w.dir + "/" + row.name, row.content);
    args.push_back("-c");
    args.push_back(std::string("type ") + row.name);
  }
  args.push_back("-c");
  args.push_back("type r.txt");  // the next request still works
  args.push_back("--exit-when-done");
  BoardRun run = run_board(w.dir, args);
  EXPECT_EQ(run.status, 1) << "the missing file fails its command";
  for (const TypeRow &row : rows)
    EXPECT_NE(run.log.find(row.shown), std::string::npos) << row.what << "\n" << run.log;
  EXPECT_NE(run.log.rfind("(13 bytes)\nReadme first"), run.log.find("(13 bytes)\nReadme first"))
      << "the request after the refusal\n" << run.log;
  remove_workspace(w);
}

}  // namespace
