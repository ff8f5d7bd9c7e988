// Fuzzes the capture file's names: `saveoutput <name> <mode>` on the sandboxed console of
// FuzzConsole.h, the name confined to the work folder (which holds the folders "d" and "d.e", so
// names with a slash can open too). The input is the name, then after the first LF the mode
// text (none: "2", the dated mode).
//
// Checked: a capture file is open only when the line had exactly two arguments; it is open under
// the confined name, in mode 2 with "_YYYY_MM_DD_hh_mm_ss" put before the extension of the last
// path component (at its last dot; at the end without one); the file exists there, inside the
// work folder; after `closeoutput` it begins with the UTF-16 byte order mark.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz/FuzzConsole.h"

namespace {

constexpr int kStampLength = 20;  // "_YYYY_MM_DD_hh_mm_ss"

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

bool IsStamp(const TStringEx& text) {
  if (static_cast<int>(text.Length()) != kStampLength) return false;
  for (int i = 0; i < kStampLength; ++i) {
    bool separator = i == 0 || i == 5 || i == 8 || i == 11 || i == 14 || i == 17;
    char16_t c = text[i];
    if (separator ? c != u'_' : (c < u'0' || c > u'9')) return false;
  }
  return true;
}

// Where the dated mode puts the stamp into this name.
int StampPosition(const TStringEx& name) {
  int slash = -1;
  int dot = -1;
  for (int i = 0; i < static_cast<int>(name.Length()); ++i) {
    if (name[i] == u'/') {
      slash = i;
      dot = -1;
    } else if (name[i] == u'.' && i > slash) {
      dot = i;
    }
  }
  return dot < 0 ? static_cast<int>(name.Length()) : dot;
}

bool StartsWithByteOrderMark(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  int first = std::fgetc(file);
  int second = std::fgetc(file);
  std::fclose(file);
  return first == 0xFF && second == 0xFE;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::FuzzConsole::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::FuzzConsole& console = fuzz_support::FuzzConsole::Get();
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t split = input.find('\n');
  std::string name = input.substr(0, split);
  std::string mode = split == std::string::npos ? std::string("2") : input.substr(split + 1);
  std::filesystem::create_directory(fuzz_support::Sandbox::Get().File("d"));
  std::filesystem::create_directory(fuzz_support::Sandbox::Get().File("d.e"));

  TStringEx line(("saveoutput " + name + " " + mode).c_str());
  TCommandLine parsed = SplitCommandLine(line);
  console.RunLines(TDiagnosticServer::kNoConnection, {line});
  TStringEx opened = console.GetOutputFileName();
  if (parsed.args.GetCount() != 2) {
    Check(opened.IsEmpty());
  } else if (!opened.IsEmpty()) {
    TStringEx confined = fuzz_support::ConfinedPath(parsed.args[0]);
    if (parsed.args[1].ToInt(10) == eOutputDated) {
      int at = StampPosition(confined);
      const int length = static_cast<int>(confined.Length());
      Check(static_cast<int>(opened.Length()) == length + kStampLength);
      Check(opened.Left(at) == confined.Left(at));
      Check(IsStamp(opened.Mid(at, kStampLength)));
      Check(opened.Mid(at + kStampLength, length - at) == confined.Mid(at, length - at));
    } else {
      Check(opened == confined);
    }
    std::string native = platform::Utf16ToUtf8(opened.c_str(), opened.Length());
    Check(std::filesystem::exists(native));
    std::filesystem::path inside = std::filesystem::weakly_canonical(native);
    std::string work = std::filesystem::canonical(fuzz_support::Sandbox::Get().Work()).string() + "/";
    Check(inside.string().compare(0, work.size(), work) == 0);
    console.RunLines(TDiagnosticServer::kNoConnection, {TStringEx(u"closeoutput")});
    Check(StartsWithByteOrderMark(native));
  }
  console.Reset();
  return 0;
}
