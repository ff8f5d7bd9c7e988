#include "platform/CaseFold.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace platform {
namespace {

// A locale with the full Unicode tables, independent of the process locale. Null when the system
// has no C.UTF-8 locale; only ASCII then folds.
locale_t UnicodeLocale() {
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

char16_t FoldCase(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  locale_t loc = UnicodeLocale();
  if (loc == static_cast<locale_t>(nullptr)) return c;
  wint_t upper = towupper_l(static_cast<wint_t>(c), loc);
  return upper <= 0xFFFF ? static_cast<char16_t>(upper) : c;
}

void FoldCase(const char16_t* text, std::size_t length, char16_t* out) {
  for (std::size_t i = 0; i < length; ++i) out[i] = FoldCase(text[i]);
}

}  // namespace platform
