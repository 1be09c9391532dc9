// The files the transfer rows move: a text file to download with its echo check, an
// image as Motorola S-records with the binary records a host makes of them, and the
// lines a board saves.
#include <stdio.h>

#include "bench.h"
#include "files.h"

// Text: lines of letters and digits with LF endings, so the host reads and sends
// every byte as it is (no CR LF folding, no 0x1A, no '>' that could end the load).
std::string make_text(size_t size) {
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ";
  std::string text;
  for (size_t i = 0; text.size() < size; i++) {
    text += (i % 64 == 63) ? '\n' : alphabet[(i * 7 + i / 64) % (sizeof alphabet - 1)];
  }
  text.resize(size);
  text.back() = '\n';
  return text;
}

static void hex_byte(std::string *out, uint8_t byte) {
  static const char digits[] = "0123456789ABCDEF";
  *out += digits[byte >> 4];
  *out += digits[byte & 15];
}

// One record: its text line (with `ending`) and the binary record a host sends for it.
static void add_record(SrecImage *image, char type, uint32_t address, int address_bytes,
                       const uint8_t *data, int length, const char *ending) {
  std::vector<uint8_t> body;
  for (int i = address_bytes - 1; i >= 0; i--) body.push_back((uint8_t)(address >> (8 * i)));
  body.insert(body.end(), data, data + length);
  uint8_t count = (uint8_t)(body.size() + 1);
  uint32_t sum = count;
  for (uint8_t b : body) sum += b;
  body.push_back((uint8_t)~sum);

  std::string line = "S";
  line += type;
  hex_byte(&line, count);
  for (uint8_t b : body) hex_byte(&line, b);
  line += ending;
  image->text += line;
  image->lines.push_back(line);
  image->binary.push_back('R');
  image->binary.push_back((uint8_t)type);
  image->binary.push_back(count);
  image->binary.insert(image->binary.end(), body.begin(), body.end());
  image->records += 1;
}

// An S0 header, S2 records of 32 data bytes from 0x100000 and an S8 end record.
SrecImage make_srec(size_t data_size, const char *ending) {
  SrecImage image;
  image.records = 0;
  const uint8_t header[] = {'t', 'a', 'v', 'o', '-', 'b', 'e', 'n', 'c', 'h'};
  add_record(&image, '0', 0, 2, header, sizeof header, ending);
  uint32_t seed = 12345;
  for (size_t at = 0; at < data_size; at += 32) {
    uint8_t data[32];
    for (uint8_t &b : data) {
      seed = seed * 1103515245u + 12345u;
      b = (uint8_t)(seed >> 16);
    }
    add_record(&image, '2', (uint32_t)(0x100000 + at), 3, data, 32, ending);
  }
  add_record(&image, '8', 0x100000, 3, nullptr, 0, ending);
  return image;
}

bool write_file(const std::string &path, const std::string &contents) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(contents.data(), 1, contents.size(), f) == contents.size();
  return fclose(f) == 0 && ok;
}

std::string read_file(const std::string &path) {
  std::string contents;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return contents;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) contents.append(buffer, n);
  fclose(f);
  return contents;
}
