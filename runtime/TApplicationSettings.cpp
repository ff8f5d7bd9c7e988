#include "runtime/TApplicationSettings.h"

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>

#include <pugixml.hpp>

#include "foundation/TRegEditor.h"
#include "platform/TextConvert.h"
#include "runtime/TSharedMemory.h"

namespace {

constexpr platform::DWORD kLocalMachine = 3;
constexpr char16_t kDefaultBlockName[] = u"ApplicationSettingsSharedData";
constexpr char kRootName[] = "ApplicationSettingsSharedData";
// Long enough for any mutex holder that is alive; a dead one must not hang every active object.
constexpr platform::DWORD kLockTimeoutMs = 5000;
// Settings blocks are small; anything longer is not one, and is not copied.
constexpr std::size_t kMaxTextUnits = std::size_t{1} << 20;

std::string ToUtf8(const char16_t* text) { return platform::Utf16ToUtf8(text, platform::Utf16Length(text)); }

TStringEx FromUtf8(const char* text) {
  return TStringEx(platform::Utf8ToUtf16(text, std::strlen(text)).c_str());
}

bool EqualsIgnoringAsciiCase(const TStringEx& text, const char16_t* word) {
  const char16_t* p = text.c_str();
  for (; *p != 0 && *word != 0; ++p, ++word) {
    char16_t c = (*p >= u'A' && *p <= u'Z') ? static_cast<char16_t>(*p - u'A' + u'a') : *p;
    if (c != *word) return false;
  }
  return *p == *word;
}

// Element names the reader's parser takes back: ASCII name characters, and any other character
// outside ASCII.
bool IsXmlName(const TStringEx& name) {
  auto start = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c == u':' || c >= 0x80; };
  auto rest = [&](char16_t c) { return start(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.'; };
  const char16_t* p = name.c_str();
  if (!start(*p)) return false;
  while (*++p != 0)
    if (!rest(*p)) return false;
  return true;
}

class ByteWriter : public pugi::xml_writer {
 public:
  void write(const void* data, std::size_t size) override { bytes.append(static_cast<const char*>(data), size); }
  std::string bytes;
};

// The reader's parser takes a raw CR for a line end (CR LF and a lone CR both read as LF), so a
// value's CR is written as a character reference, which reads back as itself. Only values hold
// a CR: the layout's line ends are LF alone.
std::string EscapeCarriageReturns(const std::string& utf16le) {
  static const std::u16string kReference = u"&#13;";
  std::string escaped;
  escaped.reserve(utf16le.size());
  for (std::size_t i = 0; i + 1 < utf16le.size(); i += 2) {
    if (utf16le[i] == '\r' && utf16le[i + 1] == 0) {
      escaped.append(reinterpret_cast<const char*>(kReference.data()), kReference.size() * sizeof(char16_t));
    } else {
      escaped.append(utf16le, i, 2);
    }
  }
  return escaped;
}

}  // namespace

struct TApplicationSettings::Document {
  pugi::xml_document document;
  pugi::xml_node root;
};

TApplicationSettings::TApplicationSettings() = default;

TApplicationSettings::~TApplicationSettings() = default;

TStringEx TApplicationSettings::SharedDataName() {
  const char* name = std::getenv("TOLVANE_SETTINGS_SHM");
  if (name == nullptr || *name == 0) return TStringEx(kDefaultBlockName);
  return FromUtf8(name);
}

void TApplicationSettings::ChooseStore() {
  if (m_loaded) return;
  m_useSharedData = false;
  m_document.reset();
  TSharedMemory block(SharedDataName());
  if (block.Lock(kLockTimeoutMs)) {
    if (block.Open() && block.GetViewSize() > 0) {
      // The text ends at the first NUL or at the end of the region (an odd last byte is no
      // character). Find its end in place, so a huge region is neither copied nor read past it.
      const char16_t* view = static_cast<const char16_t*>(block.GetView());
      const std::size_t units = std::min(block.GetViewSize() / sizeof(char16_t), kMaxTextUnits + 1);
      std::size_t length = 0;
      while (length < units && view[length] != 0) ++length;
      if (length > 0 && length <= kMaxTextUnits) {
        std::u16string text(view, length);
        auto document = std::make_unique<Document>();
        // A value of only white space is text like any other (the publisher writes such values).
        pugi::xml_parse_result parsed = document->document.load_buffer(
            text.data(), length * sizeof(char16_t), pugi::parse_default | pugi::parse_ws_pcdata_single,
            pugi::encoding_utf16_le);
        document->root = document->document.document_element();
        if (parsed && document->root) {
          m_document = std::move(document);
          m_useSharedData = true;
        }
      }
    }
    block.Unlock();
  }
  m_loaded = true;
}

bool TApplicationSettings::UsesSharedData() {
  ChooseStore();
  return m_useSharedData;
}

bool TApplicationSettings::ReadSharedText(const char16_t* valueName, TStringEx& text) {
  if (valueName == nullptr || *valueName == 0) return false;
  pugi::xml_node element = m_document->root.child(ToUtf8(valueName).c_str());
  if (!element) return false;
  text = FromUtf8(element.child_value());
  return true;
}

bool TApplicationSettings::ReadBool(const char16_t* keyPath, const char16_t* valueName, bool& value) {
  ChooseStore();
  if (m_useSharedData) {
    TStringEx text;
    if (!ReadSharedText(valueName, text)) return false;
    if (EqualsIgnoringAsciiCase(text, u"true")) {
      value = true;
    } else if (EqualsIgnoringAsciiCase(text, u"false")) {
      value = false;
    } else {
      return false;
    }
    return true;
  }
  bool result = false;
  if (!TRegEditor().ReadBool(kLocalMachine, keyPath, valueName, result)) return false;
  value = result;
  return true;
}

bool TApplicationSettings::ReadDword(const char16_t* keyPath, const char16_t* valueName, DWORD& value) {
  ChooseStore();
  if (m_useSharedData) {
    TStringEx text;
    if (!ReadSharedText(valueName, text) || text.IsEmpty()) return false;
    value = static_cast<DWORD>(text.ToInt(10));
    return true;
  }
  DWORD result = value;
  if (!TRegEditor().ReadDword(kLocalMachine, keyPath, valueName, result)) return false;
  value = result;
  return true;
}

bool TApplicationSettings::ReadString(const char16_t* keyPath, const char16_t* valueName, TStringEx& value) {
  ChooseStore();
  TStringEx result;
  if (m_useSharedData ? !ReadSharedText(valueName, result)
                      : !TRegEditor().ReadString(kLocalMachine, keyPath, valueName, result))
    return false;
  value = result;
  return true;
}

bool TApplicationSettings::WriteBool(const char16_t* keyPath, const char16_t* valueName, bool value) {
  return WriteDword(keyPath, valueName, value ? 1 : 0);
}

bool TApplicationSettings::WriteDword(const char16_t* keyPath, const char16_t* valueName, DWORD value) {
  ChooseStore();
  return !m_useSharedData && TRegEditor().WriteDword(kLocalMachine, keyPath, valueName, value);
}

bool TApplicationSettings::WriteString(const char16_t* keyPath, const char16_t* valueName, const char16_t* value) {
  ChooseStore();
  return !m_useSharedData && TRegEditor().WriteString(kLocalMachine, keyPath, valueName, value);
}

bool TApplicationSettings::ReadBool(const TStringEx& keyPath, const TStringEx& valueName, bool& value) {
  return ReadBool(keyPath.c_str(), valueName.c_str(), value);
}

bool TApplicationSettings::ReadDword(const TStringEx& keyPath, const TStringEx& valueName, DWORD& value) {
  return ReadDword(keyPath.c_str(), valueName.c_str(), value);
}

bool TApplicationSettings::ReadString(const TStringEx& keyPath, const TStringEx& valueName, TStringEx& value) {
  return ReadString(keyPath.c_str(), valueName.c_str(), value);
}

bool TApplicationSettings::WriteBool(const TStringEx& keyPath, const TStringEx& valueName, bool value) {
  return WriteBool(keyPath.c_str(), valueName.c_str(), value);
}

bool TApplicationSettings::WriteDword(const TStringEx& keyPath, const TStringEx& valueName, DWORD value) {
  return WriteDword(keyPath.c_str(), valueName.c_str(), value);
}

bool TApplicationSettings::WriteString(const TStringEx& keyPath, const TStringEx& valueName, const TStringEx& value) {
  return WriteString(keyPath.c_str(), valueName.c_str(), value.c_str());
}

bool TApplicationSettings::Publish(const std::vector<Setting>& settings) {
  if (m_publication != nullptr) return false;
  pugi::xml_document document;
  pugi::xml_node root = document.append_child(kRootName);
  for (const Setting& setting : settings) {
    // A bad name would make the whole block unreadable to every reader.
    if (!IsXmlName(setting.first)) return false;
    root.append_child(ToUtf8(setting.first.c_str()).c_str()).text().set(ToUtf8(setting.second.c_str()).c_str());
  }
  ByteWriter text;
  document.save(text, "  ", pugi::format_default, pugi::encoding_utf16_le);
  const std::string bytes = EscapeCarriageReturns(text.bytes);

  // Creating under the mutex keeps a reader or a second publisher from judging our region before
  // we hold its lock, and from replacing it as one left by a dead publisher.
  auto block = std::make_unique<TSharedMemory>(SharedDataName());
  if (!block->Lock(kLockTimeoutMs)) return false;
  bool created = block->Create(bytes.size());
  if (created) std::memcpy(block->GetView(), bytes.data(), bytes.size());
  block->Unlock();
  if (!created) return false;
  m_publication = std::move(block);
  return true;
}

void TApplicationSettings::Unpublish() { m_publication.reset(); }

bool TApplicationSettings::ReadEnableCatch() {
  constexpr char16_t kKey[] = u"SOFTWARE\\Tolvane";
  constexpr char16_t kName[] = u"EnableCatch";
  bool enabled = false;
  TApplicationSettings settings;
  if (!settings.ReadBool(kKey, kName, enabled)) {
    settings.WriteDword(kKey, kName, 0);  // refused while the shared block is in use; a failure changes nothing
    return false;
  }
  return enabled;
}
