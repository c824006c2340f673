#pragma once
// The machinery behind a connected TCP stream: the loop-side parts that the
// Python stream object and its awaitables share, and the two blocking threads
// that own the socket.
//
// Threads and ownership:
// - The reader thread owns a duplicate of the socket (close-on-exec), the
//   sending end of the chunk channel, the receiving end of the stop channel,
//   a reference to `read_waker` and its receive buffer. It tests the stop
//   channel before every recv; the receive timeout of 1 ms bounds how long a
//   close() (or the stream object's destruction) goes unnoticed.
// - The writer thread owns the connected socket itself and the receiving end
//   of the write channel. It is the only one that closes the connection:
//   once every holder of the write channel's sending end is gone and every
//   queued buffer was sent, or at the first failing send.
// - Both threads are detached and never touch Python objects.
// - The loop side (any thread holding the interpreter lock) owns the other
//   ends through shared holders: `incoming`, `outgoing`, `stop`. The channels
//   are thread-safe by themselves, so the holders need no lock of their own.
//
// Lock order: `read_waker` before the core mutex (a wake takes the core mutex);
// ReadBuffer::mu and the channel locks are leaves.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/channel.h"
#include "runtime/waker_slot.h"

namespace velkor {

// Bytes received by one recv: 1 to kReceiveBufferSize of them.
using Chunk = std::string;
// A queued write, shared with the awaitables it came from rather than copied.
using WriteBuffer = std::shared_ptr<const std::string>;
struct StopMessage {};

inline constexpr size_t kReceiveBufferSize = 65536;

// The tail of a chunk that a read did not return. Only read steps touch it.
class ReadBuffer {
 public:
  // Moves up to `size` bytes out into `out`; false when the buffer is empty.
  bool take(uint64_t size, std::string& out);
  // Makes `chunk` from byte `offset` on the whole content.
  void put(Chunk chunk, size_t offset);

 private:
  std::mutex mu_;
  std::string data_;
  size_t pos_ = 0;  // bytes of data_ already returned
};

// The loop-side ends of one stream, shared by the stream object and its
// awaitables (each holds the parts it needs).
struct StreamParts {
  std::shared_ptr<Receiver<Chunk>> incoming;
  std::shared_ptr<ReadBuffer> read_buffer;
  std::shared_ptr<Sender<WriteBuffer>> outgoing;
  std::shared_ptr<Sender<StopMessage>> stop;
  std::shared_ptr<WakerSlot> read_waker;
};

enum class SpawnFailure { None, Clone, Thread };
struct SpawnResult {
  SpawnFailure failure = SpawnFailure::None;
  int error = 0;  // errno of the failing call
};

// Starts the reader and writer threads of the connected socket `fd`, which
// it takes over in every case (on failure it is closed). A reader started
// before a failure ends by itself once the stop channel disconnects.
SpawnResult spawn_io_thread(int fd, Sender<Chunk> chunks, Receiver<StopMessage> stop,
                            Receiver<WriteBuffer> writes, std::shared_ptr<WakerSlot> read_waker);

// Makes the channels and threads of a connected socket `fd` (taken over in
// every case) and fills `parts` on success.
SpawnResult start_stream(int fd, StreamParts& parts);

}  // namespace velkor
