#include "tools/classify-photos/keep/xmp_encoding.h"

#include <cstdint>

namespace classify {

namespace {

void append_utf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xc0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xe0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    *out += static_cast<char>(0xf0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    *out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

// The UTF-16 units of `bytes` after the mark, as UTF-8; false at an odd
// length or a surrogate without its pair.
bool utf16_to_utf8(const std::string& bytes, bool big_endian, std::string* out) {
  if (bytes.size() % 2 != 0) return false;
  const auto unit = [&](size_t i) {
    const auto high = static_cast<uint8_t>(bytes[big_endian ? i : i + 1]);
    const auto low = static_cast<uint8_t>(bytes[big_endian ? i + 1 : i]);
    return static_cast<uint32_t>(high << 8 | low);
  };
  out->clear();
  out->reserve(bytes.size() / 2);
  for (size_t i = 2; i < bytes.size(); i += 2) {
    uint32_t code = unit(i);
    if (code >= 0xdc00 && code < 0xe000) return false;
    if (code >= 0xd800 && code < 0xdc00) {
      if (i + 2 >= bytes.size()) return false;
      const uint32_t next = unit(i + 2);
      if (next < 0xdc00 || next >= 0xe000) return false;
      code = 0x10000 + ((code - 0xd800) << 10) + (next - 0xdc00);
      i += 2;
    }
    append_utf8(code, out);
  }
  return true;
}

}  // namespace

bool xmp_as_utf8(const std::string& bytes, std::string* utf8) {
  const bool little = bytes.compare(0, 2, "\xff\xfe") == 0;
  const bool big = bytes.compare(0, 2, "\xfe\xff") == 0;
  if (!little && !big) {
    *utf8 = bytes.compare(0, 3, "\xef\xbb\xbf") == 0 ? bytes.substr(3) : bytes;
    return true;
  }
  if (!utf16_to_utf8(bytes, big, utf8)) return false;
  // Its declaration would tell the parser to read these bytes as UTF-16.
  if (utf8->compare(0, 5, "<?xml") == 0) {
    const size_t end = utf8->find("?>");
    if (end != std::string::npos) utf8->erase(0, end + 2);
  }
  return true;
}

}  // namespace classify
