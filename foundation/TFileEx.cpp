#include "foundation/TFileEx.h"

#include "platform/File.h"

using platform::File;

TFileEx::TFileEx() = default;

TFileEx::TFileEx(const TStringEx& name) : m_name(name) {}

TFileEx::~TFileEx() = default;

int TFileEx::OpenRead(const TStringEx& path) {
  if (IsOpen() || path.IsEmpty()) return 0;
  m_handle = File::OpenRead(path.c_str(), &m_lastOpenError);
  return IsOpen() ? 1 : 0;
}

int TFileEx::OpenRead() { return OpenRead(m_name); }

int TFileEx::Open(const TStringEx& path, bool write, bool truncate) {
  bool created = false;
  return OpenFile(path, write, truncate, &created);
}

int TFileEx::Open(bool write, bool truncate) { return Open(m_name, write, truncate); }

int TFileEx::OpenFile(const TStringEx& path, bool write, bool truncate, bool* created) {
  *created = false;
  if (IsOpen() || path.IsEmpty()) return 0;
  File::WriteMode mode = !write ? File::WriteMode::CreateNew : truncate ? File::WriteMode::Truncate : File::WriteMode::Append;
  m_handle = File::OpenWrite(path.c_str(), mode, created, &m_lastOpenError);
  return IsOpen() ? 1 : 0;
}

int TFileEx::Close() {
  if (!IsOpen()) return 0;
  m_handle.reset();
  return 1;
}

int TFileEx::Read(void* buffer, std::uint32_t count, std::uint32_t* read) {
  std::uint32_t done = 0;
  bool ok = IsOpen() && (buffer != nullptr || count == 0) && m_handle->Read(buffer, count, &done);
  if (read != nullptr) *read = done;
  return ok ? 1 : 0;
}

int TFileEx::Write(const void* buffer, std::uint32_t count, std::uint32_t* written) {
  std::uint32_t done = 0;
  bool ok = IsOpen() && (buffer != nullptr || count == 0) && m_handle->Write(buffer, count, &done);
  if (written != nullptr) *written = done;
  return ok ? 1 : 0;
}

int TFileEx::Flush() { return IsOpen() && m_handle->Flush() ? 1 : 0; }

int TFileEx::Seek64(std::uint32_t low, std::int32_t high, std::uint32_t origin) {
  if (!IsOpen() || origin > 2) return 0;
  auto offset = static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32) | low);
  return m_handle->Seek(offset, static_cast<File::Origin>(origin), nullptr) ? 1 : 0;
}

int TFileEx::Seek(std::int32_t offset, std::uint32_t origin) {
  if (!IsOpen() || origin > 2) return 0;
  return m_handle->Seek(offset, static_cast<File::Origin>(origin), nullptr) ? 1 : 0;
}

int TFileEx::GetPosition64(std::uint64_t* position) {
  std::int64_t here = 0;
  if (!IsOpen() || position == nullptr || !m_handle->Position(&here)) return 0;
  *position = static_cast<std::uint64_t>(here);
  return 1;
}

int TFileEx::GetPosition(std::uint32_t* position) {
  std::int64_t here = 0;
  if (!IsOpen() || position == nullptr || !m_handle->Position(&here) || here > UINT32_MAX) return 0;
  *position = static_cast<std::uint32_t>(here);
  return 1;
}

int TFileEx::Truncate() { return IsOpen() && m_handle->TruncateHere() ? 1 : 0; }
