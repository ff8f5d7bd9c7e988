// Named shared memory with a companion named mutex, shaped like a Win32 file mapping backed by
// the paging file and a named mutex.
//
// Emulates: a region created with a fixed size under a name and opened by that name from any
// process of the user; a view of the whole region; a mutex named separately that serialises the
// processes using the region; creation that fails (ERROR_FILE_EXISTS) while a region of that name
// is alive; a region that disappears with its creator.
// Leaves out: security attributes, views of part of a region, growing a region, recursion and
// "abandoned" results on the mutex, and the Local\ and Global\ namespaces.
//
// Names are logical UTF-16 names without '/', of at most 251 UTF-8 bytes (any other name fails
// with ERROR_INVALID_PARAMETER). The region "X" is the POSIX shared-memory object "/X"
// (/dev/shm/X); a mutex "Y" is the POSIX named semaphore "/Y" (/dev/shm/sem.Y), its count 1
// meaning free. Both are created for the user only (mode 0600).
//
// Liveness: a POSIX object outlives its creator, so the creator holds a shared flock on the region
// for as long as its object lives and removes the name when it is destroyed. Open takes the lock
// exclusively for an instant to check it: when that succeeds, the creator has gone (it ended
// without cleaning up) and the region reads as absent; Create then replaces it. Two such checks
// running at once can misjudge each other, so callers that may race serialise on the companion
// mutex. Descriptors inherited through fork() keep a region alive like the creator's own.
//
// A region stays readable as long as its size does not change; a process that shrinks an object
// it did not create (ftruncate on /dev/shm) makes readers of the lost pages fault. That is the
// caller's contract, as on Windows where a view cannot shrink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Win32Types.h"

namespace platform {

class SharedMemory {
 public:
  // Creates a region of size bytes (at least 1), zero-filled and mapped for reading and writing.
  // Its memory is reserved at creation, as a mapping backed by the paging file commits its pages,
  // so writing to the view cannot fault later for want of memory.
  // Fails with ERROR_FILE_EXISTS while a live region of the name exists; a region whose creator
  // has gone is replaced. Null on failure, with *error set.
  static std::unique_ptr<SharedMemory> Create(const char16_t* name, std::uint64_t size, LONG* error);

  // Opens the live region of that name and maps all of it for reading and writing. A region of
  // size 0 opens with a null view. ERROR_FILE_NOT_FOUND when there is none or its creator has gone.
  static std::unique_ptr<SharedMemory> Open(const char16_t* name, LONG* error);

  // Unmaps the view; a creator also removes the name, so the region is gone once every process
  // that opened it has closed it.
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  void* View() const { return m_view; }
  std::size_t ViewSize() const { return m_size; }

  // A named mutex shared between processes: a binary lock on a POSIX named semaphore.
  // The lock is not recursive and has no owner: an object remembers only whether it took the lock
  // itself, releases it when destroyed, and refuses to release a lock it did not take. A process
  // that dies holding the lock leaves it taken for everybody, so waiters should give a time-out.
  // One thread uses an object at a time.
  class Mutex {
   public:
    enum class Result { Acquired, Timeout, Failed };

    // Opens the mutex of that name, creating it free when it does not exist. The name stays in the
    // system after the last object closes it (other processes may open it at any time). Null on
    // failure, with *error set.
    static std::unique_ptr<Mutex> OpenOrCreate(const char16_t* name, LONG* error);

    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Time-out in milliseconds on the monotonic clock: 0 only tries, INFINITE_TIMEOUT waits without
    // limit. Failed (with *error, which may be null) when this object already holds the lock.
    Result Lock(DWORD timeoutMs, LONG* error = nullptr);
    // False when this object does not hold the lock.
    bool Unlock();

   private:
    explicit Mutex(void* semaphore) : m_semaphore(semaphore) {}
    void* m_semaphore;  // the sem_t* of sem_open
    bool m_held = false;
  };

 private:
  SharedMemory(std::string posixName, int fd, void* view, std::size_t size, bool created);

  std::string m_posixName;
  int m_fd;
  void* m_view;
  std::size_t m_size;
  bool m_created;
};

}  // namespace platform
