// The simulated board driving the real tavo on a pseudo-terminal: the examples load,
// verify and save in both modes, go ends tavo with status 0, a bad record is refused.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/e2e_harness.h"

namespace {

// Runs tavo-board in `dir` with these arguments until it ends (or 120 s, a hang); gives
// its exit status (-1 when it did not exit normally). Its --log (board.log) says
// "result: CMD: ok" per command and "host status: N".
int run_board(const std::string &dir, std::vector<std::string> args) {
  std::vector<std::string> words = {TAVO_BINARY_DIR "/tavo-board", "--log", dir + "/board.log",
                                    "--settle-ms", "500", "--quiet"};
  words.insert(words.end(), args.begin(), args.end());
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) < 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    for (int fd = 0; fd < 3; fd++) dup2(slave, fd);
    if (chdir(dir.c_str()) != 0) _exit(126);
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(&word[0]);
    execv(argv[0], (argv.push_back(nullptr), argv.data()));
    _exit(127);
  }
  close(slave);
  char chunk[4096];
  struct pollfd fd = {master, POLLIN, 0};
  while (poll(&fd, 1, 120000) > 0 && read(master, chunk, sizeof chunk) > 0) {
  }  // the screen is drained until every holder of the console has gone
  kill(pid, SIGKILL);  // only reached alive after a hang
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(BoardEndToEnd, ExamplesLoadVerifySaveAndGo) {
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
      {"binary mode: S3 records with an S5 count, verify, save",
       {"-c", "load table.s37", "-c", "verify table.s37", "-c", "save copy.s37",
        "--exit-when-done", "--", "/B"},
       0, "result: save: ok"},
      {"go answers the end record with EOT: tavo ends with status 0",
       {"-c", "go blink.s28", "--", "/B"}, 0, "host status: 0"},
      {"a bad checksum is refused (NAK) and reported",
       {"-c", "load broken.s19", "--exit-when-done", "--", "/B"}, 1, "failed"},
  };
  for (const Row &row : rows) {
    char dir[] = "/tmp/tavo-board-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    for (const char *name : {"hello.s19", "table.s37", "blink.s28", "broken.s19"}) {
      write_file(std::string(dir) + "/" + name,
                 read_file(std::string(TAVO_SOURCE_DIR "/examples/") + name));
    }
    int status = run_board(dir, row.args);
    std::string log = read_file(std::string(dir) + "/board.log");
    EXPECT_EQ(status, row.status) << row.what << "\n" << log;
    EXPECT_NE(log.find(row.log_has), std::string::npos) << row.what << "\n" << log;
    EXPECT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
  }
}

}  // namespace
