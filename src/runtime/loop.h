#pragma once
// The event loop engine: one EventLoop per running loop (epoll + eventfd) and
// the SharedCore that everything else reaches through a shared reference.
//
// Threads and locks:
// - SharedCore::mu_ guards all of CoreData. It is the innermost lock of the
//   runtime: it is never held while a callback runs, a task is polled, a waker
//   is woken, Python is called, or the loop waits in epoll.
// - Any thread may call the SharedCore operations; each writes the eventfd
//   (the doorbell) so that a loop blocked in epoll_wait returns. The write is
//   skipped when the loop is known to notice the change anyway: on the loop
//   thread itself (the next timeout computation reads the queues), or while an
//   earlier doorbell ring has not been drained yet (wake_pending_).
// - Only the thread inside EventLoop::run executes callbacks and polls tasks.
// - Once the EventLoop closed its descriptors (CoreData::closed), wakes and
//   signals through a surviving core do nothing: the descriptor numbers may
//   already belong to other files. Closing also empties the queues, and the
//   operations of a closed core keep nothing they are handed, so wakers kept
//   in the core's own queues never keep the core alive.
#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "runtime/function.h"
#include "runtime/heap.h"
#include "runtime/task.h"
#include "runtime/timer.h"

namespace velkor {

struct LaterEntry {
  Instant deadline;
  OnceFunction callback;
};

struct FdCallbacks {
  std::shared_ptr<FdCallback> reader;
  std::shared_ptr<FdCallback> writer;
};

enum class FdSlot { Reader, Writer };

struct CoreData {
  std::vector<TaskId> ready_tasks;  // FIFO; an id may appear more than once
  std::unordered_map<TaskId, std::unique_ptr<Task>> tasks;
  TimerWheel timers;
  std::unordered_map<int32_t, FdCallbacks> fd_callbacks;
  std::vector<OnceFunction> soon;  // FIFO of ready one-shot callbacks
  DeadlineHeap<LaterEntry> later;
  std::unordered_set<int32_t> registered_fds;
  TaskId next_task_id = 1;
  bool running = false;
  bool stop_requested = false;
  bool closed = false;  // the EventLoop closed epoll_fd and wake_fd
};

class SharedCore {
 public:
  SharedCore(int epoll_fd, int wake_fd) : epoll_fd_(epoll_fd), wake_fd_(wake_fd) {}
  SharedCore(const SharedCore&) = delete;
  SharedCore& operator=(const SharedCore&) = delete;

  // Queues the id for the next task phase. Waking a finished task is harmless.
  void wake_task(TaskId id);
  // Registers a new task and queues it; returns its id.
  TaskId spawn(std::unique_ptr<Task> task);
  void push_soon(OnceFunction callback);
  // Throws Panic for a negative, NaN or too large delay; nothing is queued then.
  void call_later(OnceFunction callback, double delay_secs);
  // Inserts a timer entry; `signal` rings the doorbell afterwards.
  void add_timer(Instant deadline, Waker waker, bool signal);
  // The same, for an entry that cancel_timer() can withdraw. Null (nothing
  // inserted) once the core is closed.
  std::shared_ptr<TimerHandle> add_cancellable_timer(Instant deadline, Waker waker, bool signal);
  // Withdraws an entry made by add_cancellable_timer(); nothing if it has
  // already fired or been withdrawn.
  void cancel_timer(TimerHandle& handle);
  void request_stop();
  // Sets or clears one watcher of a descriptor and updates its epoll interest.
  // The displaced callback is handed back so that the caller releases it
  // after dropping its own locks (releasing it may run a finaliser).
  [[nodiscard]] std::shared_ptr<FdCallback> set_fd_callback(int32_t fd, FdSlot slot,
                                                            std::shared_ptr<FdCallback> callback);
  [[nodiscard]] std::shared_ptr<FdCallback> remove_fd_callback(int32_t fd, FdSlot slot);

  size_t task_count();
  bool is_closed();

 private:
  friend class EventLoop;
  void signal_locked();
  void epoll_update(int op, int32_t fd, uint32_t events);

  std::mutex mu_;
  CoreData d_;
  const int epoll_fd_;
  const int wake_fd_;
  std::atomic<bool> wake_pending_{false};
  // Held shared around epoll_ctl calls made without mu_, exclusively while the
  // EventLoop closes the descriptors, so epoll_ctl never hits a reused number.
  std::shared_mutex fd_lifetime_;
};

class EventLoop {
 public:
  // Returns 0 and fills `out`, or the errno of the first failing system call.
  static int create(std::unique_ptr<EventLoop>& out);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  const std::shared_ptr<SharedCore>& core() const { return core_; }
  int epoll_fd() const { return epoll_fd_; }

  // Runs until no task is left, a stop is requested or epoll_wait fails.
  void run();
  // Runs until a stop is requested or epoll_wait fails, whatever the task count.
  void run_until_stopped();
  // One iteration; false only when epoll_wait failed with other than EINTR.
  bool loop_iteration();
  // The epoll_wait timeout (ms) an iteration starting now would use: 0 with
  // ready work, the earliest deadline rounded down (at least 1 ms, capped at
  // INT32_MAX) with pending timers or timed callbacks, 100 when idle.
  int next_timeout_ms();

  // True while this thread is inside run() or run_until_stopped() of any loop.
  static bool running_on_this_thread();

  // Called on the loop thread right before it may block in epoll_wait (a
  // non-zero timeout). The embedding layer uses it to let go of anything it
  // keeps between callbacks, such as an interpreter lock.
  using BeforeWaitHook = void (*)();
  static void set_before_wait_hook(BeforeWaitHook hook);

 private:
  EventLoop(int epoll_fd, std::shared_ptr<SharedCore> core);
  void dispatch_fd_event(const epoll_event& ev);
  void transfer_due_later(Instant now);
  void run_soon_phase();
  void run_timer_phase();
  void run_task_phase();
  template <class KeepGoing>
  void run_while(KeepGoing keep_going);

  const int epoll_fd_;
  std::shared_ptr<SharedCore> core_;
  // Scratch buffers reused across iterations (swapped with the core's queues).
  std::unique_ptr<epoll_event[]> events_;
  std::vector<TaskId> ready_batch_;
  std::vector<OnceFunction> soon_batch_;
  std::vector<Waker> expired_;
};

}  // namespace velkor
