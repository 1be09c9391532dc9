// The simulated board's sparse memory: reads and writes, the ranges written, the
// 16 MiB limit and the image written for comparison with objcopy -O binary.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "tools/board/memory.h"

namespace {

std::string dump_to_string(void) {
  char path[] = "/tmp/board_memory_XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  EXPECT_TRUE(memory_dump_file(path));
  std::string out;
  FILE *file = fopen(path, "rb");
  char chunk[4096];
  size_t n;
  while (file && (n = fread(chunk, 1, sizeof chunk, file)) > 0) out.append(chunk, n);
  if (file) fclose(file);
  unlink(path);
  return out;
}

TEST(BoardMemory, ReadsBackWhatWasWrittenAndZeroElsewhere) {
  memory_clear();
  struct Row {
    const char *what;
    uint32_t address;
    uint8_t value;
  } rows[] = {
      {"address 0", 0, 0x11},
      {"last byte of a page", MEMORY_PAGE_SIZE - 1, 0x22},
      {"first byte of the next page", MEMORY_PAGE_SIZE, 0x33},
      {"24-bit address", 0x00ABCDEF, 0x44},
      {"top of the address space", 0xFFFFFFFF, 0x55},
  };
  for (const Row &row : rows) ASSERT_TRUE(memory_write(row.address, row.value)) << row.what;
  for (const Row &row : rows) {
    EXPECT_EQ(memory_read(row.address), row.value) << row.what;
    EXPECT_TRUE(memory_is_written(row.address)) << row.what;
  }
  EXPECT_EQ(memory_read(1), 0) << "unwritten byte in a used page";
  EXPECT_FALSE(memory_is_written(1));
  EXPECT_EQ(memory_read(0x70000000), 0) << "unwritten page";
  EXPECT_EQ(memory_written_count(), 5u);
  ASSERT_TRUE(memory_write(0, 0x66));
  EXPECT_EQ(memory_written_count(), 5u) << "a byte written twice counts once";
  uint32_t low, high;
  ASSERT_TRUE(memory_bounds(&low, &high));
  EXPECT_EQ(low, 0u);
  EXPECT_EQ(high, 0xFFFFFFFFu);
  memory_clear();
  EXPECT_FALSE(memory_bounds(&low, &high));
  EXPECT_EQ(memory_read(0), 0);
}

TEST(BoardMemory, ListsTheRangesWritten) {
  memory_clear();
  for (uint32_t a = 0x0FF0; a < 0x3010; a++) ASSERT_TRUE(memory_write(a, 1));  // spans 3 pages
  ASSERT_TRUE(memory_write(0x3012, 2));                                      // a gap of 2
  for (uint32_t a = 0xFFFFFFF0; a != 0; a++) ASSERT_TRUE(memory_write(a, 3)); // runs to the top
  struct Expect {
    uint32_t start;
    uint64_t length;
  } expected[] = {{0x0FF0, 0x2020}, {0x3012, 1}, {0xFFFFFFF0, 16}};
  uint32_t start;
  uint64_t length;
  int n = 0;
  for (uint64_t from = 0; memory_next_range(from, &start, &length); from = (uint64_t)start + length) {
    ASSERT_LT(n, 3);
    EXPECT_EQ(start, expected[n].start) << "range " << n;
    EXPECT_EQ(length, expected[n].length) << "range " << n;
    n++;
  }
  EXPECT_EQ(n, 3);
  ASSERT_TRUE(memory_next_range(0x1000, &start, &length)) << "from inside a range";
  EXPECT_EQ(start, 0x1000u);
  EXPECT_EQ(length, 0x2010u);
}

TEST(BoardMemory, StopsAtSixteenMebibytes) {
  memory_clear();
  for (uint32_t page = 0; page < MEMORY_MAX_PAGES; page++)
    ASSERT_TRUE(memory_write(page * 2u * MEMORY_PAGE_SIZE, 1)) << "page " << page;
  EXPECT_FALSE(memory_write(0xFFFF0000, 1)) << "a page past the limit";
  EXPECT_TRUE(memory_write(MEMORY_PAGE_SIZE - 1, 2)) << "a page already there";
  EXPECT_EQ(memory_read(0xFFFF0000), 0);
}

TEST(BoardMemory, ImageRunsFromLowestToHighestWithZeroGaps) {
  memory_clear();
  EXPECT_EQ(dump_to_string(), "") << "empty memory, empty file";
  ASSERT_TRUE(memory_write(0x1000, 'A'));
  ASSERT_TRUE(memory_write(0x1003, 'B'));
  ASSERT_TRUE(memory_write(0x3001, 'C'));  // in another page
  std::string expected = std::string("A\0\0B", 4) + std::string(0x3001 - 0x1004, '\0') + "C";
  EXPECT_TRUE(dump_to_string() == expected);
  ASSERT_TRUE(memory_write(0xF0000000, 'D'));
  char path[] = "/tmp/board_memory_XXXXXX";
  int fd = mkstemp(path);
  close(fd);
  EXPECT_FALSE(memory_dump_file(path)) << "a span of gigabytes is refused";
  unlink(path);
}

}  // namespace
