// Fuzzes the settings reader (TApplicationSettings) on the block it finds in shared memory. The
// first byte chooses:
//  - even: the rest is the block as it stands, UTF-16LE XML or anything else. Read back are the
//    name given by the byte after the first (that many bytes from the end of the input, ASCII)
//    and a few fixed names, as a flag, a number and a text.
//  - odd: the rest is a list of settings (name NUL value NUL ...), published and read back by a
//    second object: each setting that was published reads back as its text, for each name the
//    first setting of that name.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/FuzzSandbox.h"
#include "runtime/TApplicationSettings.h"
#include "runtime/TSharedMemory.h"

namespace {

const char16_t* const kKey = u"SOFTWARE\\Tolvane";

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

TStringEx Latin1(const std::string& bytes) {
  std::u16string text(bytes.begin(), bytes.end());
  for (char16_t& c : text) c &= 0xFF;
  return TStringEx(text.c_str());
}

void ReadAll(TApplicationSettings& settings, const TStringEx& name) {
  bool flag = false;
  TApplicationSettings::DWORD number = 0;
  TStringEx text;
  settings.ReadBool(kKey, name, flag);
  settings.ReadDword(kKey, name, number);
  settings.ReadString(kKey, name, text);
}

void RunBlock(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  std::size_t nameLength = data[0] % 16;
  if (nameLength > size - 1) nameLength = size - 1;
  TStringEx name = Latin1(std::string(reinterpret_cast<const char*>(data + size - nameLength), nameLength));
  TSharedMemory block(TApplicationSettings::SharedDataName());
  Check(block.Create(size - 1 > 0 ? size - 1 : 1));
  std::memcpy(block.GetView(), data + 1, size - 1);
  TApplicationSettings settings;
  settings.UsesSharedData();
  ReadAll(settings, name);
  for (const char16_t* fixed : {u"EnableCatch", u"Port", u"ApplicationSettingsSharedData", u"a", u""})
    ReadAll(settings, fixed);
}

void RunPublished(const std::uint8_t* data, std::size_t size) {
  std::vector<TApplicationSettings::Setting> published;
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t at = 0;
  while (at < input.size() && published.size() < 16) {
    std::size_t nameEnd = input.find('\0', at);
    if (nameEnd == std::string::npos) break;
    std::size_t valueEnd = input.find('\0', nameEnd + 1);
    if (valueEnd == std::string::npos) valueEnd = input.size();
    published.emplace_back(Latin1(input.substr(at, nameEnd - at)), Latin1(input.substr(nameEnd + 1, valueEnd - nameEnd - 1)));
    at = valueEnd + 1;
  }
  TApplicationSettings publisher;
  if (!publisher.Publish(published)) return;
  TApplicationSettings reader;
  Check(reader.UsesSharedData());
  std::map<std::u16string, TStringEx> first;
  for (const auto& setting : published) first.emplace(setting.first.c_str(), setting.second);
  for (const auto& [name, value] : first) {
    TStringEx text;
    Check(reader.ReadString(kKey, name.c_str(), text));
    Check(text == value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::Sandbox::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) != 0) {
    RunPublished(data + 1, size - 1);
  } else {
    RunBlock(data + 1, size - 1);
  }
  return 0;
}
