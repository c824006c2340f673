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
// - Loop-thread fast path: a task wake, a spawn or a ready callback that the running
//   loop's own thread adds while the matching shared queue is empty goes to a
//   queue of the loop thread (local_ready_, local_soon_) without the mutex.
//   Once a shared queue holds anything (shared_ready_, shared_soon_, written
//   under the mutex), the loop thread appends there too, so every entry of a
//   local queue is older than every entry of its shared queue, and the loop
//   takes local entries first: the order is the order of the additions.
// - The table of live tasks (tasks_) belongs to the loop thread as well: the
//   task phase takes a task out and puts it back without the mutex. A task
//   spawned by another thread waits in CoreData::spawned until then.
// - Once the EventLoop closed its descriptors (CoreData::closed), wakes and
//   signals through a surviving core do nothing: the descriptor numbers may
//   already belong to other files. Closing also empties the queues, and the
//   operations of a closed core keep nothing they are handed, so wakers kept
//   in the core's own queues never keep the core alive.
#include <sys/epoll.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "runtime/function.h"
#include "runtime/heap.h"
#include "runtime/signal_wake.h"
#include "runtime/task.h"
#include "runtime/task_table.h"
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

// A native readiness source (a socket of runtime/conn.h): dispatched by the
// loop straight to on_io, without a Python watcher. Registered under a token
// that is never reused within a core, so an event returned for a source that
// has since been removed (and whose descriptor number may already belong to
// another file) finds nothing and is dropped.
class IoSource {
 public:
  virtual ~IoSource() = default;
  // Loop thread, no lock held; `events` are the epoll bits reported.
  virtual void on_io(uint32_t events) = 0;
};

// Below this many timed callbacks the `later` heap is never searched for
// cancelled ones.
inline constexpr size_t kLaterScanMin = 64;

struct CoreData {
  std::vector<TaskId> ready_tasks;  // FIFO; an id may appear more than once
  // Tasks spawned by threads other than the running loop's, each with its
  // id also queued in ready_tasks; the loop adopts them into its table when
  // it takes the ready ids.
  std::vector<std::pair<TaskId, std::unique_ptr<Task>>> spawned;
  TimerWheel timers;
  std::unordered_map<int32_t, FdCallbacks> fd_callbacks;
  std::vector<OnceFunction> soon;  // FIFO of ready one-shot callbacks
  DeadlineHeap<LaterEntry> later;
  // The size of `later` at which call_later next drops the cancelled
  // callbacks: twice what the last pass left, so each pass is paid for by
  // as many additions, and cancelled callbacks (time limits that ended
  // early) cannot keep more than about half the heap.
  size_t later_scan_at = kLaterScanMin;
  std::unordered_set<int32_t> registered_fds;
  std::unordered_map<uint64_t, std::shared_ptr<IoSource>> sources;
  uint64_t next_source_token = uint64_t{1} << 32;  // above every descriptor number
  bool running = false;
  bool stop_requested = false;
  // A stop that no later run clears: the owner is closing the loop, and a run
  // starting at that moment must not swallow the request.
  bool close_requested = false;
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
  // A callback that reports itself cancelled (OnceFunction::cancelled) may
  // be dropped unrun before its deadline.
  void call_later(OnceFunction callback, double delay_secs);
  // The same with the deadline given; one already passed runs in the next
  // timed phase, after every due callback whose deadline is earlier.
  void call_at(OnceFunction callback, Instant deadline);
  // Inserts a timer entry; `signal` rings the doorbell afterwards.
  void add_timer(Instant deadline, Waker waker, bool signal);
  // The same, for an entry that cancel_timer() can withdraw. Null (nothing
  // inserted) once the core is closed.
  std::shared_ptr<TimerHandle> add_cancellable_timer(Instant deadline, Waker waker, bool signal);
  // Withdraws an entry made by add_cancellable_timer(); nothing if it has
  // already fired or been withdrawn.
  void cancel_timer(TimerHandle& handle);
  void request_stop();
  // A stop request that also ends every later run at once.
  void request_close();

  // The outcome of setting a watcher: the errno epoll refused the descriptor
  // with (0 when accepted; nothing is recorded then), and the callback the
  // change displaced, handed back so that the caller releases it after
  // dropping its own locks (releasing it may run a finaliser).
  struct FdChange {
    int error = 0;
    std::shared_ptr<FdCallback> displaced;
  };
  // Sets one watcher of a descriptor and registers its new epoll interest. A
  // modify of a number epoll no longer knows (closed and reused since) is
  // retried as an add. A closed core refuses with EBADF.
  [[nodiscard]] FdChange set_fd_callback(int32_t fd, FdSlot slot,
                                         std::shared_ptr<FdCallback> callback);
  // Clears one watcher; epoll failures are ignored (the descriptor may be
  // closed already). Hands back the removed callback, as above.
  [[nodiscard]] std::shared_ptr<FdCallback> remove_fd_callback(int32_t fd, FdSlot slot);

  // Visits the foreign objects held by queued callbacks, timed callbacks,
  // watchers and parked tasks, under the core mutex. The caller makes sure
  // no run moves entries in or out meanwhile (the loop is not running).
  int traverse(const Visitor& visit);

  // Native sources. add_source records the source under a fresh token (0
  // once the core is closed); its descriptor joins epoll only through
  // set_source_interest, whose `events` 0 takes it out of epoll again (so a
  // hung-up socket that nobody waits on cannot make epoll_wait spin).
  // remove_source forgets the token and takes the descriptor out of epoll;
  // the caller closes the descriptor only after it returned. epoll_ctl runs
  // under the core mutex here, so it can never meet a closed epoll descriptor.
  uint64_t add_source(std::shared_ptr<IoSource> source);
  // Moves the registration from `old_events` to `events`; returns 0 or errno.
  int set_source_interest(uint64_t token, int fd, uint32_t old_events, uint32_t events);
  [[nodiscard]] std::shared_ptr<IoSource> remove_source(uint64_t token, int fd, bool in_epoll);

  // Live tasks. Not while another thread runs the loop.
  size_t task_count();
  // Lock-free (a mirror of CoreData::closed): cheap enough for every socket
  // operation to ask.
  bool is_closed() const;

 private:
  friend class EventLoop;
  void signal_locked();
  int epoll_register_locked(int32_t fd, uint32_t events, bool known);

  bool on_loop_thread() const;
  void drop_cancelled_later_locked(std::vector<LaterEntry>& dropped);
  // Keep the mirrors below in step with CoreData; mu_ held.
  void note_shared_ready_locked() { shared_ready_.store(true, std::memory_order_relaxed); }
  void note_shared_soon_locked() { shared_soon_.store(true, std::memory_order_relaxed); }
  void note_timers_locked() { has_timers_.store(!d_.timers.empty(), std::memory_order_relaxed); }
  void note_later_locked() { has_later_.store(!d_.later.empty(), std::memory_order_relaxed); }

  // Also held around every epoll_ctl, so that none reaches a descriptor
  // number after the EventLoop closed it.
  std::mutex mu_;
  CoreData d_;
  const int epoll_fd_;
  const int wake_fd_;
  std::atomic<bool> wake_pending_{false};
  std::atomic<bool> closed_{false};
  // Ids are never reused, 0 is never one; atomic, so that the loop thread's
  // own spawn takes the same lock-free path as its wakes.
  std::atomic<TaskId> next_task_id_{1};
  // Mirrors of "d_.ready_tasks / d_.soon / d_.timers / d_.later is not
  // empty", stored under mu_ and read by the loop thread without it to skip
  // the mutex when there is nothing to take. A stale read can only come from
  // an addition racing with the read; that addition still rang the doorbell
  // or is seen by the next timeout computation, which reads under mu_.
  std::atomic<bool> shared_ready_{false};
  std::atomic<bool> shared_soon_{false};
  std::atomic<bool> has_timers_{false};
  std::atomic<bool> has_later_{false};
  // The loop thread's own queues (see the header comment). Touched only by
  // the thread running the loop, or by the owner while no run is going.
  std::vector<TaskId> local_ready_;
  std::vector<OnceFunction> local_soon_;
  // Every live task that is not being polled, but those still in
  // CoreData::spawned. Same rule as the loop thread's queues.
  TaskTable tasks_;
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

  // Runs until no task is left, a stop is requested, the run is interrupted
  // or epoll_wait fails.
  void run();
  // Runs until a stop is requested, the run is interrupted or epoll_wait
  // fails, whatever the task count.
  void run_until_stopped();
  // One iteration; false when the run must end: epoll_wait failed with other
  // than EINTR, or the run was interrupted (interrupt_current_run()).
  bool loop_iteration();
  // The epoll_wait timeout (ms) an iteration starting now would use: 0 with
  // ready work, the earliest deadline rounded down (at least 1 ms, capped at
  // INT32_MAX) with pending timers or timed callbacks, 100 when idle.
  int next_timeout_ms();

  // True while this thread is inside run() or run_until_stopped() of any loop.
  static bool running_on_this_thread();

  // Ends the run in progress on this thread as soon as the callback or task
  // step now running returns. The iteration's callbacks and task wakes not
  // run yet stay queued, first in line for the next run. False (and nothing
  // happens) when no run is in progress on this thread.
  static bool interrupt_current_run();
  // Whether the last run of this loop ended through interrupt_current_run().
  bool interrupted() const { return interrupted_; }

  // While watched, the loop also waits on `wakeup`'s read end; when it fires,
  // or epoll_wait is interrupted by a signal, the loop drains it and calls
  // `check` on the loop thread, which may interrupt the run. The caller keeps
  // `wakeup` alive until unwatch_signals(). Loop thread only, outside a run
  // or from inside one.
  using SignalCheck = std::function<void()>;
  void watch_signals(SignalWakeup& wakeup, SignalCheck check);
  void unwatch_signals();

  // Called on the loop thread right before it may block in epoll_wait (a
  // non-zero timeout). The embedding layer uses it to let go of anything it
  // keeps between callbacks, such as an interpreter lock.
  using BeforeWaitHook = void (*)();
  static void set_before_wait_hook(BeforeWaitHook hook);

 private:
  EventLoop(int epoll_fd, std::shared_ptr<SharedCore> core);
  void dispatch_fd_event(const epoll_event& ev);
  void dispatch_source_event(const epoll_event& ev);

  void check_signals();
  int timeout_locked(const CoreData& d) const;
  bool iterate(int timeout);
  void take_soon_batch(Instant now);
  void run_soon_phase();
  void run_timer_phase();
  void take_ready_batch();
  void run_task_phase();
  template <class KeepGoing>
  void run_while(KeepGoing keep_going);

  const int epoll_fd_;
  std::shared_ptr<SharedCore> core_;
  // Scratch buffers reused across iterations (swapped with the core's queues).
  std::unique_ptr<epoll_event[]> events_;
  std::vector<TaskId> ready_batch_;
  std::vector<std::pair<TaskId, std::unique_ptr<Task>>> spawned_;
  std::vector<OnceFunction> soon_batch_;
  std::vector<Waker> expired_;
  // Set by interrupt_current_run(); cleared when a run starts.
  bool interrupted_ = false;
  SignalWakeup* signal_wakeup_ = nullptr;
  SignalCheck signal_check_;
};

}  // namespace velkor
