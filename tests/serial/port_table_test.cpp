// The library's state block: lazy initialisation, the open test and its outcome
// codes, the clearing of one port's records and the ring reset.
#include <gtest/gtest.h>
#include <string.h>

#include "library_hooks.h"

static std::atomic<int> critical_sections_made{0};

static void WINAPI CountingInitializeCriticalSection(LPCRITICAL_SECTION cs) {
  critical_sections_made++;
  win32_native.InitializeCriticalSection(cs);
}

TEST(PortTable, FirstOpenTestInitialisesTheLibrary) {
  ASSERT_EQ(port_table.load(), nullptr);
  EXPECT_FALSE(SioIsOpen(0));
  ASSERT_NE(port_table.load(), nullptr);
  PortTable &t = table();
  EXPECT_EQ(t.ports[0].last_error.load(), SIO_FAILED);
  EXPECT_EQ(t.lock_users.load(), 1);
  EXPECT_EQ(t.open_ports.load(), 0);
  for (uint32_t i = 0; i < SIO_PORT_COUNT; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(t.event_masks[i].load(), 0x5FDu);
    EXPECT_EQ(t.chunk_factor[i], 1);
    EXPECT_EQ(t.ports[i].handle.load(), nullptr);
    EXPECT_EQ(t.ports[i].open_count, 0);
    if (i != 0) {
      EXPECT_EQ(t.ports[i].last_error.load(), 0);
    }
    EXPECT_EQ(t.rx_rings[i].data.load(), nullptr);
    EXPECT_EQ(t.tx_rings[i].size.load(), 0u);
    EXPECT_EQ(t.writer_threads[i].thread.load(), nullptr);
    EXPECT_EQ(t.event_threads[i].handler.load(), nullptr);
    EXPECT_EQ(t.tx_in_flight[i].load(), 0u);
  }
}

TEST(PortTable, SecondInitialisationChangesNothing) {
  win32.InitializeCriticalSection = CountingInitializeCriticalSection;
  SioInitLibrary();
  EXPECT_EQ(critical_sections_made.load(), 1);  // library_lock
  table().event_masks[3].store(0x1234);
  SioInitLibrary();
  SioIsOpen(3);
  EXPECT_EQ(critical_sections_made.load(), 1);
  EXPECT_EQ(table().lock_users.load(), 1);
  EXPECT_EQ(table().event_masks[3].load(), 0x1234u);
  win32.InitializeCriticalSection = win32_native.InitializeCriticalSection;
}

TEST(PortTable, PlatformFamilyFlag) {
  struct Row {
    bool win95;
    uint32_t expected;
  } rows[] = {
      {true, 1},   // dwPlatformId 1: the Windows 95 family
      {false, 0},  // anything else
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.win95);
    sio_test_reinit(row.win95);
    EXPECT_EQ(is_win95.load(), row.expected);
  }
  sim_reset_all();
}

TEST(PortTable, OutOfRangeIndexesTouchNoRecord) {
  SioInitLibrary();
  for (uint32_t i = 0; i < SIO_PORT_COUNT; i++) table().ports[i].last_error.store(7);
  for (uint8_t port : {uint8_t(36), uint8_t(255)}) {
    SCOPED_TRACE(port);
    EXPECT_FALSE(SioIsOpen(port));
    EXPECT_EQ(SioGetLastError(port), SIO_FAILED);
  }
  for (uint32_t i = 0; i < SIO_PORT_COUNT; i++) EXPECT_EQ(table().ports[i].last_error.load(), 7);
}

TEST(PortTable, OpenTestRecordsItsOutcome) {
  struct Row {
    const char *what;
    int16_t before;
    uint8_t port;
    bool open;
    int16_t after;
  } rows[] = {
      {"open port clears a failure", SIO_FAILED, 0, true, SIO_OK},
      {"open port clears a ring failure", SIO_ERR_RING_ALLOC, 0, true, SIO_OK},
      {"closed port while another is open", SIO_OK, 1, false, SIO_FAILED},
  };
  sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    port_record(row.port).last_error.store(row.before);
    EXPECT_EQ(SioIsOpen(row.port), row.open);
    EXPECT_EQ(SioGetLastError(row.port), row.after);
  }
  sio_test_close_all();
}

// Fills every per-port record with a pattern, clears one port, and checks that only
// that port's four records changed.
TEST(PortTable, ResetPortRecordsClearsOnlyThatPort) {
  SioInitLibrary();
  PortTable &t = table();
  for (uint8_t port : {uint8_t(0), uint8_t(17), uint8_t(35)}) {
    SCOPED_TRACE(port);
    memset(static_cast<void *>(t.ports), 0xAB, sizeof t.ports);
    memset(static_cast<void *>(t.event_threads), 0xAB, sizeof t.event_threads);
    memset(static_cast<void *>(t.writer_threads), 0xAB, sizeof t.writer_threads);
    memset(static_cast<void *>(t.reader_events), 0xAB, sizeof t.reader_events);
    for (uint32_t i = 0; i < SIO_PORT_COUNT; i++) t.rx_rings[i].count.store(5);
    SioResetPortRecords(port);
    for (uint32_t i = 0; i < SIO_PORT_COUNT; i++) {
      uint8_t expected = i == port ? 0x00 : 0xAB;
      const uint8_t *records[] = {
          reinterpret_cast<const uint8_t *>(&t.ports[i]),
          reinterpret_cast<const uint8_t *>(&t.event_threads[i]),
          reinterpret_cast<const uint8_t *>(&t.writer_threads[i]),
          reinterpret_cast<const uint8_t *>(&t.reader_events[i]),
      };
      size_t sizes[] = {sizeof(PortRecord), sizeof(ThreadRecord), sizeof(ThreadRecord),
                        sizeof(ReaderEvents)};
      for (int r = 0; r < 4; r++)
        for (size_t b = 0; b < sizes[r]; b++)
          ASSERT_EQ(records[r][b], expected) << "port " << i << " record " << r << " byte " << b;
      EXPECT_EQ(t.rx_rings[i].count.load(), 5u);
      EXPECT_EQ(t.event_masks[i].load(), 0x5FDu);
    }
  }
  memset(static_cast<void *>(t.ports), 0, sizeof t.ports);
  memset(static_cast<void *>(t.event_threads), 0, sizeof t.event_threads);
  memset(static_cast<void *>(t.writer_threads), 0, sizeof t.writer_threads);
  memset(static_cast<void *>(t.reader_events), 0, sizeof t.reader_events);
}

TEST(PortTable, RingResetKeepsStorage) {
  uint8_t storage[16];
  RingQueue ring;
  memset(static_cast<void *>(&ring), 0, sizeof ring);
  ring.data.store(storage);
  ring.size.store(16);
  ring.read_pos.store(3);
  ring.write_pos.store(9);
  ring.count.store(6);
  RingReset(&ring);
  EXPECT_EQ(ring.count.load(), 0u);
  EXPECT_EQ(ring.read_pos.load(), 0u);
  EXPECT_EQ(ring.write_pos.load(), 0u);
  EXPECT_EQ(ring.data.load(), storage);
  EXPECT_EQ(ring.size.load(), 16u);
}
