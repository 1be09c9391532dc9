// Reads and writes on a pseudo-terminal: an overlapped write drained by a slow reader
// with the immediate character ahead of it, a write abandoned by PurgeComm, and reads
// under each kind of time-out, emptied or ended by PurgeComm.
#include <algorithm>
#include <thread>
#include <vector>

#include "pty_port.h"

namespace {

struct PtyIo : PtyPort {
  // Starts a write far larger than a pseudo-terminal buffers; nobody reads it yet.
  std::vector<uint8_t> start_blocked_write(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; i++) data[i] = static_cast<uint8_t>('a' + i % 26);
    DWORD put = 0;
    EXPECT_FALSE(win32.WriteFile(h, data.data(), static_cast<DWORD>(size), &put, &ov));
    EXPECT_EQ(win32.GetLastError(), ERROR_IO_PENDING);
    return data;
  }
};

TEST_F(PtyIo, OverlappedWriteDrainedByASlowReaderWithTheImmediateCharacterAhead) {
  std::vector<uint8_t> data = start_blocked_write(256 * 1024), got;
  DWORD put = 0, queued = queues().cbOutQue;
  EXPECT_GT(queued, 0u) << "bytes accepted and not yet sent";
  EXPECT_FALSE(win32.GetOverlappedResult(h, &ov, &put, FALSE));
  EXPECT_EQ(win32.GetLastError(), ERROR_IO_INCOMPLETE);
  ASSERT_TRUE(win32.TransmitCommChar(h, '#'));
  DWORD behind = queues().cbOutQue;
  std::thread reader([&] {  // reads in small bites, with a pause after each
    uint8_t buf[512];
    for (size_t n = 1; n > 0 && got.size() <= data.size(); usleep(200)) {
      n = far_read(buf, std::min(sizeof buf, data.size() + 1 - got.size()), int(kHang));
      got.insert(got.end(), buf, buf + n);
    }
  });
  EXPECT_TRUE(win32.GetOverlappedResult(h, &ov, &put, TRUE));
  EXPECT_EQ(put, data.size());
  reader.join();
  auto at = std::find(got.begin(), got.end(), '#');
  ASSERT_NE(at, got.end());
  EXPECT_LE(size_t(at - got.begin()), data.size() + 1 - behind) << "ahead of the bytes still queued in the layer";
  got.erase(at);
  EXPECT_TRUE(got == data) << "every byte of the write, in order";
}

TEST_F(PtyIo, WriteAbandonedByPurgeSendsNothingMore) {
  std::vector<uint8_t> data = start_blocked_write(1024 * 1024);
  ASSERT_TRUE(win32.PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
  ASSERT_EQ(win32.WaitForSingleObject(ov.hEvent, kHang), WAIT_OBJECT_0) << "the purge ends the write";
  DWORD put = 0;
  EXPECT_FALSE(win32.GetOverlappedResult(h, &ov, &put, FALSE));
  EXPECT_EQ(win32.GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_LT(put, data.size());
  EXPECT_LE(far_read(data.data(), data.size(), 200), put) << "nothing beyond what the driver had taken";
  EXPECT_EQ(queues().cbOutQue, 0u);
  ASSERT_TRUE(win32.WriteFile(h, "ok", 2, &put, &ov)) << "the port writes normally afterwards";
  char buf[2];
  ASSERT_EQ(far_read(buf, 2, int(kHang)), 2u);
  EXPECT_EQ(memcmp(buf, "ok", 2), 0);
  EXPECT_FALSE(win32.PurgeComm(h, 0x10)) << "not a purge flag";
  HANDLE dead = h;
  close_port();
  EXPECT_FALSE(win32.WriteFile(dead, "x", 1, &put, &ov)) << "a closed handle";
  EXPECT_EQ(win32.GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PtyIo, ReadsUnderTimeoutsAndPurges) {
  const struct {
    const char *what;
    DWORD interval, multiplier, constant;
    std::string early, late;  // at the far side before the read, and once it has started
    DWORD len, purge;
    bool at_once;  // the read completes within ReadFile
    DWORD expect;  // bytes read
  } rows[] = {
      {"interval MAXDWORD, totals 0: at once with what is there", MAXDWORD, 0, 0, "abc", "", 8, 0, true, 3},
      {"at once: every byte counted beyond the 16-byte queue", MAXDWORD, 0, 0, std::string(40, 'm'), "", 40, 0,
       true, 40},
      {"received bytes purged", MAXDWORD, 0, 0, "12345", "", 8, PURGE_RXCLEAR, true, 0},
      {"no time-outs: waits for all its bytes", 0, 0, 0, "ab", "cdef", 6, 0, false, 6},
      {"no time-outs: ended by PURGE_RXABORT", 0, 0, 0, "", "", 6, PURGE_RXABORT, false, 0},
      {"total constant: ends short when it expires", 0, 0, 150, "", "xy", 8, 0, false, 2},
      {"interval: ends after a gap", 80, 0, 0, "", "pq", 8, 0, false, 2},
  };
  ASSERT_TRUE(win32.SetupComm(h, 16, 0));
  for (const auto &row : rows) {
    set_timeouts(row.interval, row.multiplier, row.constant);
    ASSERT_TRUE(far_write(row.early) && wait_received(DWORD(row.early.size()))) << row.what;
    ASSERT_TRUE(win32.PurgeComm(h, row.purge & PURGE_RXCLEAR));
    char buf[64] = {};
    DWORD got = 0;
    BOOL done = win32.ReadFile(h, buf, row.len, &got, &ov);
    EXPECT_EQ(done != FALSE, row.at_once) << row.what;
    if (!done) {
      EXPECT_EQ(win32.GetLastError(), ERROR_IO_PENDING) << row.what;
      ASSERT_TRUE(far_write(row.late) && win32.PurgeComm(h, row.purge & PURGE_RXABORT));
      done = win32.GetOverlappedResult(h, &ov, &got, TRUE);
      EXPECT_EQ(done ? 0 : win32.GetLastError(), row.purge ? ERROR_OPERATION_ABORTED : 0) << row.what;
    }
    EXPECT_EQ(got, row.expect) << row.what;
    EXPECT_EQ(std::string(buf, got), (row.early + row.late).substr(0, got)) << row.what;
    win32.PurgeComm(h, PURGE_RXCLEAR);
  }
}

}  // namespace
