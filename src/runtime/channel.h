#pragma once
// Channel: an unbounded first-in-first-out queue between one sending end and
// one receiving end, safe to use from any two threads.
//
// Delivery and disconnection:
// - every message sent is received exactly once, in sending order;
// - a send never blocks; it fails (and the message is destroyed by the
//   sender) once the receiving end has been released;
// - the receiver sees the channel as disconnected only when it is empty and
//   the sending end has been released, so queued messages always come first;
// - releasing the receiving end destroys whatever is still queued.
//
// State::mu guards every field of State; it is held for a queue operation
// only, never while a message is destroyed (a message may be large) and never
// together with another lock.
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

namespace velkor {

enum class TryRecv { Message, Empty, Disconnected };

template <class T>
class Sender;
template <class T>
class Receiver;

template <class T>
struct ChannelState {
  std::mutex mu;
  std::condition_variable ready;
  std::deque<T> queue;
  bool sender_alive = true;
  bool receiver_alive = true;
};

template <class T>
class Sender {
 public:
  Sender() = default;
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&& other) noexcept {
    Sender old(std::move(*this));
    state_ = std::move(other.state_);
    return *this;
  }
  ~Sender() {
    if (!state_) return;
    std::lock_guard lock(state_->mu);
    state_->sender_alive = false;
    state_->ready.notify_all();
  }

  // Queues `message`; false (and the message destroyed) when nobody can
  // receive any more.
  bool send(T message) {
    {
      std::lock_guard lock(state_->mu);
      if (state_->receiver_alive) {
        state_->queue.push_back(std::move(message));
        state_->ready.notify_one();
        return true;
      }
    }
    return false;  // `message` is destroyed here, outside the lock
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  explicit Sender(std::shared_ptr<ChannelState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<ChannelState<T>> state_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    Receiver old(std::move(*this));
    state_ = std::move(other.state_);
    return *this;
  }
  ~Receiver() {
    if (!state_) return;
    std::deque<T> dropped;
    std::lock_guard lock(state_->mu);
    state_->receiver_alive = false;
    dropped.swap(state_->queue);
  }

  // Takes the next message without waiting.
  TryRecv try_recv(T& out) {
    std::lock_guard lock(state_->mu);
    if (!state_->queue.empty()) {
      out = std::move(state_->queue.front());
      state_->queue.pop_front();
      return TryRecv::Message;
    }
    return state_->sender_alive ? TryRecv::Empty : TryRecv::Disconnected;
  }

  // Waits for the next message; false once the channel is disconnected.
  bool recv(T& out) {
    std::unique_lock lock(state_->mu);
    state_->ready.wait(lock, [&] { return !state_->queue.empty() || !state_->sender_alive; });
    if (state_->queue.empty()) return false;
    out = std::move(state_->queue.front());
    state_->queue.pop_front();
    return true;
  }

  // True when try_recv would find a message or the disconnection.
  bool is_ready() {
    std::lock_guard lock(state_->mu);
    return !state_->queue.empty() || !state_->sender_alive;
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  explicit Receiver(std::shared_ptr<ChannelState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<ChannelState<T>>();
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace velkor
