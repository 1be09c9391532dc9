// bench-sio: a small application of the Sio library for the benchmarks, on COM1
// (TAVO_COM1 names the line).
//
//   bench-sio idle      opens and configures the port as tavo does, prints "ready",
//                       and waits for SIGTERM; then closes the port
//   bench-sio put N     N bytes through SioPutByte; the board echoes them; they come
//                       back through SioGetByte on the event thread, each checked;
//                       prints "N nanoseconds" from the first put to the last get,
//                       then "peak <KiB>", its peak resident memory
//   bench-sio blocks N  the same with the block calls: SioTxRingWrite in 4 KiB blocks,
//                       SioGetBytes in the handler
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "serial/sio.h"
#include "peak.h"

static const uint8_t com1 = 0;
static const uint32_t buffer_size = 16384;

// The handler's state: the event thread and the writer thread write it, the main
// thread waits on it under `lock`.
static std::mutex lock;
static std::condition_variable changed;
static uint64_t expected_total = 0;
static uint64_t received = 0;
static bool corrupt = false;
static std::atomic<uint64_t> tx_emptied{0};  // raised under `lock`, read without it
static bool use_blocks = false;

static uint8_t pattern_byte(uint64_t i) {
  return (uint8_t)(i % 251);
}

// Runs on the event thread (received characters) and the writer thread (the
// transmit ring ran empty).
static int32_t on_event(uint8_t port, uint32_t events) {
  if (events & EV_RXCHAR) {
    uint32_t pending = SioPendingCount(port, 0);
    uint64_t got = 0;
    uint8_t block[4096];
    std::lock_guard<std::mutex> hold(lock);
    while (got < pending) {
      uint32_t want = pending - got < sizeof block ? uint32_t(pending - got) : uint32_t(sizeof block);
      uint32_t n = use_blocks ? SioGetBytes(port, block, want) : SioGetByte(port, block);
      if (n == 0) break;
      for (uint32_t i = 0; i < n; i++) {
        if (block[i] != pattern_byte(received + got + i)) corrupt = true;
      }
      got += n;
    }
    received += got;
    if (got > 0 && (received >= expected_total || corrupt)) changed.notify_all();
  }
  if (events & SIO_EV_TXRING_EMPTY) {
    std::lock_guard<std::mutex> hold(lock);
    tx_emptied++;
    changed.notify_all();
  }
  return 0;
}

static bool open_com1(uint32_t mask) {
  if (SioProbePort(com1) != 1) {
    fprintf(stderr, "bench-sio: COM1 cannot be opened\n");
    return false;
  }
  SioOpen(com1);
  if (!SioIsOpen(com1)) return false;
  SioConfigure(com1, 115200, 8, 1, 'N', 0);
  SioSetBufferSizes(com1, buffer_size, buffer_size);
  SioSetEventMask(com1, mask, 0);
  SioSetEventHandler(com1, on_event);
  return true;
}

static int idle(void) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before the library's threads start
  if (!open_com1(EV_RXCHAR)) return 1;
  printf("ready\n");
  fflush(stdout);
  int signal_number = 0;
  sigwait(&stop, &signal_number);
  SioClose(com1);
  return 0;
}

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

// A missed event must not hang the run: waits for room are bounded and looked at again.
static int put(uint64_t total) {
  expected_total = total;
  if (!open_com1(EV_RXCHAR | SIO_EV_TXRING_EMPTY)) return 1;
  int64_t start = now_ns();
  uint8_t block[4096];
  for (uint64_t i = 0; i < total;) {
    // Taken before the try: an emptying between a refused put and the wait must end
    // the wait, or the run would sit out the whole 50 ms with the ring empty.
    uint64_t seen = tx_emptied.load();
    uint32_t n = 1;
    if (use_blocks) {
      n = total - i < sizeof block ? uint32_t(total - i) : uint32_t(sizeof block);
      for (uint32_t k = 0; k < n; k++) block[k] = pattern_byte(i + k);
      n = SioTxRingWrite(com1, block, n);
    } else {
      n = SioPutByte(com1, pattern_byte(i));
    }
    i += n;
    if (n == 0) {
      std::unique_lock<std::mutex> hold(lock);
      changed.wait_for(hold, std::chrono::milliseconds(50), [&] { return tx_emptied != seen; });
    }
  }
  std::unique_lock<std::mutex> hold(lock);
  bool done = changed.wait_for(hold, std::chrono::seconds(60),
                               [&] { return received >= total || corrupt; });
  int64_t elapsed = now_ns() - start;
  bool ok = done && !corrupt && received == total;
  hold.unlock();
  SioClose(com1);
  if (!ok) {
    fprintf(stderr, "bench-sio: %s after %llu of %llu bytes\n", corrupt ? "a byte differs" : "stalled",
            (unsigned long long)received, (unsigned long long)total);
    return 1;
  }
  printf("%llu %lld\n", (unsigned long long)total, (long long)elapsed);
  report_peak();
  return 0;
}

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "idle") == 0) return idle();
  if (argc >= 3 && strcmp(argv[1], "put") == 0) return put(strtoull(argv[2], nullptr, 10));
  if (argc >= 3 && strcmp(argv[1], "blocks") == 0) {
    use_blocks = true;
    return put(strtoull(argv[2], nullptr, 10));
  }
  fprintf(stderr, "usage: bench-sio idle | put N | blocks N\n");
  return 2;
}
