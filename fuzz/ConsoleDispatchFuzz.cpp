// Fuzzes the console's dispatcher: the input is split into command lines (at LF; a line
// longer than 4096 bytes is cut there) and run by a console without network, every built-in
// command included except `stop` and `crash`, file names confined to the sandbox (FuzzConsole.h).
//
// The first byte chooses how the rest is read: bit 0 set, as UTF-16LE (any character, NULs
// included); clear, as 8-bit text the way a command file is read. Bit 1 sends the lines for
// connection 0, which is not connected, instead of for no connection.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzConsole.h"

namespace {

constexpr std::size_t kMaxLineUnits = 4096;

std::vector<TStringEx> Lines(const std::uint8_t* data, std::size_t size, bool wide) {
  std::vector<TStringEx> lines;
  if (wide) {
    std::u16string line;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
      char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
      if (c == u'\n') {
        lines.emplace_back(line.c_str());
        line.clear();
      } else if (line.size() < kMaxLineUnits) {
        line.push_back(c);
      }
    }
    lines.emplace_back(line.c_str());
  } else {
    std::string line;
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == '\n') {
        lines.emplace_back(line.c_str());
        line.clear();
      } else if (line.size() < kMaxLineUnits) {
        line.push_back(static_cast<char>(data[i]));
      }
    }
    lines.emplace_back(line.c_str());
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::FuzzConsole::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  fuzz_support::FuzzConsole& console = fuzz_support::FuzzConsole::Get();
  const int id = (data[0] & 2) != 0 ? 0 : TDiagnosticServer::kNoConnection;
  console.RunLines(id, Lines(data + 1, size - 1, (data[0] & 1) != 0));
  console.Reset();
  return 0;
}
