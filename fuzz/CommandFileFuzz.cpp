// Fuzzes the command-file reader: the input is the file's contents (NULs, CR without LF and
// over-long lines included), read with `loadcmdfile` by the sandboxed console of FuzzConsole.h.
// The lines the reader queues are checked against the reading rule: split at LF, at most 1023
// bytes kept of each (the rest up to the LF skipped), one CR before the LF dropped, the text
// ending at a NUL; the last line is queued even when empty. The queued lines then run, filtered.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/FuzzConsole.h"

namespace {

constexpr std::size_t kLineBytes = 1023;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::vector<TStringEx> ExpectedLines(const std::uint8_t* data, std::size_t size) {
  std::vector<TStringEx> lines;
  std::string line;
  auto end = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.emplace_back(line.c_str());
    line.clear();
  };
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      end();
    } else if (line.size() < kLineBytes) {
      line.push_back(static_cast<char>(data[i]));
    }
  }
  end();
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::FuzzConsole::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::FuzzConsole& console = fuzz_support::FuzzConsole::Get();
  const std::string path = fuzz_support::Sandbox::Get().File("commands.txt");
  FILE* file = std::fopen(path.c_str(), "wb");
  Check(file != nullptr);
  Check(std::fwrite(data, 1, size, file) == size);
  std::fclose(file);

  std::vector<TStringEx> queued;
  console.SetObserver([&queued](const TStringEx& line) { queued.push_back(line); });
  const TStringEx load(("loadcmdfile " + path).c_str());
  console.RunLines(TDiagnosticServer::kNoConnection, {load});
  console.SetObserver(nullptr);

  // The load line itself, then the file's lines, then whatever those lines queued in turn.
  std::vector<TStringEx> expected = ExpectedLines(data, size);
  Check(queued.size() >= expected.size() + 1);
  Check(queued[0] == load);
  for (std::size_t i = 0; i < expected.size(); ++i) Check(queued[i + 1] == expected[i]);
  console.Reset();
  return 0;
}
