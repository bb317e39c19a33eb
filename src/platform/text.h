// Conversions between the wide text the logic holds (UTF-16, as on Windows) and bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// UTF-8 to UTF-16. A byte that does not start or continue a valid UTF-8 sequence becomes the
// lone surrogate U+DC00 + byte (U+DC80..U+DCFF), so any byte string round-trips.
std::u16string utf8_to_utf16(std::string_view bytes);

// UTF-16 to UTF-8. A lone surrogate U+DC80..U+DCFF becomes the byte it stands for; any other
// unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// ASCII or UTF-8 literal to UTF-16, for building texts in code.
inline std::u16string u16(std::string_view s) { return utf8_to_utf16(s); }

// Bytes as lowercase hexadecimal digits, two per byte, as the report and the log write them.
std::string hex_text(const uint8_t* bytes, size_t count);

// One record of the system log as a line of key=value fields; a value that holds a blank or a
// quote, or is empty, is quoted, with the quote and the backslash escaped inside the quotes.
std::string log_line(const std::vector<std::pair<std::string, std::string>>& fields);
