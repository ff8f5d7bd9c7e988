// Fuzzes the formatter and the index arithmetic of TStringEx.
//
// Input: two 32-bit integers and two bytes that drive the TStringEx operations, then the rest as
// UTF-16 units used both as a format (with a fixed mix of arguments) and as the text operated on.
// Every result is checked against a plain std::u16string model; a mismatch traps.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/Format.h"
#include "foundation/TStringEx.h"
#include "foundation/TStringExArray.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Results beyond this are only measured, not built as strings, to keep each run small.
constexpr std::size_t kMaxBuilt = std::size_t{1} << 20;

std::u16string Clamped(const std::u16string& text, long long start, long long count) {
  long long length = static_cast<long long>(text.size());
  if (start < 0) start = 0;
  if (start > length) start = length;
  if (count > length - start) count = length - start;
  if (count < 1) return u"";
  return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(count));
}

void FuzzFormat(const char16_t* format, const TStringEx& text, std::int32_t number, const char* narrow) {
  const char16_t* null16 = nullptr;
  const FormatArg args[] = {
      MakeFormatArg(number),      MakeFormatArg(null16),  MakeFormatArg(u"wide"),       MakeFormatArg(text),
      MakeFormatArg(narrow),      MakeFormatArg(-1),      MakeFormatArg(UINT64_MAX),    MakeFormatArg(u'c'),
      MakeFormatArg(TStringEx()), MakeFormatArg(INT64_MIN), MakeFormatArg(static_cast<const char*>(nullptr)),
  };
  const std::size_t count = sizeof(args) / sizeof(args[0]);

  std::vector<char16_t> large(4096, u'#');
  const std::size_t length = FormatTo(large.data(), large.size(), format, args, count);
  const std::size_t fitted = length < large.size() ? length : large.size() - 1;
  Check(large[fitted] == 0);
  for (std::size_t capacity : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
    char16_t small[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
    Check(FormatTo(small, capacity, format, args, count) == length);
    if (capacity == 0) {
      Check(small[0] == u'#');
      continue;
    }
    std::size_t kept = length < capacity - 1 ? length : capacity - 1;
    Check(small[kept] == 0 && small[capacity] == u'#');
    Check(std::memcmp(small, large.data(), kept * sizeof(char16_t)) == 0);
  }
  Check(FormatTo(nullptr, 0, format, args, count) == length);

  if (length <= kMaxBuilt) {
    TStringEx s(u"previous");
    s.FormatV(format, args, count);
    Check(s.Length() == length);
    Check(std::memcmp(s.c_str(), large.data(), fitted * sizeof(char16_t)) == 0);
  }

  // The typed entry point, reading the very string that it then replaces, as arguments and as format.
  TStringEx self(text);
  auto measure = [&](const char16_t* f) {
    return WithFormatArgs([&](const FormatArg* argv, std::size_t n) { return FormatTo(nullptr, 0, f, argv, n); },
                          self, number, narrow, self, null16);
  };
  std::size_t selfLength = measure(format);
  if (selfLength <= kMaxBuilt) {
    self.Format(format, self, number, narrow, self, null16);
    Check(self.Length() == selfLength);
  }
  selfLength = measure(self.c_str());
  if (selfLength <= kMaxBuilt) {
    self.Format(self.c_str(), self, number, narrow, self, null16);
    Check(self.Length() == selfLength);
  }
}

void FuzzOperations(const TStringEx& text, int a, int b, char16_t c) {
  const std::u16string model(text.c_str());
  const long long length = static_cast<long long>(model.size());

  Check(text.Mid(a, b) == Clamped(model, a, b).c_str());
  Check(text.Left(a) == Clamped(model, 0, a).c_str());
  Check(text.Right(a) == (a < 1 ? std::u16string() : Clamped(model, length - (a < length ? a : length), a)).c_str());

  TStringEx deleted(text);
  deleted.Delete(a, b);
  std::u16string deletedModel = model;
  if (a >= 0 && a < length && b > 0) deletedModel.erase(static_cast<std::size_t>(a), static_cast<std::size_t>(b));
  Check(deleted == deletedModel.c_str());

  std::size_t from = a < 0 ? 0 : static_cast<std::size_t>(a);
  std::size_t at = model.find(c, from);
  Check(text.Find(c, a) == (at == std::u16string::npos ? -1 : static_cast<int>(at)));
  const TStringEx needle = text.Mid(b, 3);
  at = from > model.size() ? std::u16string::npos : model.find(needle.c_str(), from);
  Check(text.Find(needle.c_str(), a) == (at == std::u16string::npos ? -1 : static_cast<int>(at)));
  int noCase = text.FindNoCase(needle.c_str(), a);
  Check(noCase == -1 || (noCase >= static_cast<int>(from) && noCase <= length));

  char16_t unit = text[a];
  if (a >= 0 && a < length) Check(unit == model[static_cast<std::size_t>(a)]);
  if (a < 0 || static_cast<std::uint32_t>(a) >= text.Size()) Check(unit == 0);

  (void)text.ToInt(a);
  (void)text.ToInt(a & 63);

  TStringExArray items;
  text.Split(c, items);
  for (std::int32_t i = 0; i < items.GetCount(); ++i) Check(!items[i].IsEmpty() && items[i].Find(c) == -1);
  TStringEx joined = TStringEx::Join(items, c);
  TStringEx trimmed(text);
  trimmed.TrimLeft(c);
  trimmed.TrimRight(c);
  Check(joined.Length() <= trimmed.Length());

  TStringEx appended(text);
  appended.Append(appended);
  Check(appended.Length() == 2 * text.Length());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Narrow arguments then go through the multi-byte converter, with its error paths.
  std::setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t head[10] = {};
  std::size_t headSize = size < sizeof(head) ? size : sizeof(head);
  std::memcpy(head, data, headSize);
  std::int32_t a;
  std::int32_t b;
  std::memcpy(&a, head, 4);
  std::memcpy(&b, head + 4, 4);
  const auto c = static_cast<char16_t>(head[8] | (head[9] << 8));

  std::u16string units((size - headSize) / 2, u'\0');
  std::memcpy(units.data(), data + headSize, units.size() * sizeof(char16_t));
  // The tail bytes read as narrow text too: arbitrary, often malformed multi-byte input.
  const std::string narrow(reinterpret_cast<const char*>(data + headSize), size - headSize);

  const TStringEx text(units.c_str());
  FuzzFormat(units.c_str(), text, a, narrow.c_str());
  FuzzOperations(text, a, b, c);
  // Small numbers reach the interesting edges far more often than arbitrary 32-bit ones.
  FuzzOperations(text, static_cast<std::int8_t>(head[0]), static_cast<std::int8_t>(head[4]), c);
  return 0;
}
