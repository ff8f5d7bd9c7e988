#include "platform/File.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Posix.h"
#include "platform/TextConvert.h"

namespace platform {
namespace {

using posix::RetryOnEintr;

bool ToNativePath(const char16_t* path, std::string& out) {
  std::size_t length = Utf16Length(path);
  if (length == 0) return false;
  out = Utf16ToUtf8(path, length);
  return out.find('\0') == std::string::npos;
}

// Takes the writer's lock: an open-file-description lock on the whole file, so it is tied to this
// open and excludes every other writer, in this process or another.
bool LockAsWriter(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return RetryOnEintr([&] { return fcntl(fd, F_OFD_SETLK, &lock); }) == 0;
}

// Creates the file already locked: an unnamed file in the target's folder, locked, then linked
// under the name, so no other writer can open and take the file between its creation and our
// lock (it would then write ahead of what the creator puts first, such as a byte order mark).
// -1 with errno EEXIST when the name exists, or with another errno when the file system cannot
// do this.
int CreateLocked(const std::string& native) {
  std::size_t slash = native.rfind('/');
  std::string folder = slash == std::string::npos ? std::string(".") : native.substr(0, slash + 1);
  int fd = RetryOnEintr([&] { return open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644); });
  if (fd < 0) return -1;
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (!LockAsWriter(fd) || linkat(AT_FDCWD, self.c_str(), AT_FDCWD, native.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<File> File::OpenRead(const char16_t* path, LONG* error) {
  std::string native;
  if (!ToNativePath(path, native)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  // Not blocking: opening a pipe that has no writer would wait for one.
  int fd = RetryOnEintr([&] { return open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    close(fd);
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  return std::unique_ptr<File>(new File(fd));
}

std::unique_ptr<File> File::OpenWrite(const char16_t* path, WriteMode mode, bool* created, LONG* error) {
  *created = false;
  std::string native;
  if (!ToNativePath(path, native)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  // Try to create first, so that "created" is exact; fall back to the existing file. Where the
  // file system cannot create the file already locked, create it and then lock it.
  bool locked = false;
  int fd = CreateLocked(native);
  if (fd >= 0) {
    *created = locked = true;
  } else if (errno != EEXIST) {
    fd = RetryOnEintr([&] { return open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644); });
    if (fd >= 0) *created = true;
  }
  if (fd < 0 && errno == EEXIST && mode != WriteMode::CreateNew) {
    fd = RetryOnEintr([&] { return open(native.c_str(), O_RDWR | O_CLOEXEC); });
  }
  if (fd < 0) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  if (!locked && !LockAsWriter(fd)) {
    int err = errno;
    close(fd);
    // The file we just created stays: another writer raced us to it and holds it now.
    *created = false;
    *error = (err == EAGAIN || err == EACCES) ? ERROR_SHARING_VIOLATION : Win32ErrorFromErrno(err);
    return nullptr;
  }
  std::unique_ptr<File> file(new File(fd));
  bool ok = true;
  if (!*created && mode == WriteMode::Truncate) ok = RetryOnEintr([&] { return ftruncate(fd, 0); }) == 0;
  if (ok && mode == WriteMode::Append) ok = lseek(fd, 0, SEEK_END) >= 0;
  if (!ok) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  *error = ERROR_SUCCESS;
  return file;
}

bool File::Exists(const char16_t* path) {
  std::string native;
  struct stat info {};
  return ToNativePath(path, native) && stat(native.c_str(), &info) == 0;
}

File::~File() { close(m_fd); }

bool File::Read(void* buffer, std::uint32_t count, std::uint32_t* done) {
  ssize_t n = RetryOnEintr([&] { return read(m_fd, buffer, count); });
  *done = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  return n >= 0;
}

bool File::Write(const void* buffer, std::uint32_t count, std::uint32_t* done) {
  const char* p = static_cast<const char*>(buffer);
  std::uint32_t written = 0;
  while (written < count) {
    ssize_t n = RetryOnEintr([&] { return write(m_fd, p + written, count - written); });
    if (n <= 0) break;
    written += static_cast<std::uint32_t>(n);
  }
  *done = written;
  return written == count;
}

bool File::Flush() { return RetryOnEintr([&] { return fdatasync(m_fd); }) == 0; }

bool File::Seek(std::int64_t offset, Origin origin, std::int64_t* position) {
  int whence = origin == Origin::Begin ? SEEK_SET : origin == Origin::Current ? SEEK_CUR : SEEK_END;
  off_t result = lseek(m_fd, static_cast<off_t>(offset), whence);
  if (result < 0) return false;
  if (position != nullptr) *position = result;
  return true;
}

bool File::Position(std::int64_t* position) { return Seek(0, Origin::Current, position); }

bool File::TruncateHere() {
  std::int64_t here = 0;
  return Position(&here) && RetryOnEintr([&] { return ftruncate(m_fd, here); }) == 0;
}

}  // namespace platform
