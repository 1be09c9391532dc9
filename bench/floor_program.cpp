// bench-floor: the plain loops that the round trips are measured against. Each plays
// the host's side of one exchange on a line with nothing but read and write, so the
// difference to tavo is what tavo's layers cost.
//
//   bench-floor echo LINE      text download: each byte written, its echo awaited
//   bench-floor records LINE   binary download: each record written, its ACK awaited
//   bench-floor save LINE      save: the board's lines into the named file, '+' after CR
//   bench-floor blocks LINE N  N bytes written and read back in blocks (the board echoes)
//
// The first three answer the board's service request (ENQ, '*', letter, blank, name) as
// tavo does; blocks prints "N nanoseconds". All end with "peak <KiB>", their peak resident
// memory. Exit status 0 when the exchange went through.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "peak.h"

static const uint8_t enq = 0x05, ack = 0x06, nak = 0x15, eot = 0x04;
static int line = -1;

static int read_byte(void) {
  uint8_t b;
  for (;;) {
    ssize_t n = read(line, &b, 1);
    if (n == 1) return b;
    if (n < 0 && errno == EINTR) continue;
    fprintf(stderr, "bench-floor: the line closed\n");
    exit(1);
  }
}

static void write_bytes(const void *bytes, size_t length) {
  const uint8_t *p = (const uint8_t *)bytes;
  while (length > 0) {
    ssize_t n = write(line, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fprintf(stderr, "bench-floor: write failed\n");
      exit(1);
    }
    p += n;
    length -= (size_t)n;
  }
}

static void write_byte(uint8_t b) {
  write_bytes(&b, 1);
}

// ENQ, '*', the letter, the byte after it, then the name up to a blank or control.
static std::string serve_request(void) {
  while (read_byte() != enq) {
  }
  write_byte('*');
  read_byte();
  read_byte();
  std::string name;
  int b = read_byte();
  while (b == ' ') b = read_byte();
  for (; b > ' '; b = read_byte()) name += (char)b;
  return name;
}

static std::string slurp(const std::string &name) {
  std::string contents;
  FILE *f = fopen(name.c_str(), "rb");
  if (f == nullptr) {
    fprintf(stderr, "bench-floor: cannot open %s\n", name.c_str());
    exit(1);
  }
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) contents.append(buffer, n);
  fclose(f);
  return contents;
}

static int text_download(void) {
  std::string text = slurp(serve_request());
  for (unsigned char c : text) {
    write_byte(c);
    int b;
    while ((b = read_byte()) != c) {
      if (b == '>') return 1;
    }
  }
  write_byte('>');
  while (read_byte() != enq) {
  }
  write_byte(ack);
  return 0;
}

static int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// Every line that starts with 'S': 'R', the type, the count and count bytes.
static std::vector<std::vector<uint8_t>> binary_records(const std::string &text) {
  std::vector<std::vector<uint8_t>> records;
  size_t at = 0;
  while ((at = text.find('S', at)) != std::string::npos && at + 4 <= text.size()) {
    std::vector<uint8_t> r = {'R', (uint8_t)text[at + 1]};
    int count = hex(text[at + 2]) * 16 + hex(text[at + 3]);
    r.push_back((uint8_t)count);
    for (int i = 0; i < count && at + 5 + 2 * i < text.size(); i++) {
      r.push_back((uint8_t)(hex(text[at + 4 + 2 * i]) * 16 + hex(text[at + 5 + 2 * i])));
    }
    records.push_back(r);
    at += 4 + 2 * (size_t)count;
  }
  return records;
}

static int binary_download(void) {
  std::vector<std::vector<uint8_t>> records = binary_records(slurp(serve_request()));
  for (const std::vector<uint8_t> &r : records) {
    for (;;) {
      write_bytes(r.data(), r.size());
      int b;
      while ((b = read_byte()) != ack && b != nak && b != eot) {
      }
      if (b == ack) break;
      if (b == eot) return 0;
    }
  }
  return 0;
}

// As tavo saves: from the first 'S' or 'Q' up to '>', byte for byte through stdio.
static int save(void) {
  std::string name = serve_request();
  FILE *f = fopen(name.c_str(), "wb");
  if (f == nullptr) {
    write_byte('>');
    return 1;
  }
  write_byte('+');
  bool started = false;
  uint8_t buffer[4096];
  for (;;) {
    ssize_t n = read(line, buffer, sizeof buffer);
    if (n <= 0) return 1;
    for (ssize_t i = 0; i < n; i++) {
      uint8_t b = buffer[i];
      if (!started && b != 'S' && b != 'Q') continue;
      started = true;
      if (b == '>') return fclose(f) == 0 ? 0 : 1;
      putc(b, f);
      if (b == '\r') write_byte('+');
    }
  }
}

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static uint8_t block_byte(uint64_t i) {
  return (uint8_t)(i % 251);
}

// Writes and reads at the same time (one poll loop), checking every byte.
static int blocks(uint64_t total) {
  fcntl(line, F_SETFL, fcntl(line, F_GETFL) | O_NONBLOCK);
  uint8_t out[4096], in[4096];
  uint64_t sent = 0, got = 0;
  int64_t start = now_ns();
  while (got < total) {
    struct pollfd p = {line, (short)(POLLIN | (sent < total ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 30000) <= 0) {
      fprintf(stderr, "bench-floor: stalled after %llu bytes\n", (unsigned long long)got);
      return 1;
    }
    if ((p.revents & POLLOUT) && sent < total) {
      size_t n = total - sent < sizeof out ? (size_t)(total - sent) : sizeof out;
      for (size_t i = 0; i < n; i++) out[i] = block_byte(sent + i);
      ssize_t w = write(line, out, n);
      if (w > 0) sent += (uint64_t)w;
    }
    if (p.revents & POLLIN) {
      ssize_t r = read(line, in, sizeof in);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
        fprintf(stderr, "bench-floor: the line closed after %llu bytes\n", (unsigned long long)got);
        return 1;
      }
      for (ssize_t i = 0; i < r; i++) {
        if (in[i] != block_byte(got + (uint64_t)i)) {
          fprintf(stderr, "bench-floor: byte %llu differs\n", (unsigned long long)(got + i));
          return 1;
        }
      }
      if (r > 0) got += (uint64_t)r;
    }
  }
  printf("%llu %lld\n", (unsigned long long)total, (long long)(now_ns() - start));
  return 0;
}

static int run(const std::string &mode, int argc, char **argv) {
  if (mode == "echo") return text_download();
  if (mode == "records") return binary_download();
  if (mode == "save") return save();
  if (mode == "blocks" && argc > 3) return blocks(strtoull(argv[3], nullptr, 10));
  fprintf(stderr, "bench-floor: unknown mode %s\n", mode.c_str());
  return 2;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: bench-floor echo|records|save|blocks LINE [BYTES]\n");
    return 2;
  }
  std::string mode = argv[1];
  line = open(argv[2], O_RDWR | O_NOCTTY);
  if (line < 0) {
    perror(argv[2]);
    return 1;
  }
  struct termios t;
  if (tcgetattr(line, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(line, TCSANOW, &t);
  }
  int status = run(mode, argc, argv);
  report_peak();
  return status;
}
