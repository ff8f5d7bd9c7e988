// The printf-style formatter over UTF-16, shared by every operation that takes a format.
//
// Type-safe: arguments are captured as FormatArg values by a variadic template, never read through
// C varargs, so a format whose conversions do not match its arguments cannot read memory it was
// not given. Conversions: %s (UTF-16 text, TStringEx, or 8-bit text converted from the locale
// character set), %d %i %u %x %X %o %c %p %%, flags - 0 + space #, width, precision and *. Length
// modifiers (h hh l ll L q j z t w I I32 I64) are accepted and ignored: the argument's own type
// decides its size. A conversion that has no argument prints nothing; one whose argument is of
// another kind prints it as it can (a number for %s) or nothing (text for %d). %n and the
// floating-point conversions consume their argument and print nothing. Text that is not meant as
// a format is therefore safe to pass as one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

struct FormatArg {
  enum class Kind : std::uint8_t { None, Signed, Unsigned, Char, Text16, Text8, Pointer };

  Kind kind = Kind::None;
  std::uint8_t size = 0;  // bytes of an integer argument
  union {
    std::uint64_t bits;
    const char16_t* text16;
    const char* text8;
    const void* pointer;
  };

  FormatArg() : bits(0) {}
  static FormatArg Text(const char16_t* s) {
    FormatArg a;
    a.kind = Kind::Text16;
    a.text16 = s;
    return a;
  }
};

// Captures one argument. Further overloads (TStringEx) are found by argument-dependent lookup.
template <class T>
FormatArg MakeFormatArg(const T& value) {
  using U = std::decay_t<T>;
  FormatArg a;
  if constexpr (std::is_same_v<U, char16_t*> || std::is_same_v<U, const char16_t*>) {
    a.kind = FormatArg::Kind::Text16;
    a.text16 = value;
  } else if constexpr (std::is_same_v<U, char*> || std::is_same_v<U, const char*>) {
    a.kind = FormatArg::Kind::Text8;
    a.text8 = value;
  } else if constexpr (std::is_same_v<U, std::u16string>) {
    a.kind = FormatArg::Kind::Text16;
    a.text16 = value.c_str();
  } else if constexpr (std::is_same_v<U, char16_t> || std::is_same_v<U, char>) {
    a.kind = FormatArg::Kind::Char;
    a.size = sizeof(U);
    a.bits = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<U>>(value));
  } else if constexpr (std::is_same_v<U, bool>) {
    a.kind = FormatArg::Kind::Signed;
    a.size = 4;
    a.bits = value ? 1 : 0;
  } else if constexpr (std::is_enum_v<U>) {
    using Base = std::underlying_type_t<U>;
    a.kind = std::is_signed_v<Base> ? FormatArg::Kind::Signed : FormatArg::Kind::Unsigned;
    a.size = sizeof(Base);
    a.bits = static_cast<std::uint64_t>(static_cast<Base>(value));
  } else if constexpr (std::is_integral_v<U>) {
    a.kind = std::is_signed_v<U> ? FormatArg::Kind::Signed : FormatArg::Kind::Unsigned;
    a.size = sizeof(U);
    a.bits = static_cast<std::uint64_t>(value);
  } else if constexpr (std::is_pointer_v<U> || std::is_null_pointer_v<U>) {
    a.kind = FormatArg::Kind::Pointer;
    a.size = sizeof(void*);
    a.pointer = static_cast<const void*>(value);
  } else {
    static_assert(sizeof(U) == 0, "this type cannot be formatted");
  }
  return a;
}

// Formats into out[0, capacity): at most capacity - 1 units and a terminator (nothing when
// capacity is 0). Returns the length of the whole result, which may be larger than what fit.
// A null format gives the empty text.
std::size_t FormatTo(char16_t* out, std::size_t capacity, const char16_t* format, const FormatArg* args,
                     std::size_t count);

// Captures the arguments and calls fn(args, count): the one way every formatting operation
// turns its parameter pack into FormatArg values.
template <class Fn, class... Args>
decltype(auto) WithFormatArgs(Fn&& fn, const Args&... args) {
  const FormatArg argv[sizeof...(Args) + 1] = {MakeFormatArg(args)..., FormatArg()};
  return fn(static_cast<const FormatArg*>(argv), sizeof...(Args));
}
