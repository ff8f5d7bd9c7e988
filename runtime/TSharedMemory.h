// TSharedMemory: a named region of shared memory with its companion mutex, named after the
// region with "_Mutex" appended.
//
// The mutex is opened, or created free, when the object is constructed; the region is created
// (a publisher's side: Create, exact size, kept while the object lives) or opened (a reader's
// side: Open, all of it mapped). platform/SharedMemory.h tells how regions and mutexes live and
// die between processes. Operations return true on success and report nothing else.
//
// Threads: one thread uses an object at a time. The mutex is not recursive: Lock while this
// object holds it fails. Lock blocks up to its time-out (milliseconds: 0 only tries, 0xFFFFFFFF
// waits without limit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/TStringEx.h"
#include "platform/SharedMemory.h"

class TSharedMemory {
 public:
  using DWORD = platform::DWORD;

  explicit TSharedMemory(const TStringEx& name);
  // Closes the view and the region, and releases the mutex when this object holds it.
  virtual ~TSharedMemory();
  TSharedMemory(const TSharedMemory&) = delete;
  TSharedMemory& operator=(const TSharedMemory&) = delete;

  // Creates the region with exactly size bytes (at least 1), zero-filled, and maps it. False when
  // a live region of that name exists, or when this object has a region open already.
  bool Create(std::uint64_t size);
  // Opens the existing region and maps all of it; a region of size 0 opens with no view. False
  // when there is none (its creator having gone counts as none).
  bool Open();
  // Closes the view and the region; a region this object created is removed. The mutex stays.
  void Close();

  bool Lock(DWORD timeoutMs);
  // False when this object does not hold the mutex.
  bool Unlock();

  const TStringEx& GetName() const { return m_name; }
  // The view of the whole region; null while none is open, or when the region is empty.
  void* GetView() const { return m_mapping != nullptr ? m_mapping->View() : nullptr; }
  // The size of the mapped region in bytes; 0 while none is open.
  std::size_t GetViewSize() const { return m_mapping != nullptr ? m_mapping->ViewSize() : 0; }
  bool IsOpen() const { return m_mapping != nullptr; }

 private:
  TStringEx m_name;
  std::unique_ptr<platform::SharedMemory> m_mapping;     // null while closed
  std::unique_ptr<platform::SharedMemory::Mutex> m_mutex;  // null when it could not be opened
};
