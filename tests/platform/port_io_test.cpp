// Reads and writes on a pseudo-terminal: an overlapped write drained by a slow reader
// with the immediate character ahead of it, a write abandoned by PurgeComm, and reads
// that end at once or wait for their bytes, emptied or ended by PurgeComm.
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
    EXPECT_TRUE(!win32.WriteFile(h, data.data(), DWORD(size), &put, &ov) && win32.GetLastError() == ERROR_IO_PENDING);
    return data;
  }
};

TEST_F(PtyIo, OverlappedWriteDrainedByASlowReaderWithTheImmediateCharacterAhead) {
  std::vector<uint8_t> data = start_blocked_write(256 * 1024), got;
  DWORD put = 0;
  EXPECT_GT(queues().cbOutQue, 0u) << "bytes accepted and not yet sent";
  EXPECT_TRUE(!win32.GetOverlappedResult(h, &ov, &put, FALSE) && win32.GetLastError() == ERROR_IO_INCOMPLETE);
  ASSERT_TRUE(win32.TransmitCommChar(h, '#'));
  DWORD behind = queues().cbOutQue;
  std::thread reader([&] {  // reads in small bites, with a pause after each
    uint8_t buf[512];
    for (size_t n = 1; n > 0 && got.size() <= data.size(); usleep(200)) {
      n = far_read(buf, std::min(sizeof buf, data.size() + 1 - got.size()), int(kHang));
      got.insert(got.end(), buf, buf + n);
    }
  });
  EXPECT_TRUE(win32.GetOverlappedResult(h, &ov, &put, TRUE) && put == data.size());
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
  EXPECT_TRUE(!win32.GetOverlappedResult(h, &ov, &put, FALSE) && win32.GetLastError() == ERROR_OPERATION_ABORTED);
  EXPECT_LT(put, data.size());
  EXPECT_LE(far_read(data.data(), data.size(), 200), put) << "nothing beyond what the driver had taken";
  EXPECT_EQ(queues().cbOutQue, 0u);
  ASSERT_TRUE(win32.WriteFile(h, "ok", 2, &put, &ov)) << "the port writes normally afterwards";
  ASSERT_EQ(far_read(data.data(), 2, int(kHang)), 2u);
  EXPECT_EQ(memcmp(data.data(), "ok", 2), 0);
  HANDLE dead = h;
  close_port();
  EXPECT_TRUE(!win32.WriteFile(dead, "x", 1, &put, &ov) && win32.GetLastError() == ERROR_INVALID_HANDLE);
}

// Reads that end at once (the library's) count every byte the device holds, beyond the
// 16-byte queue; a read with no time-outs waits for all its bytes or PURGE_RXABORT.
TEST_F(PtyIo, ReadsAndPurges) {
  char buf[64] = {};
  DWORD got = 0;
  ASSERT_TRUE(win32.SetupComm(h, 16, 0) && far_write(std::string(40, 'm')) && wait_received(40));
  ASSERT_TRUE(win32.ReadFile(h, buf, sizeof buf, &got, &ov));
  EXPECT_EQ(std::string(buf, got), std::string(40, 'm'));
  ASSERT_TRUE(far_write("12345") && wait_received(5) && win32.PurgeComm(h, PURGE_RXCLEAR));
  EXPECT_TRUE(win32.ReadFile(h, buf, sizeof buf, &got, &ov) && got == 0) << "received bytes purged";
  set_timeouts(0, 0, 0);
  ASSERT_TRUE(far_write("ab") && wait_received(2));
  ASSERT_TRUE(!win32.ReadFile(h, buf, 6, &got, &ov) && win32.GetLastError() == ERROR_IO_PENDING);
  ASSERT_TRUE(far_write("cdef"));
  EXPECT_TRUE(win32.GetOverlappedResult(h, &ov, &got, TRUE) && std::string(buf, got) == "abcdef");
  ASSERT_TRUE(!win32.ReadFile(h, buf, 6, &got, &ov) && win32.PurgeComm(h, PURGE_RXABORT));
  EXPECT_TRUE(!win32.GetOverlappedResult(h, &ov, &got, TRUE) && win32.GetLastError() == ERROR_OPERATION_ABORTED);
  EXPECT_EQ(got, 0u);
}

}  // namespace
