// UTF-8 and UTF-16 conversion, the way file names, device paths and arguments cross between
// the operating system and the tool. The first byte says how to read the rest: as bytes (an
// argument or a file name from Linux) or as UTF-16 code units (text from Windows or built in
// the tool). Properties:
//  - any bytes come back unchanged through UTF-16 (each byte that is not valid UTF-8 as its own
//    lone surrogate U+DC80..U+DCFF, so any file name can be opened again);
//  - well-formed UTF-8 decodes to the code points it encodes, with no escape surrogate;
//  - UTF-16 without lone surrogates comes back unchanged through UTF-8, and its UTF-8 is
//    well-formed; any UTF-16 converts to bytes that convert back to themselves.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "property.h"

namespace {

// Unicode's well-formed UTF-8 (Table 3-7), decoded to code points; false on the first
// ill-formed sequence.
bool decode_well_formed(std::string_view bytes, std::u32string& out) {
  size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<uint8_t>(bytes[i]);
    auto at = [&](size_t k) -> int {
      return i + k < bytes.size() ? static_cast<uint8_t>(bytes[i + k]) : -1;
    };
    auto in = [](int b, int lo, int hi) { return b >= lo && b <= hi; };
    if (b0 < 0x80) {
      out += b0;
      i += 1;
    } else if (in(b0, 0xC2, 0xDF) && in(at(1), 0x80, 0xBF)) {
      out += char32_t((b0 & 0x1F) << 6 | (at(1) & 0x3F));
      i += 2;
    } else if (((b0 == 0xE0 && in(at(1), 0xA0, 0xBF)) ||
                (in(b0, 0xE1, 0xEC) && in(at(1), 0x80, 0xBF)) ||
                (b0 == 0xED && in(at(1), 0x80, 0x9F)) ||
                (in(b0, 0xEE, 0xEF) && in(at(1), 0x80, 0xBF))) &&
               in(at(2), 0x80, 0xBF)) {
      out += char32_t((b0 & 0x0F) << 12 | (at(1) & 0x3F) << 6 | (at(2) & 0x3F));
      i += 3;
    } else if (((b0 == 0xF0 && in(at(1), 0x90, 0xBF)) ||
                (in(b0, 0xF1, 0xF3) && in(at(1), 0x80, 0xBF)) ||
                (b0 == 0xF4 && in(at(1), 0x80, 0x8F))) &&
               in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF)) {
      out +=
          char32_t((b0 & 0x07) << 18 | (at(1) & 0x3F) << 12 | (at(2) & 0x3F) << 6 | (at(3) & 0x3F));
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::u16string utf16_of(const std::u32string& code_points) {
  std::u16string out;
  for (char32_t cp : code_points) {
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

bool has_lone_surrogate(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    const std::u16string wide = utf8_to_utf16(bytes);
    require(utf16_to_utf8(wide) == bytes, "bytes do not come back through UTF-16");
    std::u32string code_points;
    if (decode_well_formed(bytes, code_points)) {
      require(wide == utf16_of(code_points), "well-formed UTF-8 not decoded to its code points");
      require(!has_lone_surrogate(wide), "well-formed UTF-8 decoded with an escape surrogate");
    } else {
      require(has_lone_surrogate(wide), "ill-formed UTF-8 decoded without an escape surrogate");
    }
    return 0;
  }
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    text += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                  static_cast<uint8_t>(bytes[i + 1]) << 8);
  const std::string narrow = utf16_to_utf8(text);
  require(utf16_to_utf8(utf8_to_utf16(narrow)) == narrow, "UTF-8 of any text is not stable");
  if (!has_lone_surrogate(text)) {
    std::u32string code_points;
    require(decode_well_formed(narrow, code_points), "UTF-16 converted to ill-formed UTF-8");
    require(utf8_to_utf16(narrow) == text, "UTF-16 does not come back through UTF-8");
  }
  return 0;
}
