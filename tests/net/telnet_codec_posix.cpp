// The telnet codec of network ports: what a received stream decodes to, whole and cut
// at every place into two reads and into single bytes. (What it puts on the wire is
// checked by the in-process server, which parses it with a decoder of its own.)
#include <gtest/gtest.h>

#include <string>

#include "serial/platform/posix/telnet.h"

using namespace posix::telnet;

namespace {

typedef std::vector<uint8_t> Bytes;

// Events written as text: "DO 44", "SB 44 [101 0 0 37 128]".
void record(void *ctx, const Event &e) {
  std::string *log = static_cast<std::string *>(ctx);
  static const char *verbs[] = {"WILL", "WONT", "DO", "DONT"};
  *log += e.verb == SB ? "SB" : verbs[e.verb - WILL];
  *log += " " + std::to_string(e.option);
  if (e.verb == SB) {
    *log += " [";
    for (int i = 0; i < e.len; i++) *log += (i ? " " : "") + std::to_string(e.payload[i]);
    *log += "]";
  }
  *log += ";";
}

// Decodes wire in the reads the cuts mark; the data and the event log.
std::pair<Bytes, std::string> decode_in_reads(const Bytes &wire, const std::vector<size_t> &cuts) {
  Decoder d = {};
  Bytes data;
  std::string log;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(wire.size());
  for (size_t end : ends) {
    Bytes out(end - from + 1);
    size_t n = decode(&d, wire.data() + from, end - from, out.data(), record, &log);
    data.insert(data.end(), out.begin(), out.begin() + long(n));
    from = end;
  }
  return {data, log};
}

}  // namespace

TEST(TelnetCodec, DecodesWholeAndCutAnywhere) {
  struct Row { const char *what; Bytes wire, data; std::string events; } rows[] = {
      {"CR NUL untouched, a doubled 0xFF is one data byte", {13, 0, IAC, IAC, IAC, IAC}, {13, 0, 0xFF, 0xFF}, ""},
      {"negotiations between data", {'x', IAC, DO, 44, IAC, WILL, 0, 'y', IAC, WONT, 1, IAC, DONT, 3},
       {'x', 'y'}, "DO 44;WILL 0;WONT 1;DONT 3;"},
      {"a port answer with a doubled 0xFF in its value, then data",
       {IAC, SB, 44, 101, 0, 0, IAC, IAC, 0, IAC, SE, 'z'}, {'z'}, "SB 44 [101 0 0 255 0];"},
      {"notifications back to back",
       {IAC, SB, 44, 107, 0x31, IAC, SE, IAC, SB, 44, 106, 0x18, IAC, SE}, {}, "SB 44 [107 49];SB 44 [106 24];"},
      {"other two-byte commands (NOP, GA) are dropped", {'a', IAC, 241, 'b', IAC, 249}, {'a', 'b'}, ""},
      {"a long payload is cut, and its end still found",
       [] { Bytes b = {IAC, SB, 44, 100}; b.insert(b.end(), 100, 'S'); b.insert(b.end(), {IAC, SE, 'k'}); return b; }(),
       {'k'}, "SB 44 [100" + [] { std::string s; for (int i = 0; i < 63; i++) s += " 83"; return s; }() + "];"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    auto whole = decode_in_reads(row.wire, {});
    EXPECT_EQ(whole, std::make_pair(row.data, row.events));
    std::vector<size_t> every;
    for (size_t cut = 1; cut < row.wire.size(); cut++) {
      EXPECT_TRUE(decode_in_reads(row.wire, {cut}) == whole) << "cut after byte " << cut;
      every.push_back(cut);
    }
    EXPECT_TRUE(decode_in_reads(row.wire, every) == whole) << "a byte per read";
  }
}
