// TFileEx: the owner of one open file, with open, read, write, seek and close.
//
// Open modes: OpenRead reads an existing file and tolerates writers; Open with the write flag
// opens for reading and writing as the file's one writer (truncating, or at the end of the
// file), and Open without it creates a file that must not exist yet. A writer excludes every
// other writer, in this process or another, while readers still open the file. Every open fails,
// changing nothing, when a file is already open or the path is empty. Every other operation fails
// at once (returns 0) when no file is open. Results are nonzero on success; a short write is a
// failure. One thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/TStringEx.h"
#include "platform/Win32Types.h"

namespace platform {
class File;
}

class TFileEx {
 public:
  TFileEx();
  // Remembers the name for the opens that take no path.
  explicit TFileEx(const TStringEx& name);
  virtual ~TFileEx();
  TFileEx(const TFileEx&) = delete;
  TFileEx& operator=(const TFileEx&) = delete;

  virtual int OpenRead(const TStringEx& path);
  virtual int OpenRead();
  virtual int Open(const TStringEx& path, bool write, bool truncate);
  virtual int Open(bool write, bool truncate);
  // 1 when a file was open, else 0.
  virtual int Close();
  virtual int Read(void* buffer, std::uint32_t count, std::uint32_t* read);
  virtual int Write(const void* buffer, std::uint32_t count, std::uint32_t* written);
  virtual int Flush();
  // Origin: 0 start, 1 current position, 2 end.
  virtual int Seek64(std::uint32_t low, std::int32_t high, std::uint32_t origin);
  virtual int Seek(std::int32_t offset, std::uint32_t origin);
  virtual int GetPosition64(std::uint64_t* position);
  // Fails when the position does not fit in 32 bits.
  virtual int GetPosition(std::uint32_t* position);
  // Sets the end of the file at the current position.
  virtual int Truncate();

  bool IsOpen() const { return m_handle != nullptr; }
  const TStringEx& GetName() const { return m_name; }
  // The Win32 error code of the last failed open (ERROR_SHARING_VIOLATION while another writer
  // holds the file).
  platform::LONG GetLastOpenError() const { return m_lastOpenError; }

 protected:
  // Opens as TFileEx::Open does; *created tells whether the file was made by this open.
  int OpenFile(const TStringEx& path, bool write, bool truncate, bool* created);

 private:
  std::unique_ptr<platform::File> m_handle;
  TStringEx m_name;
  platform::LONG m_lastOpenError = 0;
};
