// Conversions between the wide text the logic holds (UTF-16, as on Windows) and bytes.
#pragma once

#include <string>
#include <string_view>

// UTF-8 to UTF-16. A byte that does not start or continue a valid UTF-8 sequence becomes the
// lone surrogate U+DC00 + byte (U+DC80..U+DCFF), so any byte string round-trips.
std::u16string utf8_to_utf16(std::string_view bytes);

// UTF-16 to UTF-8. A lone surrogate U+DC80..U+DCFF becomes the byte it stands for; any other
// unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// ASCII or UTF-8 literal to UTF-16, for building texts in code.
inline std::u16string u16(std::string_view s) { return utf8_to_utf16(s); }
