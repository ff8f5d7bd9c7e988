#include "net/StreamChannelFactory.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "net/CSocketStreamChannel.h"
#include "net/SocketAddress.h"
#include "platform/Posix.h"

using platform::posix::RetryOnEintr;

namespace {

// connect() interrupted by a signal goes on in the background; wait for its outcome.
bool FinishInterruptedConnect(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  if (RetryOnEintr([&] { return poll(&entry, 1, -1); }) != 1) return false;
  int error = 0;
  socklen_t length = sizeof error;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

}  // namespace

CStreamChannel* ConnectStreamChannel(const char* address, std::uint16_t port) {
  net_internal::SocketAddress target;
  if (!net_internal::SocketAddress::FromText(address, port, &target) || port == 0) return nullptr;
  int fd = socket(target.Family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  bool connected = connect(fd, target.Get(), target.length) == 0 || (errno == EINTR && FinishInterruptedConnect(fd));
  if (!connected) {
    close(fd);
    return nullptr;
  }
  return AdoptStreamChannel(fd);
}

CStreamChannel* AdoptStreamChannel(int fd) {
  if (fd < 0) return nullptr;
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) {
    close(fd);
    return nullptr;
  }
  auto* channel = new (std::nothrow) CSocketStreamChannel(fd);
  if (channel == nullptr) close(fd);
  return channel;
}
