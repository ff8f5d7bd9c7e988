#include "console/TCommandsPersistence.h"

#include "foundation/TRegEditor.h"

TStringEx TCommandsPersistence::ReadLine(const TStringEx& name) {
  TRegEditor registry;
  TStringEx line;
  if (!registry.ReadString(m_root, m_keyPath.c_str(), name.c_str(), line)) {
    line = TStringEx();
    registry.WriteString(m_root, m_keyPath.c_str(), name.c_str(), u"");
  }
  return line;
}

void TCommandsPersistence::Register(const TStringEx& name) {
  if (m_entries.count(name) != 0) return;
  TStringEx line;
  if (m_root != kNoRoot) line = ReadLine(name);
  m_entries.emplace(name, line);
}

void TCommandsPersistence::Load(const char16_t* basePath, std::uint32_t root) {
  m_root = root;
  m_keyPath.Format(u"%s\\%s", basePath, u"Console");
  for (auto& entry : m_entries) entry.second = ReadLine(entry.first);
}

void TCommandsPersistence::Save() {
  if (m_root == kNoRoot) return;
  TRegEditor registry;
  for (const auto& entry : m_entries)
    registry.WriteString(m_root, m_keyPath.c_str(), entry.first.c_str(), entry.second.c_str());
}

void TCommandsPersistence::Remember(const TStringEx& name, const TStringEx& rest) {
  auto found = m_entries.find(name);
  if (found == m_entries.end()) return;
  TStringEx line(name);
  line.Append(u' ');
  line.Append(rest);
  found->second = line;
}
