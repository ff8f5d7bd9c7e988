// The fuzzers' sandbox: a fresh work folder for the files the console makes and reads, and a
// second one for the registry store, both removed at exit; the settings block gets a name of the
// process's own. Nothing a fuzzer runs may name a file outside the work folder: see ConfinedPath.
// (The current folder stays: libFuzzer reads the corpus and writes crash files there.)
#pragma once

#include <semaphore.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "foundation/TStringEx.h"
#include "platform/TextConvert.h"

namespace fuzz_support {

class Sandbox {
 public:
  // Made on first use, with TOLVANE_REGISTRY in its registry folder.
  static Sandbox& Get() {
    static Sandbox* sandbox = [] {
      auto* made = new Sandbox();
      std::atexit([] { Get().RemoveAll(); });
      return made;
    }();
    return *sandbox;
  }

  const std::string& Work() const { return m_work; }
  const std::string& RegistryFolder() const { return m_registry; }
  // The path of a file in the work folder.
  std::string File(const std::string& name) const { return m_work + "/" + name; }

  // Empties the work folder (what the previous input left there).
  void Clear() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(m_work, ignored))
      std::filesystem::remove_all(entry.path(), ignored);
  }

 private:
  Sandbox() : m_work(MakeFolder()), m_registry(MakeFolder()) {
    setenv("TOLVANE_REGISTRY", (m_registry + "/registry.db").c_str(), 1);
    m_settingsName = "tolvane-fuzz-" + std::to_string(getpid());
    setenv("TOLVANE_SETTINGS_SHM", m_settingsName.c_str(), 1);
  }

  static std::string MakeFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }

  void RemoveAll() const {
    std::error_code ignored;
    std::filesystem::remove_all(m_work, ignored);
    std::filesystem::remove_all(m_registry, ignored);
    sem_unlink(("/" + m_settingsName + "_Mutex").c_str());
  }

  std::string m_work;
  std::string m_registry;
  std::string m_settingsName;
};

// Whether the file layer, given this name relative to a folder, stays inside it: its UTF-8 form
// (what open() receives) is relative and has no ".." component.
inline bool StaysInside(const TStringEx& name) {
  std::string native = platform::Utf16ToUtf8(name.c_str(), name.Length());
  if (native.empty() || native[0] == '/') return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = native.find('/', start);
    std::string part = native.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// A file name made safe: the work folder's path, then the name made relative, with no empty, "."
// or ".." component and no control character, space or ';' (where the command-file list would
// split). Dots elsewhere and inner slashes stay, so extensions and missing sub-folders are still
// exercised. A name in the work folder already keeps its place there; one that still does not stay
// plainly inside becomes "x".
inline TStringEx ConfinedPath(const TStringEx& given) {
  const std::string work = Sandbox::Get().Work() + "/";
  TStringEx name = given;
  if (name.Left(static_cast<int>(work.size())) == TStringEx(work.c_str()))
    name = name.Mid(static_cast<int>(work.size()), static_cast<int>(name.Length() - work.size()));
  std::u16string out;
  std::u16string part;
  auto flush = [&] {
    if (!part.empty() && part != u"." && part != u"..") {
      if (!out.empty()) out += u'/';
      out += part;
    }
    part.clear();
  };
  for (std::uint32_t i = 0; i < name.Length(); ++i) {
    char16_t c = name[static_cast<int>(i)];
    if (c == u'/') {
      flush();
    } else {
      part += (c < 0x20 || c == u' ' || c == u';' || c == 0x7F) ? u'_' : c;
    }
  }
  flush();
  TStringEx relative(out.c_str());
  TStringEx confined(work.c_str());
  confined.Append(StaysInside(relative) ? relative : TStringEx(u"x"));
  return confined;
}

}  // namespace fuzz_support
