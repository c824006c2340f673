// Closed-loop load generator for echo and HTTP servers: C connections, each
// with one request in flight, for a fixed time; prints completed requests/s.
//
//   loadgen HOST PORT CONNECTIONS SECONDS echo|http
//
// echo: a 64-byte message, done when 64 bytes came back.
// http: "GET / HTTP/1.1" with keep-alive, done when the headers and
//       Content-Length bytes of body arrived.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { BUF = 65536 };

struct conn {
  int fd;
  size_t got;
  char buf[BUF];
};

static const char kEcho[64] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde";
static const char kHttp[] = "GET / HTTP/1.1\r\nHost: bench\r\nConnection: keep-alive\r\n\r\n";
static int http_mode;

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int send_request(struct conn* c) {
  const char* msg = http_mode ? kHttp : kEcho;
  size_t len = http_mode ? sizeof kHttp - 1 : sizeof kEcho;
  c->got = 0;
  return send(c->fd, msg, len, MSG_NOSIGNAL) == (ssize_t)len ? 0 : -1;
}

// True once the buffered bytes hold a whole response.
static int response_complete(struct conn* c) {
  if (!http_mode) return c->got >= sizeof kEcho;
  c->buf[c->got < BUF ? c->got : BUF - 1] = 0;
  char* end = strstr(c->buf, "\r\n\r\n");
  if (!end) return 0;
  char* cl = strcasestr(c->buf, "content-length:");
  size_t body = cl ? strtoul(cl + 15, NULL, 10) : 0;
  return c->got >= (size_t)(end + 4 - c->buf) + body;
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: loadgen HOST PORT CONNECTIONS SECONDS echo|http\n");
    return 2;
  }
  struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons(atoi(argv[2]))};
  inet_pton(AF_INET, argv[1], &addr.sin_addr);
  int n = atoi(argv[3]);
  double seconds = atof(argv[4]);
  http_mode = strcmp(argv[5], "http") == 0;
  int ep = epoll_create1(0);
  struct conn* conns = calloc(n, sizeof *conns);
  for (int i = 0; i < n; ++i) {
    conns[i].fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(conns[i].fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(conns[i].fd, (struct sockaddr*)&addr, sizeof addr) < 0) {
      perror("connect");
      return 1;
    }
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = &conns[i]};
    epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
    if (send_request(&conns[i]) < 0) return 1;
  }
  long done = 0;
  double start = now(), deadline = start + seconds;
  struct epoll_event events[256];
  while (now() < deadline) {
    int k = epoll_wait(ep, events, 256, 100);
    for (int i = 0; i < k; ++i) {
      struct conn* c = events[i].data.ptr;
      ssize_t r = recv(c->fd, c->buf + c->got, BUF - 1 - c->got, 0);
      if (r <= 0) {
        if (r < 0 && errno == EAGAIN) continue;
        fprintf(stderr, "connection closed by the server\n");
        return 1;
      }
      c->got += r;
      if (response_complete(c)) {
        ++done;
        if (send_request(c) < 0) return 1;
      }
    }
  }
  printf("%.1f\n", done / (now() - start));
  for (int i = 0; i < n; ++i) close(conns[i].fd);
  return 0;
}
