#include "runtime/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velkor {

namespace {

constexpr int kListenBacklog = 128;

void set_port(SocketAddress& address, uint16_t port) {
  if (address.family() == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(port);
  } else if (address.family() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(port);
  }
}

// resolve_all, keeping the first address.
Resolution lookup(const std::string& name, int flags, uint16_t port) {
  Resolution r;
  Lookup found = resolve_all(name, port, flags);
  if (found.gai_error != 0) {
    r.status = Resolution::Status::Failed;
    r.gai_error = found.gai_error;
    r.sys_error = found.sys_error;
  } else if (!found.addresses.empty()) {
    r.status = Resolution::Status::Found;
    r.first = found.addresses.front();
  }
  return r;
}

// Waits for an interrupted blocking connect to finish; returns its errno.
int finish_interrupted_connect(int fd) {
  pollfd p{fd, POLLOUT, 0};
  for (;;) {
    int rc = ::poll(&p, 1, -1);
    if (rc > 0) break;
    if (rc < 0 && errno != EINTR) return errno;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
  return err;
}

}  // namespace

Lookup resolve_all(const std::string& host, uint16_t port, int flags) {
  Lookup result;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* list = nullptr;
  errno = 0;
  if (int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list)) {
    result.gai_error = rc;
    result.sys_error = errno;
    return result;
  }
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) || ai->ai_addrlen > sizeof(sockaddr_storage)) {
      continue;
    }
    SocketAddress address;
    std::memcpy(&address.storage, ai->ai_addr, ai->ai_addrlen);
    address.length = ai->ai_addrlen;
    set_port(address, port);
    result.addresses.push_back(address);
  }
  ::freeaddrinfo(list);
  return result;
}

Resolution resolve_first(const std::string& host, uint16_t port) {
  Resolution r;
  in_addr v4;
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&r.first.storage);
    sin->sin_family = AF_INET;
    sin->sin_addr = v4;
    sin->sin_port = htons(port);
    r.first.length = sizeof(sockaddr_in);
    r.status = Resolution::Status::Found;
    return r;
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    std::string inner = host.substr(1, host.size() - 2);
    Resolution numeric = lookup(inner, AI_NUMERICHOST, port);
    if (numeric.status == Resolution::Status::Found && numeric.first.family() == AF_INET6) {
      return numeric;
    }
  }
  return lookup(host, 0, port);
}

int connect_socket(const SocketAddress& address, int& fd) {
  fd = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int err = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) < 0) {
    err = errno == EINTR ? finish_interrupted_connect(fd) : errno;
  }
  if (err != 0) {
    ::close(fd);
    fd = -1;
  }
  return err;
}

int check_bind(const SocketAddress& address) {
  int fd = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int one = 1;
  int err = 0;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) < 0 ||
      ::listen(fd, kListenBacklog) < 0) {
    err = errno;
  }
  ::close(fd);
  return err;
}

}  // namespace velkor
