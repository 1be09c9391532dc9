// The progress display, run in-process: exactly what reaches standard output for a
// stream of characters, and the state it keeps from one transfer to the next.
#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "host/host.h"

namespace {

// Feeds the characters to show_progress and gives what it wrote to standard output.
std::string shown(const std::string &characters) {
  fflush(stdout);
  FILE *capture = tmpfile();
  int saved = dup(1);
  dup2(fileno(capture), 1);
  for (unsigned char c : characters) show_progress(c);
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  rewind(capture);
  for (int c = fgetc(capture); c != EOF; c = fgetc(capture)) out.push_back((char)c);
  fclose(capture);
  return out;
}

TEST(ProgressDisplay, ShowsTheAddressOfEachRecord) {
  struct {
    const char *what;
    std::string characters, out;
  } rows[] = {
      {"S1: four digits, a blank, back to column 0", "S1130400000102", "\r0400 \r"},
      {"S2: six digits", "S2140A0000FF", "\r0A0000 \r"},
      {"S3: eight digits", "S30B00001000AA", "\r00001000 \r"},
      {"S0: the first two digits of its field", "S00600004844521B", "\r00 \r"},
      {"S5 shows nothing after the CR", "S5030001FB", "\r"},
      {"S7, S8, S9 show nothing either", "S70500001000EAS804000000FBS9030000FC", "\r\r\r"},
      {"a type below '0' shows nothing", "S/1312345678", "\r"},
      {"text before an S shows nothing", "hello world", ""},
      {"an S in the address starts over", "S113S1130400", "\r\r0400 \r"},
      {"the next record overwrites in place", "S1130400\r\nS1130410", "\r0400 \r\r0410 \r"},
      {"a line end inside the address is shown like a digit", "S10304\nS9", "\r04\n\r"},
  };
  for (auto &row : rows) {
    EXPECT_EQ(shown(row.characters), row.out) << row.what;
    shown("S9");  // back to idle for the next row
  }
}

TEST(ProgressDisplay, ItsStateCarriesOverFromOneTransferToTheNext) {
  EXPECT_EQ(shown("S11"), "\r");
  EXPECT_EQ(shown("30"), "0");
  EXPECT_EQ(shown("400"), "400 \r");
}

TEST(ProgressDisplay, ReceivedBytesShowTheirLowEightBits) {
  fflush(stdout);
  FILE *capture = tmpfile();
  int saved = dup(1);
  dup2(fileno(capture), 1);
  for (int c : {int('S'), int('1'), int('1'), int('3'), -23, -1, int('0'), int('0')}) show_progress(c);
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  rewind(capture);
  unsigned char out[16];
  size_t n = fread(out, 1, sizeof out, capture);
  fclose(capture);
  ASSERT_EQ(n, 7u);
  EXPECT_EQ(std::string((char *)out, n), std::string("\r\xE9\xFF" "00 \r"));
}

}  // namespace
