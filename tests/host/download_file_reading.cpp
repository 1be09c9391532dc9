// Reading a download file in text mode, in-process: CR LF becomes LF, a lone CR stays,
// 0x1A ends the file, on every platform; and the hex digit values of the S-records.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "host/host.h"
#include "host/text_file.h"

namespace {

std::string temp_file(const std::string &bytes) {
  char name[] = "/tmp/tavo-text-XXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
  close(fd);
  return name;
}

// Everything the reader gives up to the end, and checks that the end stays the end.
std::string read_all(const std::string &bytes) {
  std::string path = temp_file(bytes);
  TextFile file;
  EXPECT_EQ(text_file_open(&file, path.c_str()), 1);
  std::string got;
  for (int c = text_file_getc(&file); c >= 0; c = text_file_getc(&file)) got.push_back((char)c);
  EXPECT_EQ(text_file_getc(&file), -1) << "the end must stay the end";
  text_file_close(&file);
  unlink(path.c_str());
  return got;
}

TEST(DownloadFileReading, TextModeTranslation) {
  struct {
    const char *what;
    std::string file, read;
  } rows[] = {
      {"CR LF becomes LF", "a\r\nb\r\n", "a\nb\n"},
      {"a lone CR stays", "a\rb", "a\rb"},
      {"a CR at the very end stays", "a\r", "a\r"},
      {"CR CR LF gives CR LF", "a\r\r\nb", "a\r\nb"},
      {"LF CR LF CR gives LF LF CR", "\n\r\n\r", "\n\n\r"},
      {"0x1A ends the file", "ab\x1A" "cd\r\n", "ab"},
      {"0x1A right after a CR: the CR stays", "a\r\x1A\n", "a\r"},
      {"0x1A first: nothing", "\x1A" "abc", ""},
      {"an empty file", "", ""},
      {"NUL and high bytes pass", std::string("\0\x80\xE9\xFF", 4), std::string("\0\x80\xE9\xFF", 4)},
  };
  for (auto &row : rows) EXPECT_EQ(read_all(row.file), row.read) << row.what;
}

TEST(DownloadFileReading, WhatCannotBeOpened) {
  TextFile file;
  EXPECT_EQ(text_file_open(&file, "/nonexistent/tavo/file"), 0);
  EXPECT_EQ(text_file_getc(&file), -1);
  EXPECT_EQ(text_file_open(&file, "/tmp"), 0) << "a directory is no file";
  EXPECT_EQ(text_file_open(&file, ""), 0);
  text_file_close(&file);
}

TEST(DownloadFileReading, HexDigitValues) {
  struct {
    int character, value;
  } rows[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 10}, {'f', 15}, {'G', -1},
              {'g', -1}, {'/', -1}, {':', -1}, {'@', -1}, {'`', -1}, {-1, -1}, {0xC1, -1},
              {0x141, -1}};
  for (auto &row : rows) {
    EXPECT_EQ(hex_digit_value(row.character), row.value) << "character " << row.character;
  }
}

}  // namespace
