// Case folding of UTF-16 units for comparisons that ignore letter case (registry names, searches).
// Units fold to their upper case form by the Unicode simple case mapping; surrogates and units
// whose upper case lies outside the basic plane are left as they are.
#pragma once

#include <cstddef>

namespace platform {

char16_t FoldCase(char16_t c);

// Writes the folded form of [text, text + length) to out (which may be text itself).
void FoldCase(const char16_t* text, std::size_t length, char16_t* out);

}  // namespace platform
