// The board's sparse memory: pages with a bitmap of the bytes written.
#include "memory.h"

#include <stdio.h>
#include <string.h>

#include <map>

namespace {

struct MemoryPage {
  uint8_t bytes[MEMORY_PAGE_SIZE];
  uint8_t written[MEMORY_PAGE_SIZE / 8];
};

// Touched only by the board's monitor thread while the host runs, and by the main
// thread after the monitor has stopped.
std::map<uint32_t, MemoryPage> pages;
uint64_t written_count;

uint32_t page_of(uint32_t address) { return address / MEMORY_PAGE_SIZE; }
uint32_t offset_of(uint32_t address) { return address % MEMORY_PAGE_SIZE; }

bool bit_set(const MemoryPage &page, uint32_t offset) {
  return (page.written[offset / 8] >> (offset % 8)) & 1;
}

}  // namespace

bool memory_write(uint32_t address, uint8_t value) {
  auto found = pages.find(page_of(address));
  if (found == pages.end()) {
    if (pages.size() >= MEMORY_MAX_PAGES) return false;
    found = pages.emplace(page_of(address), MemoryPage{}).first;
  }
  MemoryPage &page = found->second;
  uint32_t offset = offset_of(address);
  page.bytes[offset] = value;
  if (!bit_set(page, offset)) {
    page.written[offset / 8] |= (uint8_t)(1u << (offset % 8));
    written_count++;
  }
  return true;
}

uint8_t memory_read(uint32_t address) {
  auto found = pages.find(page_of(address));
  return found == pages.end() ? 0 : found->second.bytes[offset_of(address)];
}

bool memory_is_written(uint32_t address) {
  auto found = pages.find(page_of(address));
  return found != pages.end() && bit_set(found->second, offset_of(address));
}

void memory_clear(void) {
  pages.clear();
  written_count = 0;
}

uint64_t memory_written_count(void) { return written_count; }

bool memory_next_range(uint64_t from, uint32_t *start, uint64_t *length) {
  if (from > 0xFFFFFFFFull) return false;
  // The first written byte at or after `from`.
  uint64_t at = from;
  auto page = pages.lower_bound(page_of((uint32_t)from));
  for (;; ++page) {
    if (page == pages.end()) return false;
    uint64_t base = (uint64_t)page->first * MEMORY_PAGE_SIZE;
    if (at < base) at = base;
    while (at < base + MEMORY_PAGE_SIZE && !bit_set(page->second, (uint32_t)(at - base))) at++;
    if (at < base + MEMORY_PAGE_SIZE) break;
  }
  *start = (uint32_t)at;
  // Its end: the first unwritten byte after it.
  uint64_t end = at;
  while (end <= 0xFFFFFFFFull && memory_is_written((uint32_t)end)) {
    if (offset_of((uint32_t)end) == 0 && end + MEMORY_PAGE_SIZE <= 0x100000000ull) {
      const MemoryPage &whole = pages.find(page_of((uint32_t)end))->second;
      bool full = true;
      for (uint8_t bits : whole.written) full = full && bits == 0xFF;
      if (full) { end += MEMORY_PAGE_SIZE; continue; }
    }
    end++;
  }
  *length = end - at;
  return true;
}

bool memory_bounds(uint32_t *low, uint32_t *high) {
  if (written_count == 0) return false;
  uint64_t length;
  memory_next_range(0, low, &length);
  // The highest written byte lies in the last page.
  const auto &last = *pages.rbegin();
  uint32_t base = last.first * MEMORY_PAGE_SIZE;
  for (int offset = MEMORY_PAGE_SIZE - 1; offset >= 0; offset--)
    if (bit_set(last.second, (uint32_t)offset)) {
      *high = base + (uint32_t)offset;
      break;
    }
  return true;
}

bool memory_dump_file(const char *path) {
  FILE *file = fopen(path, "wb");
  if (!file) return false;
  uint32_t low = 0, high = 0;
  bool ok = true;
  if (memory_bounds(&low, &high)) {
    // A span this large is almost surely two images far apart; refuse it rather
    // than fill a disk with zeros.
    if ((uint64_t)high - low >= MEMORY_DUMP_LIMIT) ok = false;
    uint8_t chunk[MEMORY_PAGE_SIZE];
    for (uint64_t at = low; ok && at <= high;) {
      size_t n = 0;
      while (n < sizeof chunk && at + n <= high) {
        chunk[n] = memory_read((uint32_t)(at + n));
        n++;
      }
      ok = fwrite(chunk, 1, n, file) == n;
      at += n;
    }
  }
  return fclose(file) == 0 && ok;
}
