// Reads and writes on a pseudo-terminal: overlapped writes drained by a slow reader,
// reads under each kind of time-out, a write abandoned by PurgeComm, the purge of
// received bytes, and the immediate character.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pty_port.h"

namespace {

using namespace pty_test;

class PortIo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_open(&pair, 4));
    h = open_com("COM4");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << win32.GetLastError();
    set_timeouts(h, MAXDWORD, 0, 0);
    ov = new_overlapped();
  }
  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) win32.CloseHandle(h);
    win32.CloseHandle(ov.hEvent);
    pty_close(&pair);
  }
  // Fills the far side's buffer with a write nobody reads; the write is left pending.
  std::vector<uint8_t> start_blocked_write(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; i++) data[i] = static_cast<uint8_t>('a' + i % 26);
    DWORD put = 0;
    EXPECT_FALSE(win32.WriteFile(h, data.data(), static_cast<DWORD>(size), &put, &ov));
    EXPECT_EQ(win32.GetLastError(), ERROR_IO_PENDING);
    return data;
  }
  // Everything the far side can read now.
  std::vector<uint8_t> drain_far_side() {
    std::vector<uint8_t> all;
    uint8_t buf[4096];
    size_t n;
    while ((n = far_read_some(&pair, buf, sizeof buf, 200)) > 0) all.insert(all.end(), buf, buf + n);
    return all;
  }
  PtyPair pair;
  HANDLE h = INVALID_HANDLE_VALUE;
  OVERLAPPED ov;
};

TEST_F(PortIo, OverlappedWriteDrainedByASlowReader) {
  const size_t kSize = 256 * 1024;  // far more than a pseudo-terminal buffers
  std::vector<uint8_t> data = start_blocked_write(kSize);
  COMSTAT st;
  DWORD errors;
  ASSERT_TRUE(win32.ClearCommError(h, &errors, &st));
  EXPECT_GT(st.cbOutQue, 0u) << "bytes accepted and not yet sent";
  EXPECT_EQ(win32.WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);
  DWORD put = 0;
  EXPECT_FALSE(win32.GetOverlappedResult(h, &ov, &put, FALSE));
  EXPECT_EQ(win32.GetLastError(), ERROR_IO_INCOMPLETE);

  std::vector<uint8_t> received;
  std::thread reader([&] {  // reads in small bites, with a pause after each
    uint8_t buf[512];
    while (received.size() < kSize) {
      size_t n = far_read_some(&pair, buf, sizeof buf, static_cast<int>(kHang));
      if (n == 0) break;
      received.insert(received.end(), buf, buf + n);
      usleep(200);
    }
  });
  EXPECT_TRUE(win32.GetOverlappedResult(h, &ov, &put, TRUE));
  EXPECT_EQ(put, kSize);
  reader.join();
  EXPECT_TRUE(received == data) << "every byte, in order";
  EXPECT_EQ(win32.WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0) << "the request's event is set";
}

TEST_F(PortIo, WriteAbandonedByPurgeSendsNothingMore) {
  std::vector<uint8_t> data = start_blocked_write(1024 * 1024);
  ASSERT_TRUE(win32.PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
  ASSERT_EQ(win32.WaitForSingleObject(ov.hEvent, kHang), WAIT_OBJECT_0) << "the purge ends the write";
  DWORD put = 0;
  EXPECT_FALSE(win32.GetOverlappedResult(h, &ov, &put, FALSE));
  EXPECT_EQ(win32.GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_LT(put, data.size());
  std::vector<uint8_t> got = drain_far_side();
  EXPECT_LE(got.size(), put) << "nothing beyond what the driver had taken";
  COMSTAT st;
  DWORD errors;
  ASSERT_TRUE(win32.ClearCommError(h, &errors, &st));
  EXPECT_EQ(st.cbOutQue, 0u);
  // The port writes normally afterwards.
  ASSERT_TRUE(win32.WriteFile(h, "ok", 2, &put, &ov));
  char buf[2];
  ASSERT_EQ(far_read(&pair, buf, 2, static_cast<int>(kHang)), 2u);
  EXPECT_EQ(memcmp(buf, "ok", 2), 0);
}

TEST_F(PortIo, ImmediateCharacterGoesAheadOfThePendingWrite) {
  std::vector<uint8_t> data = start_blocked_write(256 * 1024);
  COMSTAT st;
  DWORD errors;
  ASSERT_TRUE(win32.ClearCommError(h, &errors, &st));
  ASSERT_TRUE(win32.TransmitCommChar(h, '#'));
  std::vector<uint8_t> got;
  uint8_t buf[4096];
  while (got.size() < data.size() + 1) {
    size_t n = far_read_some(&pair, buf, sizeof buf, static_cast<int>(kHang));
    ASSERT_GT(n, 0u);
    got.insert(got.end(), buf, buf + n);
  }
  size_t at = 0;
  while (at < got.size() && got[at] != '#') at++;
  ASSERT_LT(at, got.size());
  EXPECT_LE(at, data.size() - st.cbOutQue) << "ahead of the bytes still queued in the layer";
  got.erase(got.begin() + static_cast<long>(at));
  EXPECT_TRUE(got == data) << "the write itself intact";
  DWORD put;
  EXPECT_TRUE(win32.GetOverlappedResult(h, &ov, &put, TRUE));
}

struct ReadRow {
  const char *what;
  DWORD interval, multiplier, constant;
  const char *early;  // at the far side before the read
  const char *late;   // after the read has started
  DWORD len;
  bool at_once;       // the read completes within ReadFile
  DWORD expect;       // bytes read
};

TEST_F(PortIo, ReadTimeouts) {
  const ReadRow rows[] = {
      {"interval MAXDWORD, totals 0: at once with nothing", MAXDWORD, 0, 0, "", "", 8, true, 0},
      {"interval MAXDWORD, totals 0: at once with what is there", MAXDWORD, 0, 0, "abc", "", 8, true, 3},
      {"no time-outs: waits for all its bytes", 0, 0, 0, "ab", "cdef", 6, false, 6},
      {"total constant: ends short when it expires", 0, 0, 150, "", "xy", 8, false, 2},
      {"total constant: nothing came", 0, 0, 100, "", "", 8, false, 0},
      {"interval: ends after a gap", 80, 0, 0, "", "pq", 8, false, 2},
      {"MAXDWORD, MAXDWORD, constant: the first byte ends it", MAXDWORD, MAXDWORD, 2000, "", "k", 8, false, 1},
  };
  for (const ReadRow &row : rows) {
    set_timeouts(h, row.interval, row.multiplier, row.constant);
    if (*row.early) {
      ASSERT_TRUE(far_write(&pair, row.early, strlen(row.early)));
      ASSERT_TRUE(wait_received(h, static_cast<DWORD>(strlen(row.early)))) << row.what;
    }
    char buf[16] = {};
    DWORD got = 0;
    BOOL done = win32.ReadFile(h, buf, row.len, &got, &ov);
    EXPECT_EQ(done != FALSE, row.at_once) << row.what;
    if (!done) {
      EXPECT_EQ(win32.GetLastError(), ERROR_IO_PENDING) << row.what;
      if (*row.late) {
        ASSERT_TRUE(far_write(&pair, row.late, strlen(row.late)));
      }
      EXPECT_TRUE(win32.GetOverlappedResult(h, &ov, &got, TRUE)) << row.what;
    }
    EXPECT_EQ(got, row.expect) << row.what;
    std::string all = std::string(row.early) + row.late;
    EXPECT_EQ(std::string(buf, got), all.substr(0, got)) << row.what;
    win32.PurgeComm(h, PURGE_RXCLEAR);
  }
}

// cbInQue counts what the driver holds beyond a full input queue; a read returning at
// once gets all of it.
TEST_F(PortIo, EveryCountedByteIsReadable) {
  ASSERT_TRUE(win32.SetupComm(h, 16, 0));
  std::string sent;
  for (int i = 0; i < 100; i++) sent += static_cast<char>('A' + i % 26);
  ASSERT_TRUE(far_write(&pair, sent.data(), sent.size()));
  ASSERT_TRUE(wait_received(h, 100));
  char buf[128];
  DWORD got = 0;
  ASSERT_TRUE(win32.ReadFile(h, buf, 100, &got, &ov));
  EXPECT_EQ(got, 100u);
  EXPECT_EQ(std::string(buf, got), sent);
}

TEST_F(PortIo, PurgeOfReceivedBytesAndAbortOfAPendingRead) {
  ASSERT_TRUE(far_write(&pair, "12345", 5));
  ASSERT_TRUE(wait_received(h, 5));
  COMSTAT st;
  DWORD errors;
  ASSERT_TRUE(win32.ClearCommError(h, &errors, &st));
  EXPECT_EQ(st.cbInQue, 5u);
  ASSERT_TRUE(win32.PurgeComm(h, PURGE_RXCLEAR));
  ASSERT_TRUE(win32.ClearCommError(h, &errors, &st));
  EXPECT_EQ(st.cbInQue, 0u) << "received bytes purged";

  set_timeouts(h, 0, 0, 0);
  char buf[4];
  DWORD got = 0;
  OVERLAPPED rov = new_overlapped();
  ASSERT_FALSE(win32.ReadFile(h, buf, sizeof buf, &got, &rov));
  ASSERT_TRUE(win32.PurgeComm(h, PURGE_RXABORT));
  EXPECT_FALSE(win32.GetOverlappedResult(h, &rov, &got, TRUE));
  EXPECT_EQ(win32.GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(win32.PurgeComm(h, 0x10)) << "not a purge flag";
  win32.CloseHandle(rov.hEvent);
}

TEST_F(PortIo, SynchronousCallsAndClosedHandles) {
  DWORD put = 0;
  ASSERT_TRUE(win32.WriteFile(h, "sync", 4, &put, nullptr));
  EXPECT_EQ(put, 4u);
  char buf[8];
  ASSERT_EQ(far_read(&pair, buf, 4, static_cast<int>(kHang)), 4u);
  set_timeouts(h, 0, 0, 0);
  std::thread later([&] { far_write(&pair, "back", 4); });
  DWORD got = 0;
  EXPECT_TRUE(win32.ReadFile(h, buf, 4, &got, nullptr)) << "a read without OVERLAPPED waits";
  EXPECT_EQ(got, 4u);
  later.join();
  HANDLE dead = h;
  win32.CloseHandle(h);
  h = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(win32.WriteFile(dead, "x", 1, &put, &ov));
  EXPECT_EQ(win32.GetLastError(), ERROR_INVALID_HANDLE);
  DCB dcb;
  EXPECT_FALSE(win32.GetCommState(dead, &dcb));
  EXPECT_EQ(win32.GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
