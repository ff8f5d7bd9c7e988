// Locale conversions through iconv, with one converter pair cached per thread.
#include "platform/TextConvert.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>

namespace platform {
namespace {

constexpr const char* kUtf16Native = (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ? "UTF-16LE" : "UTF-16BE";
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// The converters of one thread for the locale character set it last used. The set is looked up at
// every call, so a host that calls setlocale after start-up is followed.
class ThreadConverters {
 public:
  ~ThreadConverters() { Close(); }

  iconv_t ToUtf16() { Refresh(); return m_toUtf16; }
  iconv_t FromUtf16() { Refresh(); return m_fromUtf16; }

 private:
  void Refresh() {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr) codeset = "ANSI_X3.4-1968";
    if (m_codeset == codeset && m_toUtf16 != kNoConverter) return;
    Close();
    m_codeset = codeset;
    m_toUtf16 = iconv_open(kUtf16Native, codeset);
    m_fromUtf16 = iconv_open(codeset, kUtf16Native);
    if (m_toUtf16 == kNoConverter || m_fromUtf16 == kNoConverter) Close();
  }
  void Close() {
    if (m_toUtf16 != kNoConverter) iconv_close(m_toUtf16);
    if (m_fromUtf16 != kNoConverter) iconv_close(m_fromUtf16);
    m_toUtf16 = m_fromUtf16 = kNoConverter;
  }

  std::string m_codeset;
  iconv_t m_toUtf16 = kNoConverter;
  iconv_t m_fromUtf16 = kNoConverter;
};

thread_local ThreadConverters t_converters;

bool IsAscii(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  return true;
}

bool IsAscii(const char16_t* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (text[i] >= 0x80) return false;
  return true;
}

// Runs iconv over the whole input, growing the output as needed. An input sequence that cannot be
// converted is replaced by `replacement` and skipped by one input unit (or by a whole surrogate
// pair when the input is UTF-16).
template <class Out>
void Convert(iconv_t cd, const char* in, std::size_t inBytes, std::size_t unitBytes,
             const typename Out::value_type replacement, Out& out) {
  using Unit = typename Out::value_type;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* src = const_cast<char*>(in);
  std::size_t srcLeft = inBytes;
  std::size_t start = out.size();
  out.resize(start + inBytes / unitBytes + 16);
  std::size_t used = start;
  while (srcLeft > 0) {
    char* dst = reinterpret_cast<char*>(out.data() + used);
    std::size_t dstLeft = (out.size() - used) * sizeof(Unit);
    std::size_t before = dstLeft;
    std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    used += (before - dstLeft) / sizeof(Unit);
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2 + 16);
      continue;
    }
    // EILSEQ or EINVAL: emit the replacement and step over the offending input.
    if (used >= out.size()) out.resize(out.size() * 2 + 16);
    out[used++] = replacement;
    std::size_t skip = unitBytes;
    if (unitBytes == 2 && srcLeft >= 4) {
      // A whole pair is skipped only when it is one: a lone high surrogate keeps what follows it.
      char16_t unit[2];
      std::memcpy(unit, src, 4);
      if (unit[0] >= 0xD800 && unit[0] <= 0xDBFF && unit[1] >= 0xDC00 && unit[1] <= 0xDFFF) skip = 4;
    }
    if (unitBytes == 1) skip = 1;
    if (skip > srcLeft) skip = srcLeft;
    src += skip;
    srcLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  // Flush any shift state the target encoding keeps.
  for (;;) {
    char* dst = reinterpret_cast<char*>(out.data() + used);
    std::size_t dstLeft = (out.size() - used) * sizeof(Unit);
    std::size_t before = dstLeft;
    std::size_t rc = iconv(cd, nullptr, nullptr, &dst, &dstLeft);
    used += (before - dstLeft) / sizeof(Unit);
    if (rc != static_cast<std::size_t>(-1) || errno != E2BIG) break;
    out.resize(out.size() * 2 + 16);
  }
  out.resize(used);
}

void AppendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(char32_t cp, std::u16string& out) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

void AppendNarrowToUtf16(const char* text, std::size_t length, std::u16string& out) {
  if (length == 0) return;
  if (IsAscii(text, length)) {
    out.append(text, text + length);
    return;
  }
  iconv_t cd = t_converters.ToUtf16();
  if (cd == kNoConverter) {
    for (std::size_t i = 0; i < length; ++i) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      out.push_back(c < 0x80 ? c : u'?');
    }
    return;
  }
  Convert(cd, text, length, 1, u'?', out);
}

void AppendUtf16ToNarrow(const char16_t* text, std::size_t length, std::string& out) {
  if (length == 0) return;
  if (IsAscii(text, length)) {
    std::size_t start = out.size();
    out.resize(start + length);
    for (std::size_t i = 0; i < length; ++i) out[start + i] = static_cast<char>(text[i]);
    return;
  }
  iconv_t cd = t_converters.FromUtf16();
  if (cd == kNoConverter) {
    for (std::size_t i = 0; i < length; ++i) out.push_back(text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
    return;
  }
  Convert(cd, reinterpret_cast<const char*>(text), length * 2, 2, '?', out);
}

std::string Utf16ToUtf8(const char16_t* text, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(c, out);
  }
  return out;
}

std::u16string Utf8ToUtf16(const char* text, std::size_t length) {
  std::u16string out;
  out.reserve(length);
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < length) {
    unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int extra = (b >= 0xC2 && b <= 0xDF) ? 1 : (b >= 0xE0 && b <= 0xEF) ? 2 : (b >= 0xF0 && b <= 0xF4) ? 3 : 0;
    char32_t cp = extra == 3 ? (b & 0x07) : extra == 2 ? (b & 0x0F) : (b & 0x1F);
    bool ok = extra > 0 && i + static_cast<std::size_t>(extra) < length;
    for (int k = 1; ok && k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    // Reject overlong forms, surrogates and values past U+10FFFF.
    if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
               (cp >= 0xD800 && cp <= 0xDFFF)))
      ok = false;
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    AppendUtf16(cp, out);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

std::size_t Utf16Length(const char16_t* text) {
  if (text == nullptr) return 0;
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace platform
