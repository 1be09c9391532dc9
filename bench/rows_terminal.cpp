// Rows 1 to 3: the terminal itself. A flood of 80-column text from the board to the
// screen, checked byte for byte; the latency of one byte from the board to the
// screen and of one key to the board. tavo beside picocom and beside cat copying
// between the same two pseudo-terminals. Row 9: the flood and the board-to-screen
// latency with the board behind ser2net, tavo beside socat copying the same port.
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "bench.h"

static const int stall_limit_ms = 30000;  // no progress this long means bytes were lost

struct Figure {
  double value = -1;
  long rss_kib = -1;
};

// ---- Row 1: flood ----------------------------------------------------------------------

// The board writes `total` bytes of the pattern as fast as the line takes them.
static void flood_writer(int fd, size_t total, std::atomic<bool> *stop) {
  const uint8_t *pattern = pattern_bytes();
  size_t sent = 0;
  while (sent < total && !stop->load()) {
    size_t offset = sent % pattern_period;
    size_t n = total - sent < 60000 ? total - sent : 60000;
    ssize_t w = write(fd, pattern + offset, n);
    if (w > 0) {
      sent += (size_t)w;
    } else {
      struct pollfd p = {fd, POLLOUT, 0};
      poll(&p, 1, 100);
    }
  }
}

// Reads the screen until `total` bytes have come, each checked against the pattern.
// The time is taken when the last byte arrives; "" or what went wrong.
static std::string flood_reader(int fd, size_t total, int64_t *end_ns) {
  static uint8_t buffer[60000];
  const uint8_t *pattern = pattern_bytes();
  size_t got = 0;
  int64_t last_progress = now_ns();
  while (got < total) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) {
      if (now_ns() - last_progress > (int64_t)stall_limit_ms * 1000000) {
        return "stalled after " + std::to_string(got) + " of " + std::to_string(total) + " bytes";
      }
      continue;
    }
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return "screen closed after " + std::to_string(got) + " bytes";
    if (got + (size_t)n > total) return "more bytes than were sent";
    if (memcmp(buffer, pattern + got % pattern_period, (size_t)n) != 0) {
      size_t at = 0;
      while (buffer[at] == pattern[(got + at) % pattern_period]) at++;
      return "byte " + std::to_string(got + at) + " differs (lost or out of order)";
    }
    got += (size_t)n;
    last_progress = now_ns();
  }
  *end_ns = now_ns();
  return "";
}

static Figure flood_one(Program program, size_t total) {
  Figure f;
  Session s;
  std::string what = std::string(program_name(program)) + ": ";
  if (!session_start(&s, program, {}, false, "") || !session_sync_screen(&s)) {
    table_fail(program >= PROGRAM_TAVO_NET ? "9" : "1", what + "did not start or pass bytes");
    session_end(&s);
    return f;
  }
  fcntl(s.line.master, F_SETFL, fcntl(s.line.master, F_GETFL) | O_NONBLOCK);
  std::atomic<bool> stop{false};
  int64_t start = now_ns();
  std::thread writer(flood_writer, s.line.master, total, &stop);
  int64_t end = 0;
  std::string error = flood_reader(s.console.master, total, &end);
  stop.store(true);
  writer.join();
  bool ended = session_end(&s);
  if (!error.empty()) {
    table_fail("1", what + error);
    return f;
  }
  if (!ended) table_fail("1", what + "did not end when asked");
  f.value = (double)total / 1e6 / ((double)(end - start) / 1e9);
  f.rss_kib = s.child.maxrss_kib;
  return f;
}

static void add_line(const char *row, const char *measure, const char *unit, const Figure &tavo,
                     Program base, const Figure &b) {
  table_add({row, measure, unit, "tavo", tavo.value, tavo.rss_kib, program_name(base), b.value,
             b.rss_kib});
}

void row_flood(void) {
  size_t total = config.short_mode ? (size_t)4 << 20 : (size_t)64 << 20;
  const char *measure = config.short_mode ? "flood 4 MiB board->screen" : "flood 64 MiB board->screen";
  Figure tavo = flood_one(PROGRAM_TAVO, total);
  Figure picocom = config.have_picocom ? flood_one(PROGRAM_PICOCOM, total) : Figure();
  Figure cat = flood_one(PROGRAM_CAT, total);
  add_line("1", measure, "MB/s", tavo, PROGRAM_PICOCOM, picocom);
  add_line("1", measure, "MB/s", tavo, PROGRAM_CAT, cat);
}

// ---- Rows 2 and 3: latency ---------------------------------------------------------------

struct Latency {
  double median = -1;
  double p99 = -1;
  long rss_kib = -1;
};

// One byte at a time from `to` to `from`, a short pause between them so that every
// thread on the way has gone back to sleep; times in microseconds.
static std::string measure_latency(int to, int from, int samples, std::vector<double> *times) {
  for (int i = 0; i < samples; i++) {
    struct timespec pause = {0, 500000};
    nanosleep(&pause, nullptr);
    uint8_t byte = (uint8_t)('a' + i % 26);
    int64_t start = now_ns();
    if (!write_all(to, &byte, 1)) return "write failed";
    struct pollfd p = {from, POLLIN, 0};
    if (poll(&p, 1, stall_limit_ms) <= 0) return "byte " + std::to_string(i) + " never arrived";
    int64_t end = now_ns();
    uint8_t got[16];
    ssize_t n = read(from, got, sizeof got);
    if (n != 1 || got[0] != byte) return "sample " + std::to_string(i) + ": wrong or extra bytes";
    times->push_back((double)(end - start) / 1000.0);
  }
  return "";
}

// Both directions on one program (cat: one copy each way).
static void latency_one(Program program, Latency *screen, Latency *keys) {
  int samples = config.short_mode ? 100 : 2000;
  for (int direction = 0; direction < 2; direction++) {
    if (program != PROGRAM_CAT && direction == 1) break;  // one session does both
    Session s;
    std::string what = std::string(program_name(program)) + ": ";
    bool keys_only = program == PROGRAM_CAT && direction == 1;
    bool ready = session_start(&s, program, {}, keys_only, "");
    ready = ready && (keys_only || session_sync_screen(&s));
    ready = ready && (program == PROGRAM_CAT && !keys_only ? true : session_sync_keys(&s));
    std::vector<double> to_screen, to_board;
    std::string error = !ready ? "did not start or pass bytes" : "";
    if (error.empty() && !keys_only) {
      error = measure_latency(s.line.master, s.console.master, samples, &to_screen);
    }
    if (error.empty() && (program != PROGRAM_CAT || keys_only)) {
      error = measure_latency(s.console.master, s.line.master, samples, &to_board);
    }
    bool ended = session_end(&s);
    if (!error.empty()) {
      table_fail("2/3", what + error);
      continue;
    }
    if (!ended) table_fail("2/3", what + "did not end when asked");
    if (!to_screen.empty()) {
      *screen = {percentile(&to_screen, 0.5), percentile(&to_screen, 0.99), s.child.maxrss_kib};
    }
    if (!to_board.empty()) {
      *keys = {percentile(&to_board, 0.5), percentile(&to_board, 0.99), s.child.maxrss_kib};
    }
  }
}

void row_latency(void) {
  Latency tavo[2], picocom[2], cat[2];
  latency_one(PROGRAM_TAVO, &tavo[0], &tavo[1]);
  if (config.have_picocom) latency_one(PROGRAM_PICOCOM, &picocom[0], &picocom[1]);
  latency_one(PROGRAM_CAT, &cat[0], &cat[1]);
  const char *rows[2][2] = {{"2", "board->screen, 1 byte"}, {"3", "key->board, 1 byte"}};
  for (int d = 0; d < 2; d++) {
    for (int p = 0; p < 2; p++) {
      std::string measure = std::string(rows[d][1]) + (p == 0 ? ", median" : ", p99");
      Program bases[2] = {PROGRAM_PICOCOM, PROGRAM_CAT};
      const Latency *base_figures[2] = {&picocom[d], &cat[d]};
      for (int b = 0; b < 2; b++) {
        const Latency &t = tavo[d];
        const Latency &base = *base_figures[b];
        table_add({rows[d][0], measure, "us", "tavo", p == 0 ? t.median : t.p99, t.rss_kib,
                   program_name(bases[b]), p == 0 ? base.median : base.p99, base.rss_kib});
      }
    }
  }
}

// ---- Row 9: through ser2net ----------------------------------------------------------

void row_network(void) {
  if (!config.have_network) {
    table_fail("9", "ser2net or socat is not installed (bench/run installs them)");
    return;
  }
  size_t total = config.short_mode ? (size_t)4 << 20 : (size_t)64 << 20;
  std::string measure = std::string("flood ") + (config.short_mode ? "4" : "64") + " MiB board->screen";
  Figure tavo = flood_one(PROGRAM_TAVO_NET, total), socat = flood_one(PROGRAM_SOCAT_NET, total);
  table_add({"9", measure, "MB/s", "tavo/ser2net", tavo.value, tavo.rss_kib, "socat/ser2net", socat.value,
             socat.rss_kib});
  Latency t[2], s[2];
  latency_one(PROGRAM_TAVO_NET, &t[0], &t[1]);
  latency_one(PROGRAM_SOCAT_NET, &s[0], &s[1]);
  for (int p = 0; p < 2; p++) {
    table_add({"9", std::string("board->screen, 1 byte") + (p == 0 ? ", median" : ", p99"), "us", "tavo/ser2net",
               p == 0 ? t[0].median : t[0].p99, t[0].rss_kib, "socat/ser2net", p == 0 ? s[0].median : s[0].p99,
               s[0].rss_kib});
  }
}
