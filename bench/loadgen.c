/*
 * Load generator for echo servers, shared by every server under test so that
 * the client side is the same native code whichever server it measures.
 *
 * One thread, one epoll, non-blocking sockets. Each connection sends a message
 * of --size bytes, waits for the whole echo, checks it byte for byte, then
 * sends the next one.
 *
 *   loadgen --port P [--host H] [--connections N] [--size S]
 *           [--duration SEC | --requests R] [--warmup SEC]
 *       Prints one JSON line: requests, seconds, rps, p50_us, p99_us, max_us,
 *       and client_cpu, the share of the measured time this process spent on
 *       a core: well below 1, the server and not the client set the pace.
 *       Only echoes completed after the warm-up count; once the time (or the
 *       request count) is up, the echoes still in flight are awaited, unrecorded,
 *       so that the server sees every connection end cleanly.
 *
 *   loadgen --port P --idle N [--size S] [--window W]
 *       Opens N connections, at most W handshakes at a time so that the
 *       server's accept queue never overflows, makes one round trip on each
 *       (so the server has accepted it and is waiting on it), prints
 *       {"idle": N, "seconds": ...} and holds them open until its standard
 *       input ends.
 *
 * Exit status: 0 on success, 1 on any connection or echo fault (with a message
 * on stderr), 2 on bad arguments.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum state { CONNECTING, READY, BUSY };

typedef struct {
  int fd;
  enum state state;
  bool want_out;       /* EPOLLOUT is registered */
  size_t sent, received;
  uint64_t seq;        /* requests started on this connection */
  uint64_t started_ns;
  unsigned char *out, *in;
} conn_t;

typedef struct {
  const char *host, *port;
  long connections, size, requests, idle, window;
  double duration, warmup;
} options_t;

/* Latencies of the recorded requests, in nanoseconds. */
typedef struct {
  uint64_t *v;
  size_t n, cap;
} samples_t;

static options_t opt = {"127.0.0.1", NULL, 1, 1024, 0, 0, 256, 1.0, 0.0};
static int ep = -1;
static conn_t *conns;
static struct addrinfo *target;
static samples_t samples;
static long opened, established, in_flight;
static bool measuring, stopping;
static uint64_t measure_start_ns, measure_end_ns;

static void die(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("loadgen: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
  exit(1);
}

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void record(uint64_t ns) {
  if (samples.n == samples.cap) {
    samples.cap = samples.cap ? samples.cap * 2 : 65536;
    samples.v = realloc(samples.v, samples.cap * sizeof *samples.v);
    if (!samples.v) die("out of memory");
  }
  samples.v[samples.n++] = ns;
}

static void watch(conn_t *c, bool out, int op) {
  struct epoll_event ev = {.events = EPOLLIN | (out ? EPOLLOUT : 0), .data.ptr = c};
  if (epoll_ctl(ep, op, c->fd, &ev) < 0) die("epoll_ctl: %s", strerror(errno));
  c->want_out = out;
}

/* ---- requests ---------------------------------------------------------------- */

static bool may_start(const conn_t *c) {
  if (opt.idle) return c->seq == 0;  /* one round trip, then the connection idles */
  if (stopping) return false;
  if (opt.requests && measuring) return (long)samples.n + in_flight < opt.requests;
  return true;
}

/* Sends what the kernel takes; the rest goes out when the socket is writable. */
static void flush(conn_t *c) {
  while (c->sent < (size_t)opt.size) {
    ssize_t n = send(c->fd, c->out + c->sent, opt.size - c->sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) die("send: %s", strerror(errno));
      if (!c->want_out) watch(c, true, EPOLL_CTL_MOD);
      return;
    }
    c->sent += (size_t)n;
  }
  if (c->want_out) watch(c, false, EPOLL_CTL_MOD);
}

static void start_request(conn_t *c) {
  c->seq++;
  /* A sequence number at the front of each message catches a stale or
     duplicated echo, not only a corrupted one. */
  memcpy(c->out, &c->seq, opt.size < 8 ? (size_t)opt.size : 8);
  c->sent = c->received = 0;
  c->state = BUSY;
  c->started_ns = now_ns();
  in_flight++;
  flush(c);
}

static void finish_request(conn_t *c) {
  uint64_t done = now_ns();
  if (memcmp(c->in, c->out, (size_t)opt.size) != 0)
    die("connection %ld: the echo differs from the message", (long)(c - conns));
  in_flight--;
  c->state = READY;
  /* Throughput counts the echoes completed within the measured window. */
  bool counted = !opt.requests || (long)samples.n < opt.requests;
  if (!opt.idle && !stopping && counted && done >= measure_start_ns && done <= measure_end_ns)
    record(done - c->started_ns);
  if (opt.idle && c->seq == 1) established++;
  if (may_start(c)) start_request(c);
}

static void on_readable(conn_t *c) {
  for (;;) {
    if (c->state != BUSY) {
      /* Nothing is expected: only the end of the connection may arrive. */
      char byte;
      ssize_t n = recv(c->fd, &byte, 1, MSG_DONTWAIT);
      if (n == 0) die("the server closed connection %ld", (long)(c - conns));
      if (n > 0) die("connection %ld: bytes the client did not send", (long)(c - conns));
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      die("recv: %s", strerror(errno));
    }
    ssize_t n = recv(c->fd, c->in + c->received, opt.size - c->received, 0);
    if (n == 0) die("the server closed connection %ld mid-echo", (long)(c - conns));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      die("recv: %s", strerror(errno));
    }
    c->received += (size_t)n;
    if (c->received == (size_t)opt.size && c->sent == (size_t)opt.size) {
      finish_request(c);
      if (c->state != BUSY) return;
    }
  }
}

/* ---- connections --------------------------------------------------------------- */

static void open_next(void) {
  conn_t *c = &conns[opened++];
  c->fd = socket(target->ai_family, target->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                 target->ai_protocol);
  if (c->fd < 0) die("socket: %s", strerror(errno));
  int one = 1;
  setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(c->fd, target->ai_addr, target->ai_addrlen) < 0 && errno != EINPROGRESS)
    die("connect: %s", strerror(errno));
  c->state = CONNECTING;
  watch(c, true, EPOLL_CTL_ADD);
}

static void on_connected(conn_t *c) {
  int err = 0;
  socklen_t len = sizeof err;
  getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err) die("connect: %s", strerror(err));
  c->state = READY;
  watch(c, false, EPOLL_CTL_MOD);
  if (opt.idle) {
    start_request(c);
    if (opened < opt.idle) open_next();
  } else {
    established++;
  }
}

static void on_event(conn_t *c, uint32_t events) {
  if (c->state == CONNECTING) {
    if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) on_connected(c);
    return;
  }
  if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) on_readable(c);
  if ((events & EPOLLOUT) && c->state == BUSY) flush(c);
}

/* ---- the run ----------------------------------------------------------------------- */

static void poll_once(int timeout_ms) {
  struct epoll_event events[256];
  int n = epoll_wait(ep, events, 256, timeout_ms);
  if (n < 0 && errno != EINTR) die("epoll_wait: %s", strerror(errno));
  for (int i = 0; i < n; i++) {
    if (events[i].data.ptr == NULL) {  /* standard input: see hold_idle() */
      char buf[256];
      ssize_t got = read(0, buf, sizeof buf);
      if (got <= 0) stopping = true;
      continue;
    }
    on_event(events[i].data.ptr, events[i].events);
  }
}

static int ms_until(uint64_t deadline) {
  uint64_t now = now_ns();
  if (now >= deadline) return 0;
  uint64_t ms = (deadline - now) / 1000000u + 1;
  return ms > 100 ? 100 : (int)ms;
}

static void connect_all(long count) {
  long window = opt.idle ? opt.window : count;
  while (opened < count && opened < window) open_next();
  uint64_t deadline = now_ns() + 30ull * 1000000000u;
  while (established < count) {
    if (now_ns() > deadline) die("%ld of %ld connections made in 30 s", established, count);
    poll_once(100);
  }
}

static void drain(void) {
  stopping = true;
  uint64_t deadline = now_ns() + 10ull * 1000000000u;
  while (in_flight > 0) {
    if (now_ns() > deadline) die("%ld echoes still missing 10 s after the end", in_flight);
    poll_once(100);
  }
}

/* User and system CPU time of this process, in seconds. */
static double cpu_seconds(void) {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

static int by_value(const void *a, const void *b) {
  uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
  return x < y ? -1 : x > y;
}

/* Nearest-rank percentile, in microseconds. */
static double percentile_us(double p) {
  if (samples.n == 0) return 0.0;
  size_t rank = (size_t)(p * (double)samples.n + 0.999999);
  if (rank < 1) rank = 1;
  if (rank > samples.n) rank = samples.n;
  return (double)samples.v[rank - 1] / 1e3;
}

static void run_load(void) {
  connect_all(opt.connections);
  uint64_t t0 = now_ns();
  measure_start_ns = t0 + (uint64_t)(opt.warmup * 1e9);
  measure_end_ns = opt.requests ? UINT64_MAX : measure_start_ns + (uint64_t)(opt.duration * 1e9);
  for (long i = 0; i < opt.connections; i++) start_request(&conns[i]);
  double cpu_start = 0;
  for (;;) {
    uint64_t now = now_ns();
    if (!measuring && now >= measure_start_ns) {
      measuring = true;
      cpu_start = cpu_seconds();
    }
    if (now >= measure_end_ns) break;
    if (opt.requests && measuring && (long)samples.n >= opt.requests) break;
    poll_once(ms_until(measuring ? measure_end_ns : measure_start_ns));
  }
  uint64_t end = now_ns();
  double cpu = cpu_seconds() - cpu_start;
  double busy = (double)(end - measure_start_ns) / 1e9;
  if (end > measure_end_ns) end = measure_end_ns;
  drain();
  double seconds = (double)(end - measure_start_ns) / 1e9;
  qsort(samples.v, samples.n, sizeof *samples.v, by_value);
  printf("{\"connections\": %ld, \"size\": %ld, \"requests\": %zu, \"seconds\": %.6f, "
         "\"rps\": %.1f, \"p50_us\": %.1f, \"p99_us\": %.1f, \"max_us\": %.1f, "
         "\"client_cpu\": %.3f}\n",
         opt.connections, opt.size, samples.n, seconds,
         seconds > 0 ? (double)samples.n / seconds : 0.0,
         percentile_us(0.50), percentile_us(0.99), percentile_us(1.0),
         busy > 0 ? cpu / busy : 0.0);
}

static void hold_idle(void) {
  uint64_t t0 = now_ns();
  connect_all(opt.idle);
  printf("{\"idle\": %ld, \"seconds\": %.6f}\n", opt.idle, (double)(now_ns() - t0) / 1e9);
  fflush(stdout);
  struct epoll_event ev = {.events = EPOLLIN, .data.ptr = NULL};
  if (epoll_ctl(ep, EPOLL_CTL_ADD, 0, &ev) < 0) {
    /* Standard input that epoll cannot watch (a regular file, /dev/null): no hold. */
    stopping = true;
  }
  while (!stopping) poll_once(-1);
}

/* ---- set-up ------------------------------------------------------------------------- */

static void usage(void) {
  fputs("usage: loadgen --port P [--host H] [--connections N] [--size S]\n"
        "               [--duration SEC | --requests R] [--warmup SEC]\n"
        "       loadgen --port P --idle N [--size S] [--window W]\n", stderr);
  exit(2);
}

static long positive(const char *text) {
  char *end;
  long v = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || v <= 0) usage();
  return v;
}

static double seconds_arg(const char *text) {
  char *end;
  double v = strtod(text, &end);
  if (*text == '\0' || *end != '\0' || !(v >= 0) || v > 1e6) usage();
  return v;
}

static void parse(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (i + 1 >= argc) usage();
    const char *v = argv[++i];
    if (!strcmp(a, "--host")) opt.host = v;
    else if (!strcmp(a, "--port")) opt.port = v;
    else if (!strcmp(a, "--connections")) opt.connections = positive(v);
    else if (!strcmp(a, "--size")) opt.size = positive(v);
    else if (!strcmp(a, "--requests")) opt.requests = positive(v);
    else if (!strcmp(a, "--duration")) opt.duration = seconds_arg(v);
    else if (!strcmp(a, "--warmup")) opt.warmup = seconds_arg(v);
    else if (!strcmp(a, "--idle")) opt.idle = positive(v);
    else if (!strcmp(a, "--window")) opt.window = positive(v);
    else usage();
  }
  if (!opt.port || opt.size > (64l << 20)) usage();
}

/* The soft descriptor limit raised to the hard one: --idle needs one per connection. */
static void raise_fd_limit(long needed) {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      (rlim_t)needed + 16 > lim.rlim_cur)
    die("%ld connections need more descriptors than the limit of %lu", needed,
        (unsigned long)lim.rlim_cur);
}

int main(int argc, char **argv) {
  parse(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  long count = opt.idle ? opt.idle : opt.connections;
  raise_fd_limit(count);
  struct addrinfo hints = {.ai_family = AF_UNSPEC, .ai_socktype = SOCK_STREAM};
  int rc = getaddrinfo(opt.host, opt.port, &hints, &target);
  if (rc != 0) die("%s:%s: %s", opt.host, opt.port, gai_strerror(rc));
  ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) die("epoll_create1: %s", strerror(errno));
  conns = calloc((size_t)count, sizeof *conns);
  if (!conns) die("out of memory");
  unsigned seed = (unsigned)now_ns();
  for (long i = 0; i < count; i++) {
    conns[i].out = malloc((size_t)opt.size);
    conns[i].in = malloc((size_t)opt.size);
    if (!conns[i].out || !conns[i].in) die("out of memory");
    for (long k = 0; k < opt.size; k++) conns[i].out[k] = (unsigned char)rand_r(&seed);
  }
  if (opt.idle) hold_idle();
  else run_load();
  for (long i = 0; i < opened; i++) close(conns[i].fd);
  return 0;
}
