// The driver's small helpers: the clock, whole writes and bounded reads, percentiles,
// the 80-column pattern, and the table every row adds its lines to.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "bench.h"

BenchConfig config;

int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

bool write_all(int fd, const void *bytes, size_t length) {
  const uint8_t *p = (const uint8_t *)bytes;
  while (length > 0) {
    ssize_t n = write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd w = {fd, POLLOUT, 0};
      poll(&w, 1, 1000);
      continue;
    }
    if (n <= 0) return false;
    p += n;
    length -= (size_t)n;
  }
  return true;
}

bool read_some(int fd, std::string *into, int timeout_ms) {
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms) <= 0 || (p.revents & POLLIN) == 0) {
    return false;
  }
  char buffer[65536];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  into->append(buffer, (size_t)n);
  return true;
}

bool read_until(int fd, std::string *buffer, const std::string &text, int timeout_ms) {
  int64_t deadline = now_ns() + (int64_t)timeout_ms * 1000000;
  while (buffer->find(text) == std::string::npos) {
    int64_t left_ms = (deadline - now_ns()) / 1000000;
    if (left_ms <= 0) return false;
    read_some(fd, buffer, (int)left_ms);
  }
  return true;
}

double percentile(std::vector<double> *samples, double fraction) {
  if (samples->empty()) return -1;
  std::sort(samples->begin(), samples->end());
  size_t at = (size_t)(fraction * (double)(samples->size() - 1) + 0.5);
  return (*samples)[std::min(at, samples->size() - 1)];
}

long peak_from_report(const std::string &report) {
  size_t at = report.rfind("peak ");
  return at == std::string::npos ? -1 : atol(report.c_str() + at + 5);
}

// ---- The pattern ---------------------------------------------------------------------

static const size_t line_length = 80;
static const size_t pattern_lines = 94;  // the printable characters shift one a line
const size_t pattern_period = line_length * pattern_lines;
static std::vector<uint8_t> pattern;

static void make_pattern(void) {
  pattern.resize(pattern_period * 9);
  for (size_t i = 0; i < pattern.size(); i++) {
    size_t line = (i / line_length) % pattern_lines;
    size_t column = i % line_length;
    if (column == line_length - 2) {
      pattern[i] = '\r';
    } else if (column == line_length - 1) {
      pattern[i] = '\n';
    } else {
      pattern[i] = (uint8_t)(33 + (line + column) % 94);
    }
  }
}

const uint8_t *pattern_bytes(void) {
  if (pattern.empty()) make_pattern();
  return pattern.data();
}

size_t pattern_span(void) {
  if (pattern.empty()) make_pattern();
  return pattern.size() - pattern_period;
}

// ---- The table -------------------------------------------------------------------------

static std::vector<TableLine> lines;
static std::vector<std::string> failures;

void table_add(const TableLine &line) {
  lines.push_back(line);
}

void table_fail(const std::string &row, const std::string &why) {
  failures.push_back("row " + row + ": " + why);
  fprintf(stderr, "bench: row %s: %s\n", row.c_str(), why.c_str());
}

int table_failures(void) {
  return (int)failures.size();
}

static std::string figure(double value) {
  char text[32];
  if (value < 0) return "-";
  if (value >= 1000) {
    snprintf(text, sizeof text, "%.0f", value);
  } else if (value >= 10) {
    snprintf(text, sizeof text, "%.1f", value);
  } else {
    snprintf(text, sizeof text, "%.3f", value);
  }
  return text;
}

static std::string memory(long kib) {
  if (kib < 0) return "-";
  char text[32];
  snprintf(text, sizeof text, "%.1f", (double)kib / 1024.0);
  return text;
}

// A ratio needs two figures and a baseline that is not nothing.
static std::string ratio(double value, double base) {
  if (value < 0 || base <= 0) return "-";
  char text[32];
  snprintf(text, sizeof text, "%.2f", value / base);
  return text;
}

void table_print(FILE *out) {
  fprintf(out, "| #  | measure | unit | program | figure | baseline | figure | ratio | peak RSS MiB | baseline RSS MiB |\n");
  fprintf(out, "|----|---------|------|---------|-------:|----------|-------:|------:|-------------:|-----------------:|\n");
  for (const TableLine &l : lines) {
    fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", l.row.c_str(),
            l.measure.c_str(), l.unit.c_str(), l.program.c_str(), figure(l.value).c_str(),
            l.baseline.c_str(), figure(l.base_value).c_str(), ratio(l.value, l.base_value).c_str(),
            memory(l.rss_kib).c_str(), memory(l.base_rss_kib).c_str());
  }
  for (const std::string &f : failures) {
    fprintf(out, "\nFAILED %s\n", f.c_str());
  }
}
