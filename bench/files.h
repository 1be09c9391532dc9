// The files of the transfer rows (see files.cpp).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct SrecImage {
  std::string text;                // the S-record file
  std::vector<std::string> lines;  // its lines, each with its ending
  std::vector<uint8_t> binary;     // the binary records a host sends for it
  size_t records;
};

std::string make_text(size_t size);
SrecImage make_srec(size_t data_size, const char *ending);
bool write_file(const std::string &path, const std::string &contents);
std::string read_file(const std::string &path);
