#include "foundation/TStringEx.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "foundation/TStringExArray.h"
#include "platform/CaseFold.h"
#include "platform/TextConvert.h"

namespace {

constexpr std::size_t kStackUnits = 257;  // 256 characters and the terminator

std::uint32_t CheckedUnits(std::size_t units) {
  if (units > UINT32_MAX) throw std::length_error("TStringEx: text too long");
  return static_cast<std::uint32_t>(units);
}

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

int DigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'z') return c - u'a' + 10;
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  return 99;
}

}  // namespace

TStringEx::TStringEx(const char16_t* text) { Assign(text); }

TStringEx::TStringEx(const TStringEx& other) { Assign(other.m_buffer); }

TStringEx::TStringEx(TStringEx&& other) noexcept : m_buffer(other.m_buffer), m_capacity(other.m_capacity) {
  other.m_buffer = nullptr;
  other.m_capacity = 0;
}

TStringEx::TStringEx(char16_t c) {
  const char16_t text[2] = {c, 0};
  Assign(text);
}

TStringEx::TStringEx(const char* narrow) { Append(narrow); }

TStringEx::~TStringEx() { delete[] m_buffer; }

TStringEx& TStringEx::operator=(const TStringEx& other) {
  Assign(other.m_buffer);
  return *this;
}

TStringEx& TStringEx::operator=(TStringEx&& other) noexcept {
  if (this != &other) {
    delete[] m_buffer;
    m_buffer = other.m_buffer;
    m_capacity = other.m_capacity;
    other.m_buffer = nullptr;
    other.m_capacity = 0;
  }
  return *this;
}

TStringEx& TStringEx::operator=(const char16_t* text) {
  Assign(text);
  return *this;
}

std::uint32_t TStringEx::Length() const {
  std::uint32_t n = 0;
  if (m_buffer != nullptr)
    while (n < m_capacity && m_buffer[n] != 0) ++n;
  return n;
}

void TStringEx::Alloc(std::uint32_t n) {
  if (n == 0) {
    Free();
    return;
  }
  char16_t* fresh = new char16_t[n]();  // zeroed: the first and the last unit hold terminators
  delete[] m_buffer;
  m_buffer = fresh;
  m_capacity = n;
}

void TStringEx::Free() {
  delete[] m_buffer;
  m_buffer = nullptr;
  m_capacity = 0;
}

void TStringEx::Assign(const char16_t* text) {
  std::size_t length = platform::Utf16Length(text);
  if (length == 0) {
    Free();
    return;
  }
  std::uint32_t needed = CheckedUnits(length + 1);
  if (m_capacity < needed) {
    // The text cannot lie inside our own buffer here: it would have fit.
    char16_t* fresh = new char16_t[needed];
    std::memcpy(fresh, text, needed * sizeof(char16_t));
    delete[] m_buffer;
    m_buffer = fresh;
    m_capacity = needed;
  } else {
    std::memmove(m_buffer, text, needed * sizeof(char16_t));
  }
}

void TStringEx::Append(const char16_t* text) {
  std::size_t added = platform::Utf16Length(text);
  if (added == 0) return;
  std::uint32_t old = Length();
  std::uint32_t needed = CheckedUnits(std::size_t{old} + added + 1);
  if (m_capacity < needed) {
    char16_t* fresh = new char16_t[needed];
    if (old > 0) std::memcpy(fresh, m_buffer, old * sizeof(char16_t));
    std::memcpy(fresh + old, text, added * sizeof(char16_t));
    fresh[needed - 1] = 0;
    delete[] m_buffer;
    m_buffer = fresh;
    m_capacity = needed;
  } else {
    std::memmove(m_buffer + old, text, added * sizeof(char16_t));
    m_buffer[old + added] = 0;
  }
}

void TStringEx::Append(const TStringEx& text) {
  // Appending a string to itself reads the old text before any reallocation releases it.
  Append(text.m_buffer);
}

void TStringEx::Append(char16_t c) {
  const char16_t text[2] = {c, 0};
  Append(text);
}

void TStringEx::Append(const char* narrow) {
  if (narrow == nullptr || narrow[0] == 0) return;
  std::u16string wide;
  platform::AppendNarrowToUtf16(narrow, std::strlen(narrow), wide);
  Append(wide.c_str());
}

void TStringEx::FormatV(const char16_t* format, const FormatArg* args, std::size_t count) {
  if (format == nullptr) return;
  char16_t local[kStackUnits];
  std::size_t length = FormatTo(local, kStackUnits, format, args, count);
  if (length < kStackUnits) {
    Assign(local);
    return;
  }
  // The arguments may point into this string, so the result is built aside before it is assigned.
  std::u16string large(length, u'\0');
  FormatTo(large.data(), length + 1, format, args, count);
  Assign(large.c_str());
}

int TStringEx::Compare(const char16_t* text) const {
  bool mineEmpty = IsEmpty();
  bool otherEmpty = text == nullptr || text[0] == 0;
  if (mineEmpty || otherEmpty) return mineEmpty == otherEmpty ? 0 : (mineEmpty ? -1 : 1);
  const char16_t* a = m_buffer;
  const char16_t* b = text;
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  if (*a == *b) return 0;
  return *a < *b ? -1 : 1;
}

int TStringEx::Find(char16_t c, int start) const {
  int length = static_cast<int>(Length());
  for (int i = start < 0 ? 0 : start; i < length; ++i)
    if (m_buffer[i] == c) return i;
  return -1;
}

int TStringEx::Find(const char16_t* text, int start) const {
  int length = static_cast<int>(Length());
  int n = static_cast<int>(platform::Utf16Length(text));
  if (start < 0) start = 0;
  if (start > length) return -1;
  if (n == 0) return start;  // an empty needle matches at once; memcmp must not see a null pointer
  for (int i = start; i + n <= length; ++i)
    if (std::memcmp(m_buffer + i, text, n * sizeof(char16_t)) == 0) return i;
  return -1;
}

int TStringEx::FindNoCase(const char16_t* text, int start) const {
  int length = static_cast<int>(Length());
  int n = static_cast<int>(platform::Utf16Length(text));
  if (start < 0) start = 0;
  if (start > length) return -1;
  std::u16string hay(m_buffer != nullptr ? m_buffer : u"", length);
  std::u16string needle(text != nullptr ? text : u"", n);
  platform::FoldCase(hay.data(), hay.size(), hay.data());
  platform::FoldCase(needle.data(), needle.size(), needle.data());
  std::size_t at = hay.find(needle, static_cast<std::size_t>(start));
  return at == std::u16string::npos ? -1 : static_cast<int>(at);
}

TStringEx TStringEx::Left(int count) const { return Mid(0, count); }

TStringEx TStringEx::Right(int count) const {
  int length = static_cast<int>(Length());
  if (count < 1) return TStringEx();  // also keeps length - count from overflowing
  if (count > length) count = length;
  return Mid(length - count, count);
}

TStringEx TStringEx::Mid(int start, int count) const {
  int length = static_cast<int>(Length());
  if (start < 0) start = 0;
  if (start > length) start = length;
  if (count > length - start) count = length - start;
  TStringEx piece;
  if (count < 1) return piece;
  piece.Alloc(static_cast<std::uint32_t>(count) + 1);
  std::memcpy(piece.m_buffer, m_buffer + start, count * sizeof(char16_t));
  return piece;
}

void TStringEx::Delete(int position, int count) {
  int length = static_cast<int>(Length());
  if (position < 0 || position >= length || count < 1) return;
  if (count > length - position) count = length - position;
  std::memmove(m_buffer + position, m_buffer + position + count, (length - position - count + 1) * sizeof(char16_t));
}

void TStringEx::TrimLeft(char16_t c) {
  int length = static_cast<int>(Length());
  int run = 0;
  while (run < length && m_buffer[run] == c) ++run;
  if (run > 0) Delete(0, run);
}

void TStringEx::TrimRight(char16_t c) {
  int length = static_cast<int>(Length());
  int end = length;
  while (end > 0 && m_buffer[end - 1] == c) --end;
  if (end < length) m_buffer[end] = 0;
}

void TStringEx::Split(char16_t separator, TStringExArray& items) const {
  TStringEx work(*this);
  work.TrimLeft(separator);
  work.TrimRight(separator);
  items.Clear();
  int length = static_cast<int>(work.Length());
  int start = 0;
  while (start < length) {
    int end = work.Find(separator, start);
    if (end < 0) end = length;
    if (end > start) items.Add(work.Mid(start, end - start));
    start = end + 1;
  }
}

TStringEx TStringEx::Join(const TStringExArray& items, char16_t separator) {
  std::size_t total = 0;
  for (std::int32_t i = 0; i < items.GetCount(); ++i) total += items[i].Length() + (i > 0 ? 1 : 0);
  TStringEx joined;
  if (total == 0) return joined;
  joined.Alloc(CheckedUnits(total + 1));
  char16_t* out = joined.m_buffer;
  for (std::int32_t i = 0; i < items.GetCount(); ++i) {
    if (i > 0) *out++ = separator;
    std::uint32_t n = items[i].Length();
    if (n > 0) std::memcpy(out, items[i].m_buffer, n * sizeof(char16_t));
    out += n;
  }
  *out = 0;
  return joined;
}

std::int32_t TStringEx::ToInt(int base) const {
  if (IsEmpty() || base < 0 || base == 1 || base > 36) return 0;
  const char16_t* p = m_buffer;
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == u'+' || *p == u'-') negative = *p++ == u'-';
  bool hexPrefix = p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') && DigitValue(p[2]) < 16;
  if ((base == 0 || base == 16) && hexPrefix) {
    p += 2;
    base = 16;
  } else if (base == 0) {
    base = p[0] == u'0' ? 8 : 10;
  }
  const std::int64_t limit = negative ? std::int64_t{INT32_MAX} + 1 : INT32_MAX;
  std::int64_t value = 0;
  for (int digit; (digit = DigitValue(*p)) < base; ++p) {
    value = value * base + digit;
    if (value > limit) value = limit;  // clamps as wcstol does for a 32-bit long
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

std::string TStringEx::ToNarrow() const {
  std::string narrow;
  platform::AppendUtf16ToNarrow(m_buffer, Length(), narrow);
  return narrow;
}

char16_t TStringEx::operator[](int index) const {
  if (m_buffer == nullptr || index < 0 || static_cast<std::uint32_t>(index) >= m_capacity) return 0;
  return m_buffer[index];
}
