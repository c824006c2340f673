#include "runtime/stream.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace velkor {

namespace {

// The threads only copy between a socket and heap buffers.
constexpr size_t kIoThreadStack = 256 * 1024;

struct ReaderState {
  int fd;
  Sender<Chunk> chunks;
  Receiver<StopMessage> stop;
  std::shared_ptr<WakerSlot> read_waker;
  ~ReaderState() { ::close(fd); }
};

struct WriterState {
  int fd;
  Receiver<WriteBuffer> writes;
};

void run_reader(ReaderState& s) {
  timeval timeout{0, 1000};
  (void)::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::vector<char> buffer(kReceiveBufferSize);
  StopMessage ignored;
  for (;;) {
    if (s.stop.try_recv(ignored) != TryRecv::Empty) return;  // close(), or the stream is gone
    ssize_t n = ::recv(s.fd, buffer.data(), buffer.size(), 0);
    if (n > 0) {
      (void)s.chunks.send(Chunk(buffer.data(), static_cast<size_t>(n)));
      s.read_waker->wake();
      continue;
    }
    if (n == 0) return;  // orderly shutdown by the peer
    // A signal caught by this thread is no reason to end the stream: the
    // next turn tests the stop channel anyway.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT || errno == EINTR) continue;
    return;
  }
}

void run_writer(WriterState& s) {
  WriteBuffer buffer;
  while (s.writes.recv(buffer)) {
    const char* p = buffer->data();
    size_t left = buffer->size();
    while (left > 0) {
      ssize_t n = ::send(s.fd, p, left, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // the connection failed: what is queued is lost
      p += n;
      left -= static_cast<size_t>(n);
    }
    buffer.reset();
  }
}

void* reader_main(void* arg) {
  std::unique_ptr<ReaderState> state(static_cast<ReaderState*>(arg));
  run_reader(*state);
  return nullptr;  // the state's destructor closes the duplicate handle
}

void* writer_main(void* arg) {
  std::unique_ptr<WriterState> state(static_cast<WriterState*>(arg));
  run_writer(*state);
  // Close the connection before the queue goes: from then on sends fail.
  ::close(state->fd);
  state->writes = Receiver<WriteBuffer>();
  return nullptr;
}

// Starts a detached thread running `entry(arg)`; returns 0 or an errno.
int start_detached(void* (*entry)(void*), void* arg) {
  pthread_attr_t attr;
  int err = pthread_attr_init(&attr);
  if (err != 0) return err;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, std::max<size_t>(kIoThreadStack, PTHREAD_STACK_MIN));
  pthread_t thread;
  err = pthread_create(&thread, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  return err;
}

}  // namespace

bool ReadBuffer::take(uint64_t size, std::string& out) {
  std::lock_guard lock(mu_);
  const size_t available = data_.size() - pos_;
  if (available == 0) return false;
  if (size >= available && pos_ == 0) {
    out = std::move(data_);
    data_.clear();
  } else {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, available));
    out.assign(data_, pos_, n);
    pos_ += n;
  }
  if (pos_ == data_.size()) {
    data_.clear();
    pos_ = 0;
  }
  return true;
}

void ReadBuffer::put(Chunk chunk, size_t offset) {
  Chunk old;
  std::lock_guard lock(mu_);
  old = std::exchange(data_, std::move(chunk));
  pos_ = std::min(offset, data_.size());
}

SpawnResult spawn_io_thread(int fd, Sender<Chunk> chunks, Receiver<StopMessage> stop,
                            Receiver<WriteBuffer> writes, std::shared_ptr<WakerSlot> read_waker) {
  int dup_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) {
    int err = errno;
    ::close(fd);
    return {SpawnFailure::Clone, err};
  }
  std::unique_ptr<ReaderState> reader(
      new ReaderState{dup_fd, std::move(chunks), std::move(stop), std::move(read_waker)});
  if (int err = start_detached(reader_main, reader.get()); err != 0) {
    ::close(fd);
    return {SpawnFailure::Thread, err};
  }
  reader.release();  // owned by the thread now

  std::unique_ptr<WriterState> writer(new WriterState{fd, std::move(writes)});
  if (int err = start_detached(writer_main, writer.get()); err != 0) {
    ::close(fd);
    return {SpawnFailure::Thread, err};
  }
  writer.release();
  return {};
}

SpawnResult start_stream(int fd, StreamParts& parts) {
  auto [chunk_tx, chunk_rx] = make_channel<Chunk>();
  auto [write_tx, write_rx] = make_channel<WriteBuffer>();
  auto [stop_tx, stop_rx] = make_channel<StopMessage>();
  auto read_waker = std::make_shared<WakerSlot>();
  SpawnResult result = spawn_io_thread(fd, std::move(chunk_tx), std::move(stop_rx),
                                       std::move(write_rx), read_waker);
  // On failure the ends still held here are released on return; that
  // disconnects the stop channel of a reader that did start, which ends it.
  if (result.failure != SpawnFailure::None) return result;
  parts.incoming = std::make_shared<Receiver<Chunk>>(std::move(chunk_rx));
  parts.read_buffer = std::make_shared<ReadBuffer>();
  parts.outgoing = std::make_shared<Sender<WriteBuffer>>(std::move(write_tx));
  parts.stop = std::make_shared<Sender<StopMessage>>(std::move(stop_tx));
  parts.read_waker = std::move(read_waker);
  return result;
}

}  // namespace velkor
