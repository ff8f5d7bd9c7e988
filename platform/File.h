// An open file of the file system, with the sharing rules of a Win32 file handle.
//
// Emulates: a writer opens with read-only sharing, so while one writer holds a file another
// writer's open fails (ERROR_SHARING_VIOLATION) and readers still succeed; a reader shares read
// and write, so it never stops a writer. The rule holds across objects and across processes: a
// writer holds an open-file-description write lock on the whole file for as long as it is open.
// Leaves out: exclusive readers, delete sharing, and locks against programs that do not ask
// (the lock is advisory).
//
// Paths are UTF-16 and name the file by its UTF-8 bytes. Every write goes straight to the kernel.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Win32Types.h"

namespace platform {

class File {
 public:
  enum class Origin { Begin = 0, Current = 1, End = 2 };

  enum class WriteMode {
    Truncate,   // empties an existing file, creates a missing one
    Append,     // opens an existing file at its end, creates a missing one
    CreateNew,  // fails on an existing file, creates a missing one
  };

  // Opens an existing file for reading. Null on failure, with *error set. Neither the open nor a
  // read waits: a pipe or device with nothing to read fails the read (EOF when a pipe has no
  // writer); regular files read as usual.
  static std::unique_ptr<File> OpenRead(const char16_t* path, LONG* error);

  // Opens a file for reading and writing as its one writer. *created tells whether the open made
  // the file. Null on failure (another writer holds it, the path is bad), with *error set; a file
  // held by another writer is neither truncated nor created.
  static std::unique_ptr<File> OpenWrite(const char16_t* path, WriteMode mode, bool* created, LONG* error);

  static bool Exists(const char16_t* path);

  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Reads up to count bytes; *done is 0 at the end of the file.
  bool Read(void* buffer, std::uint32_t count, std::uint32_t* done);
  // Writes all count bytes or fails; *done holds what reached the file.
  bool Write(const void* buffer, std::uint32_t count, std::uint32_t* done);
  bool Flush();
  bool Seek(std::int64_t offset, Origin origin, std::int64_t* position);
  bool Position(std::int64_t* position);
  // Sets the end of the file at the current position.
  bool TruncateHere();

 private:
  explicit File(int fd) : m_fd(fd) {}
  int m_fd;
};

}  // namespace platform
