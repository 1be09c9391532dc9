// The board's simulated memory: a sparse 32-bit address space, populated in 4 KiB
// pages on first write, up to 16 MiB in all. Unwritten bytes read as 0.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { MEMORY_PAGE_SIZE = 4096, MEMORY_MAX_PAGES = 4096 };
const uint64_t MEMORY_DUMP_LIMIT = 256u << 20;  // largest span memory_dump_file writes

// Stores a byte; false when a new page would pass the 16 MiB limit.
bool memory_write(uint32_t address, uint8_t value);
uint8_t memory_read(uint32_t address);
bool memory_is_written(uint32_t address);
void memory_clear(void);

// Number of bytes ever written (each address counted once) and the lowest and highest
// written address; false from memory_bounds when nothing has been written.
uint64_t memory_written_count(void);
bool memory_bounds(uint32_t *low, uint32_t *high);

// Finds the first run of written bytes at or after `from`: its first address and its
// length (up to the end of the address space). False when there is none.
bool memory_next_range(uint64_t from, uint32_t *start, uint64_t *length);

// Writes the bytes from the lowest to the highest written address into a file, the
// gaps as zeros (what objcopy -O binary makes of the same image). An empty memory
// gives an empty file. False when the file cannot be written or the span from the
// lowest to the highest address reaches MEMORY_DUMP_LIMIT.
bool memory_dump_file(const char *path);
