#pragma once
// Name resolution and the blocking socket calls made on the caller's thread:
// connecting a client socket and checking that an address can be listened on.
// Errors are returned as codes; the Python layer words them.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velkor {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family() const { return storage.ss_family; }
};

struct Resolution {
  enum class Status { Found, Failed, Empty };
  Status status = Status::Empty;
  int gai_error = 0;   // the resolver's code when Failed
  int sys_error = 0;   // errno when gai_error is EAI_SYSTEM
  SocketAddress first; // when Found
};

// The system resolver's IPv4 and IPv6 stream addresses for `host` (`flags`
// as in addrinfo.ai_flags), each with `port`, in the resolver's order.
// gai_error (and sys_error for EAI_SYSTEM) when it fails; no address and no
// error when it found only other families.
struct Lookup {
  int gai_error = 0;
  int sys_error = 0;
  std::vector<SocketAddress> addresses;
};
Lookup resolve_all(const std::string& host, uint16_t port, int flags = 0);

// Resolves `host` for a TCP connection on `port` and keeps the first result.
// A numeric IPv4 address, or an IPv6 address in square brackets, is taken as
// it is; anything else goes to the system resolver (any family, the
// resolver's order), which also reads IPv6 addresses written without brackets.
Resolution resolve_first(const std::string& host, uint16_t port);

// Connects a new blocking, close-on-exec socket. Returns 0 and the descriptor
// in `fd`, or the errno of the failing call (nothing is left open then).
int connect_socket(const SocketAddress& address, int& fd);

// Creates a socket with SO_REUSEADDR, binds and listens (backlog 128), then
// closes it. Returns 0 or the errno of the failing call.
int check_bind(const SocketAddress& address);

}  // namespace velkor
