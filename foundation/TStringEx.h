// TStringEx: the UTF-16 text type of every interface of the system.
//
// A value type with deep copies: a buffer of UTF-16 units owned by the string and its capacity.
// A null buffer and a buffer holding only the terminator are both the empty string, and every
// operation treats them alike; Buffer() of an empty string may be null, c_str() never is.
// Capacity changes only through Alloc and grows to the exact size needed, never more; assigning
// or appending shorter text keeps the larger buffer, assigning empty text releases it.
// Operations that grow allocate the new buffer before releasing the old one, so an allocation
// failure (std::bad_alloc) leaves the string as it was.
//
// Index and count arguments are never trusted: a negative count, a start past the end or a count
// that runs past the end is clamped to the text, so no operation reads outside its buffer.
// One thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Format.h"

class TStringExArray;

class TStringEx {
 public:
  TStringEx() = default;
  TStringEx(const char16_t* text);  // NOLINT: implicit, as text literals are strings everywhere
  TStringEx(const TStringEx& other);
  TStringEx(TStringEx&& other) noexcept;
  explicit TStringEx(char16_t c);
  // 8-bit text in the locale character set.
  explicit TStringEx(const char* narrow);
  ~TStringEx();

  TStringEx& operator=(const TStringEx& other);
  TStringEx& operator=(TStringEx&& other) noexcept;
  TStringEx& operator=(const char16_t* text);

  // Characters before the terminator; 0 when empty.
  std::uint32_t Length() const;
  // Units allocated, terminator included; 0 without a buffer.
  std::uint32_t Size() const { return m_capacity; }
  // Replaces the buffer by one of n units holding empty text (n = 0 releases it).
  void Alloc(std::uint32_t n);
  void Free();
  void CopyFrom(const TStringEx& other) { Assign(other.m_buffer); }

  // Null or empty text frees the buffer; otherwise the text is copied, growing only when needed.
  void Assign(const char16_t* text);
  void Append(const char16_t* text);
  void Append(const TStringEx& text);
  void Append(char16_t c);
  void Append(const char* narrow);

  // Replaces the text with the formatted result (see Format.h); a null format changes nothing.
  // Results of up to 256 characters are built on the stack.
  template <class... Args>
  void Format(const char16_t* format, const Args&... args) {
    if (format == nullptr) return;
    WithFormatArgs([&](const FormatArg* argv, std::size_t count) { FormatV(format, argv, count); }, args...);
  }
  void FormatV(const char16_t* format, const FormatArg* args, std::size_t count);

  // Ordinal comparison of UTF-16 units: -1, 0 or 1. Empty and null compare equal.
  int Compare(const char16_t* text) const;
  int Compare(const TStringEx& other) const { return Compare(other.m_buffer); }

  // Index of the first occurrence at or after start, or -1. A negative start searches from 0.
  int Find(char16_t c, int start = 0) const;
  int Find(const char16_t* text, int start = 0) const;
  int FindNoCase(const char16_t* text, int start = 0) const;

  TStringEx Left(int count) const;
  TStringEx Right(int count) const;
  TStringEx Mid(int start, int count) const;
  void Delete(int position, int count);
  void TrimLeft(char16_t c);
  void TrimRight(char16_t c);

  // Fills `items` with the non-empty pieces between runs of `separator`.
  void Split(char16_t separator, TStringExArray& items) const;
  static TStringEx Join(const TStringExArray& items, char16_t separator);

  // The number read as wcstol would with that base (2 to 36, or 0 for a C prefix), clamped to the
  // 32-bit range; 0 for empty text or a bad base.
  std::int32_t ToInt(int base = 10) const;
  // The text in the locale character set; '?' for characters it lacks.
  std::string ToNarrow() const;

  // The character at index, or NUL outside the buffer.
  char16_t operator[](int index) const;

  // The buffer, null when there is none.
  const char16_t* Buffer() const { return m_buffer; }
  char16_t* Buffer() { return m_buffer; }
  // The text, never null.
  const char16_t* c_str() const { return m_buffer != nullptr ? m_buffer : u""; }
  bool IsEmpty() const { return m_buffer == nullptr || m_buffer[0] == 0; }

  friend bool operator==(const TStringEx& a, const TStringEx& b) { return a.Compare(b) == 0; }
  friend bool operator==(const TStringEx& a, const char16_t* b) { return a.Compare(b) == 0; }
  friend bool operator<(const TStringEx& a, const TStringEx& b) { return a.Compare(b) < 0; }

 private:
  char16_t* m_buffer = nullptr;
  std::uint32_t m_capacity = 0;
};

inline FormatArg MakeFormatArg(const TStringEx& s) { return FormatArg::Text(s.c_str()); }
