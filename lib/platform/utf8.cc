// Strict UTF-8 decoding into UTF-16 code units, shared by both platform twins.
#include <stdexcept>
#include <string>

#include "platform/platform.h"

namespace qbx {
namespace {

[[noreturn]] void BadConversion() { throw std::range_error("bad conversion"); }

// Number of continuation bytes after `lead`, and the bits the lead contributes.
int SequenceLength(unsigned char lead, char32_t* bits) {
  if (lead < 0x80) { *bits = lead; return 0; }
  if (lead >= 0xC2 && lead <= 0xDF) { *bits = lead & 0x1F; return 1; }
  if (lead >= 0xE0 && lead <= 0xEF) { *bits = lead & 0x0F; return 2; }
  if (lead >= 0xF0 && lead <= 0xF4) { *bits = lead & 0x07; return 3; }
  BadConversion();
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& utf8) {
  static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t code = 0;
    const int extra = SequenceLength(static_cast<unsigned char>(utf8[i]), &code);
    if (i + static_cast<std::size_t>(extra) >= utf8.size() && extra > 0) BadConversion();
    for (int k = 1; k <= extra; ++k) {
      const unsigned char c = static_cast<unsigned char>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) BadConversion();
      code = (code << 6) | (c & 0x3F);
    }
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      BadConversion();
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

}  // namespace qbx
