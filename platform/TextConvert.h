// Conversions between UTF-16 and 8-bit text.
// "Narrow" text is in the character set of the process locale (nl_langinfo(CODESET) after the
// host's setlocale), converted through iconv: the Linux stand-in for a thread's ANSI code page.
// A character that has no counterpart becomes '?'; nothing throws. UTF-8 conversions are fixed
// and locale-free; file names and the registry store use them.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Appends the narrow text [text, text + length) converted to UTF-16.
void AppendNarrowToUtf16(const char* text, std::size_t length, std::u16string& out);

// Appends the UTF-16 text [text, text + length) converted to narrow text.
void AppendUtf16ToNarrow(const char16_t* text, std::size_t length, std::string& out);

// UTF-8 <-> UTF-16. Malformed input (a lone surrogate, a bad byte sequence) becomes U+FFFD.
std::string Utf16ToUtf8(const char16_t* text, std::size_t length);
std::u16string Utf8ToUtf16(const char* text, std::size_t length);

// Length of a NUL-terminated UTF-16 text; 0 for null.
std::size_t Utf16Length(const char16_t* text);

}  // namespace platform
