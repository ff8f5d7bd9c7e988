#include "foundation/Format.h"

#include <string>

#include "platform/TextConvert.h"

namespace {

// Writes into the caller's buffer while there is room and counts everything.
class Sink {
 public:
  Sink(char16_t* out, std::size_t capacity)
      : m_out(capacity == 0 ? nullptr : out), m_room(m_out == nullptr ? 0 : capacity - 1) {}

  void Put(char16_t c) {
    if (m_length < m_room) m_out[m_length] = c;
    ++m_length;
  }
  void Put(const char16_t* text, std::size_t n) {
    if (m_length < m_room) {
      std::size_t fit = m_room - m_length < n ? m_room - m_length : n;
      for (std::size_t i = 0; i < fit; ++i) m_out[m_length + i] = text[i];
    }
    m_length += n;
  }
  void Fill(char16_t c, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) Put(c);
  }
  // Terminates what fit and returns the length of the whole result.
  std::size_t Finish() {
    if (m_out != nullptr) m_out[m_length < m_room ? m_length : m_room] = 0;
    return m_length;
  }

 private:
  char16_t* m_out;
  std::size_t m_room;
  std::size_t m_length = 0;
};

struct Spec {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  std::size_t width = 0;
  bool hasPrecision = false;
  std::size_t precision = 0;
};

constexpr std::size_t kMaxWidth = 1 << 20;  // a width or precision beyond this is taken as this

// Pads a piece of text to the width of the conversion.
void Emit(Sink& sink, const Spec& spec, const char16_t* text, std::size_t n) {
  std::size_t pad = spec.width > n ? spec.width - n : 0;
  if (!spec.left) sink.Fill(u' ', pad);
  sink.Put(text, n);
  if (spec.left) sink.Fill(u' ', pad);
}

// Formats an integer magnitude with sign or prefix, precision and zero padding.
void EmitInteger(Sink& sink, const Spec& spec, std::uint64_t magnitude, bool negative, unsigned base, bool upper,
                 const char16_t* prefix) {
  char16_t digits[24];
  std::size_t n = 0;
  const char* table = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  while (magnitude != 0) {
    digits[n++] = static_cast<char16_t>(table[magnitude % base]);
    magnitude /= base;
  }
  std::size_t precision = spec.hasPrecision ? spec.precision : 1;
  std::size_t zeros = precision > n ? precision - n : 0;
  char16_t sign[3] = {0, 0, 0};
  std::size_t signLength = 0;
  if (negative)
    sign[signLength++] = u'-';
  else if (spec.plus && prefix == nullptr)
    sign[signLength++] = u'+';
  else if (spec.space && prefix == nullptr)
    sign[signLength++] = u' ';
  // "0x" marks a non-zero hexadecimal value; the octal "0" only makes sure the first digit is a zero.
  bool octal = prefix != nullptr && prefix[0] == u'0' && prefix[1] == 0;
  if (prefix != nullptr && (octal ? zeros == 0 : n > 0))
    for (const char16_t* p = prefix; *p != 0; ++p) sign[signLength++] = *p;
  std::size_t body = signLength + zeros + n;
  std::size_t pad = spec.width > body ? spec.width - body : 0;
  if (spec.zero && !spec.left && !spec.hasPrecision) {
    zeros += pad;
    pad = 0;
  }
  if (!spec.left) sink.Fill(u' ', pad);
  sink.Put(sign, signLength);
  sink.Fill(u'0', zeros);
  while (n > 0) sink.Put(digits[--n]);
  if (spec.left) sink.Fill(u' ', pad);
}

std::uint64_t ZeroExtended(const FormatArg& a) {
  return a.size >= 8 ? a.bits : a.bits & ((std::uint64_t{1} << (a.size * 8)) - 1);
}

std::int64_t SignExtended(const FormatArg& a) {
  if (a.size >= 8) return static_cast<std::int64_t>(a.bits);
  unsigned shift = 64 - a.size * 8;
  return static_cast<std::int64_t>(ZeroExtended(a) << shift) >> shift;
}

bool IsInteger(const FormatArg& a) {
  return a.kind == FormatArg::Kind::Signed || a.kind == FormatArg::Kind::Unsigned || a.kind == FormatArg::Kind::Char ||
         a.kind == FormatArg::Kind::Pointer;
}

void EmitText(Sink& sink, const Spec& spec, const FormatArg& a) {
  if (a.kind == FormatArg::Kind::Text16 || a.kind == FormatArg::Kind::Text8) {
    std::u16string converted;
    const char16_t* text = a.text16;
    if (a.kind == FormatArg::Kind::Text8 && a.text8 != nullptr) {
      std::size_t n8 = 0;
      while (a.text8[n8] != 0 && (!spec.hasPrecision || n8 < spec.precision * 4)) ++n8;
      platform::AppendNarrowToUtf16(a.text8, n8, converted);
      text = converted.c_str();
    } else if (a.kind == FormatArg::Kind::Text8) {
      text = nullptr;
    }
    if (text == nullptr) text = u"(null)";
    std::size_t n = 0;
    while (text[n] != 0 && (!spec.hasPrecision || n < spec.precision)) ++n;
    Emit(sink, spec, text, n);
  } else if (a.kind == FormatArg::Kind::Char) {
    char16_t c = static_cast<char16_t>(a.bits);
    Emit(sink, spec, &c, c == 0 ? 0 : 1);
  } else if (a.kind == FormatArg::Kind::Signed) {
    std::int64_t v = SignExtended(a);
    EmitInteger(sink, Spec{spec.left, false, false, false, false, spec.width, false, 0},
                v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v), v < 0, 10, false, nullptr);
  } else if (IsInteger(a)) {
    EmitInteger(sink, Spec{spec.left, false, false, false, false, spec.width, false, 0}, ZeroExtended(a), false, 10,
                false, nullptr);
  }
}

}  // namespace

std::size_t FormatTo(char16_t* out, std::size_t capacity, const char16_t* format, const FormatArg* args,
                     std::size_t count) {
  Sink sink(out, capacity);
  if (format == nullptr) return sink.Finish();
  std::size_t next = 0;
  auto take = [&]() -> const FormatArg* { return next < count ? &args[next++] : nullptr; };
  const char16_t* p = format;
  while (*p != 0) {
    if (*p != u'%') {
      const char16_t* run = p;
      while (*p != 0 && *p != u'%') ++p;
      sink.Put(run, static_cast<std::size_t>(p - run));
      continue;
    }
    const char16_t* start = p++;
    if (*p == u'%') {
      sink.Put(u'%');
      ++p;
      continue;
    }
    Spec spec;
    for (;; ++p) {
      if (*p == u'-') spec.left = true;
      else if (*p == u'0') spec.zero = true;
      else if (*p == u'+') spec.plus = true;
      else if (*p == u' ') spec.space = true;
      else if (*p == u'#') spec.alternate = true;
      else break;
    }
    if (*p == u'*') {
      ++p;
      const FormatArg* w = take();
      if (w != nullptr && IsInteger(*w)) {
        std::int64_t v = w->kind == FormatArg::Kind::Signed ? SignExtended(*w) : static_cast<std::int64_t>(ZeroExtended(*w));
        if (v < 0) {
          spec.left = true;
          v = v == INT64_MIN ? INT64_MAX : -v;
        }
        spec.width = static_cast<std::uint64_t>(v) > kMaxWidth ? kMaxWidth : static_cast<std::size_t>(v);
      }
    } else {
      while (*p >= u'0' && *p <= u'9') {
        spec.width = spec.width * 10 + (*p++ - u'0');
        if (spec.width > kMaxWidth) spec.width = kMaxWidth;
      }
    }
    if (*p == u'.') {
      ++p;
      spec.hasPrecision = true;
      if (*p == u'*') {
        ++p;
        const FormatArg* w = take();
        std::int64_t v = 0;
        if (w != nullptr && IsInteger(*w))
          v = w->kind == FormatArg::Kind::Signed ? SignExtended(*w) : static_cast<std::int64_t>(ZeroExtended(*w));
        if (v < 0) spec.hasPrecision = false;  // a negative precision counts as none
        spec.precision = v < 0 ? 0 : static_cast<std::uint64_t>(v) > kMaxWidth ? kMaxWidth : static_cast<std::size_t>(v);
      } else {
        while (*p >= u'0' && *p <= u'9') {
          spec.precision = spec.precision * 10 + (*p++ - u'0');
          if (spec.precision > kMaxWidth) spec.precision = kMaxWidth;
        }
      }
    }
    // Length modifiers: the argument's type already says its size.
    for (;;) {
      if (*p == u'h' || *p == u'l' || *p == u'L' || *p == u'q' || *p == u'j' || *p == u'z' || *p == u't' ||
          *p == u'w') {
        ++p;
      } else if (*p == u'I') {
        ++p;
        if ((p[0] == u'3' && p[1] == u'2') || (p[0] == u'6' && p[1] == u'4')) p += 2;
      } else {
        break;
      }
    }
    char16_t conversion = *p;
    if (conversion == 0) {
      // A format that ends inside a conversion prints that piece as it stands.
      sink.Put(start, static_cast<std::size_t>(p - start));
      break;
    }
    ++p;
    switch (conversion) {
      case u'd':
      case u'i': {
        const FormatArg* a = take();
        if (a == nullptr || !IsInteger(*a)) break;
        std::int64_t v = a->kind == FormatArg::Kind::Signed || a->kind == FormatArg::Kind::Unsigned ? SignExtended(*a)
                                                                                                  : static_cast<std::int64_t>(ZeroExtended(*a));
        std::uint64_t magnitude = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        EmitInteger(sink, spec, magnitude, v < 0, 10, false, nullptr);
        break;
      }
      case u'u':
      case u'x':
      case u'X':
      case u'o': {
        const FormatArg* a = take();
        if (a == nullptr || !IsInteger(*a)) break;
        unsigned base = conversion == u'u' ? 10 : conversion == u'o' ? 8 : 16;
        const char16_t* prefix = nullptr;
        Spec unsignedSpec = spec;  // + and space apply to signed conversions only
        unsignedSpec.plus = unsignedSpec.space = false;
        if (spec.alternate) prefix = conversion == u'x' ? u"0x" : conversion == u'X' ? u"0X" : conversion == u'o' ? u"0" : nullptr;
        EmitInteger(sink, unsignedSpec, ZeroExtended(*a), false, base, conversion == u'X', prefix);
        break;
      }
      case u'p': {
        const FormatArg* a = take();
        if (a == nullptr || !IsInteger(*a)) break;
        Spec fixed = spec;
        fixed.hasPrecision = true;
        fixed.precision = sizeof(void*) * 2;
        fixed.plus = fixed.space = false;
        EmitInteger(sink, fixed, ZeroExtended(*a), false, 16, true, nullptr);
        break;
      }
      case u'c':
      case u'C': {
        const FormatArg* a = take();
        if (a == nullptr || !IsInteger(*a)) break;
        std::uint64_t v = ZeroExtended(*a);
        char16_t c = v <= 0xFFFF ? static_cast<char16_t>(v) : u'?';
        Emit(sink, spec, &c, c == 0 ? 0 : 1);
        break;
      }
      case u's':
      case u'S': {
        const FormatArg* a = take();
        if (a != nullptr) EmitText(sink, spec, *a);
        break;
      }
      case u'n':
      case u'e':
      case u'E':
      case u'f':
      case u'F':
      case u'g':
      case u'G':
      case u'a':
      case u'A':
        take();
        break;
      default:
        // Not a conversion: the text stands as it was written.
        sink.Put(start, static_cast<std::size_t>(p - start));
        break;
    }
  }
  return sink.Finish();
}
