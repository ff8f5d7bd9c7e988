#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <limits>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>

#include "platform/Posix.h"
#include "platform/TextConvert.h"

namespace platform {
namespace {

using posix::RetryOnEintr;

// NAME_MAX less the "sem." that glibc puts before a semaphore's name in /dev/shm.
constexpr std::size_t kMaxNameBytes = 251;
// A stale region can be replaced while another creator races us; give up after a few rounds.
constexpr int kCreateAttempts = 4;

bool ToPosixName(const char16_t* name, std::string& out) {
  std::size_t length = Utf16Length(name);
  if (length == 0) return false;
  std::string utf8 = Utf16ToUtf8(name, length);
  if (utf8.size() > kMaxNameBytes || utf8.find_first_of(std::string("/\0", 2)) != std::string::npos) return false;
  out = "/" + utf8;
  return true;
}

// Whether the creator of the region still holds its shared lock. A lock we cannot test (a file
// system without flock) counts as held: we never discard a region we cannot judge.
bool CreatorAlive(int fd) {
  if (RetryOnEintr([&] { return flock(fd, LOCK_EX | LOCK_NB); }) == 0) {
    flock(fd, LOCK_UN);
    return false;
  }
  return true;
}

// Removes the name only while it still names the object behind fd.
void UnlinkIfSame(const std::string& posixName, int fd) {
  struct stat mine {}, named {};
  int other = RetryOnEintr([&] { return shm_open(posixName.c_str(), O_RDONLY | O_CLOEXEC, 0); });
  if (other < 0) return;
  if (fstat(fd, &mine) == 0 && fstat(other, &named) == 0 && mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
    shm_unlink(posixName.c_str());
  close(other);
}

// Removes a failed creation and reports errno as the error.
std::unique_ptr<SharedMemory> FailCreated(const std::string& posixName, int fd, LONG* error) {
  *error = Win32ErrorFromErrno(errno);
  UnlinkIfSame(posixName, fd);
  close(fd);
  return nullptr;
}

}  // namespace

SharedMemory::SharedMemory(std::string posixName, int fd, void* view, std::size_t size, bool created)
    : m_posixName(std::move(posixName)), m_fd(fd), m_view(view), m_size(size), m_created(created) {}

std::unique_ptr<SharedMemory> SharedMemory::Create(const char16_t* name, std::uint64_t size, LONG* error) {
  std::string native;
  if (!ToPosixName(name, native) || size == 0 || size > std::numeric_limits<std::size_t>::max() ||
      size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  int fd = -1;
  for (int attempt = 1; fd < 0; ++attempt) {
    fd = RetryOnEintr([&] { return shm_open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
    if (fd >= 0) break;
    if (errno != EEXIST || attempt == kCreateAttempts) {
      *error = Win32ErrorFromErrno(errno);
      return nullptr;
    }
    int old = RetryOnEintr([&] { return shm_open(native.c_str(), O_RDONLY | O_CLOEXEC, 0); });
    if (old < 0) {
      if (errno == ENOENT) continue;  // removed since: create again
      *error = Win32ErrorFromErrno(errno);
      return nullptr;
    }
    bool alive = CreatorAlive(old);
    if (!alive) UnlinkIfSame(native, old);
    close(old);
    if (alive) {
      *error = ERROR_FILE_EXISTS;
      return nullptr;
    }
  }
  // The shared lock is what tells readers that we are alive; a reader's test holds the exclusive
  // lock only for an instant, so waiting for it cannot last.
  if (RetryOnEintr([&] { return flock(fd, LOCK_SH); }) != 0) return FailCreated(native, fd, error);
  int rc = 0;
  do {
    rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (rc == EINTR);
  if (rc != 0) {
    errno = rc;
    return FailCreated(native, fd, error);
  }
  void* view = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return FailCreated(native, fd, error);
  *error = ERROR_SUCCESS;
  return std::unique_ptr<SharedMemory>(new SharedMemory(native, fd, view, static_cast<std::size_t>(size), true));
}

std::unique_ptr<SharedMemory> SharedMemory::Open(const char16_t* name, LONG* error) {
  std::string native;
  if (!ToPosixName(name, native)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  int fd = RetryOnEintr([&] { return shm_open(native.c_str(), O_RDWR | O_CLOEXEC, 0); });
  if (fd < 0) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  if (!CreatorAlive(fd)) {
    close(fd);
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    *error = Win32ErrorFromErrno(errno);
    close(fd);
    return nullptr;
  }
  std::size_t size = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
  void* view = nullptr;
  if (size > 0) {
    view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
      *error = Win32ErrorFromErrno(errno);
      close(fd);
      return nullptr;
    }
  }
  *error = ERROR_SUCCESS;
  return std::unique_ptr<SharedMemory>(new SharedMemory(native, fd, view, size, false));
}

SharedMemory::~SharedMemory() {
  if (m_view != nullptr) munmap(m_view, m_size);
  if (m_created) UnlinkIfSame(m_posixName, m_fd);
  close(m_fd);  // and with it the creator's lock
}

std::unique_ptr<SharedMemory::Mutex> SharedMemory::Mutex::OpenOrCreate(const char16_t* name, LONG* error) {
  std::string native;
  if (!ToPosixName(name, native)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  sem_t* semaphore = sem_open(native.c_str(), O_CREAT, 0600, 1);
  if (semaphore == SEM_FAILED) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  return std::unique_ptr<Mutex>(new Mutex(semaphore));
}

SharedMemory::Mutex::~Mutex() {
  Unlock();
  sem_close(static_cast<sem_t*>(m_semaphore));
}

SharedMemory::Mutex::Result SharedMemory::Mutex::Lock(DWORD timeoutMs, LONG* error) {
  if (m_held) {
    if (error != nullptr) *error = ERROR_BUSY;
    return Result::Failed;
  }
  sem_t* semaphore = static_cast<sem_t*>(m_semaphore);
  int rc = 0;
  if (timeoutMs == 0) {
    rc = RetryOnEintr([&] { return sem_trywait(semaphore); });
  } else if (timeoutMs == INFINITE_TIMEOUT) {
    rc = RetryOnEintr([&] { return sem_wait(semaphore); });
  } else {
    timespec deadline {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    // The deadline is absolute, so a wait resumed after a signal does not start over.
    rc = RetryOnEintr([&] { return sem_clockwait(semaphore, CLOCK_MONOTONIC, &deadline); });
  }
  if (rc == 0) {
    m_held = true;
    return Result::Acquired;
  }
  if (errno == EAGAIN || errno == ETIMEDOUT) return Result::Timeout;
  if (error != nullptr) *error = Win32ErrorFromErrno(errno);
  return Result::Failed;
}

bool SharedMemory::Mutex::Unlock() {
  if (!m_held) return false;
  m_held = false;
  return sem_post(static_cast<sem_t*>(m_semaphore)) == 0;
}

}  // namespace platform
