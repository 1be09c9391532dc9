// Rows 4 to 6: the transfers, tavo against a board that answers at once, beside a
// floor loop (bench-floor) doing the same exchange on the same kind of pty pair. The
// board's side is the same code for both, and it times the exchange: from the first
// byte of the transfer to its last answer. Every byte is checked.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "bench.h"
#include "files.h"

static const int answer_timeout_ms = 30000;  // only a hang waits this long
static const uint8_t enq = 0x05, ack = 0x06;

typedef std::function<std::string(int line, int64_t *elapsed_ns)> BoardSide;

struct Outcome {
  double elapsed_s = -1;
  long rss_kib = -1;
};

// ---- The board's side -------------------------------------------------------------

static std::string start_request(int fd, const std::string &request) {
  std::string seen;
  if (!write_all(fd, &enq, 1)) return "line closed";
  if (!read_until(fd, &seen, "*", answer_timeout_ms)) return "no '*' after ENQ";
  if (!write_all(fd, request.data(), request.size())) return "line closed";
  return "";
}

// Reads what is there (waiting up to the bound) into buffer; its length, 0 on none.
static ssize_t read_block(int fd, uint8_t *buffer, size_t size) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, answer_timeout_ms) <= 0) return 0;
  ssize_t n = read(fd, buffer, size);
  return n < 0 ? 0 : n;
}

// Echoes every byte of the file at once; the '>' after the last ends it, ENQ/ACK.
static std::string board_text(int fd, const std::string &text, int64_t *elapsed) {
  std::string error = start_request(fd, "L text.txt\r");
  if (!error.empty()) return error;
  size_t got = 0;
  int64_t start = 0, end = 0;
  uint8_t buffer[4096];
  while (end == 0) {
    ssize_t n = read_block(fd, buffer, sizeof buffer);
    if (n == 0) return "stalled after " + std::to_string(got) + " characters";
    if (start == 0) start = now_ns();
    ssize_t echo = 0;
    for (; echo < n; echo++) {
      if (got == text.size()) {
        if (buffer[echo] != '>') return "a byte after the end of the file";
        end = now_ns();
        break;
      }
      if (buffer[echo] != (uint8_t)text[got]) return "character " + std::to_string(got) + " differs";
      got++;
    }
    if (echo > 0 && !write_all(fd, buffer, (size_t)echo)) return "line closed";
  }
  std::string seen;
  if (!write_all(fd, &enq, 1) || !read_until(fd, &seen, "\x06", answer_timeout_ms)) {
    return "no ACK after the end";
  }
  *elapsed = end - start;
  return "";
}

// ACKs every record as soon as its last byte is in; every byte is checked.
static std::string board_records(int fd, const SrecImage &image, int64_t *elapsed) {
  std::string error = start_request(fd, "L image.srec\r");
  if (!error.empty()) return error;
  const std::vector<uint8_t> &expected = image.binary;
  size_t got = 0, records = 0, record_end = 3 + expected[2];
  int64_t start = 0;
  uint8_t buffer[4096];
  while (got < expected.size()) {
    ssize_t n = read_block(fd, buffer, sizeof buffer);
    if (n == 0) return "stalled after " + std::to_string(records) + " records";
    if (start == 0) start = now_ns();
    for (ssize_t i = 0; i < n; i++) {
      if (got == expected.size()) return "a byte after the last record";
      if (buffer[i] != expected[got]) return "byte " + std::to_string(got) + " of the records differs";
      if (++got == record_end) {
        if (!write_all(fd, &ack, 1)) return "line closed";
        records++;
        if (got < expected.size()) record_end = got + 3 + expected[got + 2];
      }
    }
  }
  *elapsed = now_ns() - start;
  return records == image.records ? "" : "record count differs";
}

// Sends each line once the host has asked for it with '+'; '>' ends the save.
static std::string board_save(int fd, const SrecImage &image, int64_t *elapsed) {
  std::string error = start_request(fd, "S saved.srec\r");
  if (!error.empty()) return error;
  uint8_t mark = 0;
  if (read_block(fd, &mark, 1) != 1 || mark != '+') return "no '+' for the first line";
  int64_t start = now_ns();
  for (size_t i = 0; i < image.lines.size(); i++) {
    const std::string &line = image.lines[i];
    if (!write_all(fd, line.data(), line.size())) return "line closed";
    if (read_block(fd, &mark, 1) != 1 || mark != '+') {
      return "no '+' after line " + std::to_string(i + 1);
    }
  }
  *elapsed = now_ns() - start;
  return write_all(fd, ">", 1) ? "" : "line closed";
}

// ---- The hosts ---------------------------------------------------------------------

// tavo in its own working directory; its console is read all the while (it shows
// the progress there). After the transfer the screen path must work again: that
// proves tavo is back in its terminal, its file closed.
static Outcome with_tavo(const char *row, const std::vector<std::string> &args,
                         const std::string &dir, const BoardSide &board) {
  Outcome out;
  Session s;
  if (!session_start(&s, PROGRAM_TAVO, args, false, dir) || !session_sync_screen(&s)) {
    table_fail(row, "tavo: did not start or pass bytes");
    session_end(&s);
    return out;
  }
  std::atomic<bool> stop{false};
  std::thread screen([&] {
    std::string discard;
    while (!stop.load()) {
      read_some(s.console.master, &discard, 50);
      discard.clear();
    }
  });
  int64_t elapsed = 0;
  std::string error = board(s.line.master, &elapsed);
  stop.store(true);
  screen.join();
  if (error.empty() && !session_sync_screen(&s)) error = "did not come back to its terminal";
  bool ended = session_end(&s);
  if (!error.empty()) {
    table_fail(row, "tavo: " + error);
    return out;
  }
  if (!ended) table_fail(row, "tavo: did not end when asked");
  out.elapsed_s = (double)elapsed / 1e9;
  out.rss_kib = s.child.maxrss_kib;
  return out;
}

static Outcome with_floor(const char *row, const char *mode, const std::string &dir,
                          const BoardSide &board) {
  Outcome out;
  Pty line;
  if (!pty_open(&line, true)) {
    table_fail(row, "no pseudo-terminal");
    return out;
  }
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return out;
  Child child;
  Spawn spawn;
  spawn.argv = {config.bin_dir + "/bench-floor", mode, line.path};
  spawn.cwd = dir;
  spawn.stdout_fd = report[1];
  spawn.stderr_fd = 2;
  int64_t elapsed = 0;
  std::string error = child_start(&child, spawn) ? board(line.master, &elapsed) : "did not start";
  close(report[1]);
  if (!child_wait(&child, answer_timeout_ms) && error.empty()) error = "did not end";
  std::string said;
  while (read_some(report[0], &said, 1000)) {
  }
  close(report[0]);
  if (error.empty() && (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0)) {
    error = "ended with a failure";
  }
  pty_close(&line);
  if (!error.empty()) {
    table_fail(row, std::string("floor: ") + error);
    return out;
  }
  out.elapsed_s = (double)elapsed / 1e9;
  out.rss_kib = peak_from_report(said);
  return out;
}

static std::string fresh_dir(const char *name) {
  std::string dir = config.work_dir + "/" + name;
  mkdir(dir.c_str(), 0700);
  return dir;
}

static double per(double elapsed_s, double count, double scale) {
  return elapsed_s < 0 ? -1 : elapsed_s * scale / count;
}

static double rate(double elapsed_s, double count) {
  return elapsed_s <= 0 ? -1 : count / elapsed_s;
}

// ---- Rows ----------------------------------------------------------------------------

void row_text_download(void) {
  size_t size = config.short_mode ? 2048 : 32768;
  std::string text = make_text(size);
  std::string tavo_dir = fresh_dir("text-tavo"), floor_dir = fresh_dir("text-floor");
  if (!write_file(tavo_dir + "/text.txt", text) || !write_file(floor_dir + "/text.txt", text)) {
    table_fail("4", "cannot write the text file");
    return;
  }
  BoardSide board = [&](int fd, int64_t *e) { return board_text(fd, text, e); };
  Outcome tavo = with_tavo("4", {}, tavo_dir, board);
  Outcome floor = with_floor("4", "echo", floor_dir, board);
  std::string measure = "text download " + std::to_string(size / 1024) + " KiB, round trip";
  table_add({"4", measure, "us/char", "tavo", per(tavo.elapsed_s, (double)size, 1e6), tavo.rss_kib,
             "floor loop", per(floor.elapsed_s, (double)size, 1e6), floor.rss_kib});
}

void row_binary_download(void) {
  size_t size = config.short_mode ? (size_t)64 << 10 : (size_t)1 << 20;
  SrecImage image = make_srec(size, "\n");
  std::string tavo_dir = fresh_dir("binary-tavo"), floor_dir = fresh_dir("binary-floor");
  if (!write_file(tavo_dir + "/image.srec", image.text) ||
      !write_file(floor_dir + "/image.srec", image.text)) {
    table_fail("5", "cannot write the S-record file");
    return;
  }
  BoardSide board = [&](int fd, int64_t *e) { return board_records(fd, image, e); };
  Outcome tavo = with_tavo("5", {"/B"}, tavo_dir, board);
  Outcome floor = with_floor("5", "records", floor_dir, board);
  double n = (double)image.records;
  std::string what = "binary download " + std::to_string(size >> 10) + " KiB, " +
                     std::to_string(image.records) + " records";
  table_add({"5", what, "records/s", "tavo", rate(tavo.elapsed_s, n), tavo.rss_kib, "floor loop",
             rate(floor.elapsed_s, n), floor.rss_kib});
  table_add({"5", what + ", round trip", "us/record", "tavo", per(tavo.elapsed_s, n, 1e6),
             tavo.rss_kib, "floor loop", per(floor.elapsed_s, n, 1e6), floor.rss_kib});
}

void row_save(void) {
  size_t size = config.short_mode ? (size_t)64 << 10 : (size_t)1 << 20;
  // S-record lines ending in CR LF, as a board sends them, about `size` bytes in all.
  SrecImage image = make_srec(size * 32 / 76, "\r\n");
  std::string tavo_dir = fresh_dir("save-tavo"), floor_dir = fresh_dir("save-floor");
  BoardSide board = [&](int fd, int64_t *e) { return board_save(fd, image, e); };
  Outcome tavo = with_tavo("6", {}, tavo_dir, board);
  Outcome floor = with_floor("6", "save", floor_dir, board);
  if (tavo.elapsed_s >= 0 && read_file(tavo_dir + "/saved.srec") != image.text) {
    table_fail("6", "tavo: the saved file differs from what the board sent");
    tavo = Outcome();
  }
  if (floor.elapsed_s >= 0 && read_file(floor_dir + "/saved.srec") != image.text) {
    table_fail("6", "floor: the saved file differs from what the board sent");
    floor = Outcome();
  }
  double bytes = (double)image.text.size();
  std::string measure = "save " + std::to_string(image.text.size() >> 10) + " KiB, '+' a line";
  table_add({"6", measure, "KB/s", "tavo", rate(tavo.elapsed_s, bytes / 1e3), tavo.rss_kib,
             "floor loop", rate(floor.elapsed_s, bytes / 1e3), floor.rss_kib});
}
