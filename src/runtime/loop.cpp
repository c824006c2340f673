#include "runtime/loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "runtime/context.h"
#include "runtime/panic.h"
#include "runtime/tls.h"

namespace velkor {

namespace {

constexpr int kMaxEvents = 1024;
constexpr int kIdleTimeoutMs = 100;
// Event data of the eventfd registration: watched descriptors carry their own
// (32-bit) number, so no watched descriptor can carry this value.
constexpr uint64_t kWakeToken = std::numeric_limits<uint64_t>::max();
// Event data of a signal wakeup registration (watch_signals).
constexpr uint64_t kSignalToken = kWakeToken - 1;
constexpr uint32_t kAnyEvent = EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP;
constexpr uint32_t kReaderEvents = EPOLLIN | EPOLLERR | EPOLLHUP;
constexpr uint32_t kWriterEvents = EPOLLOUT | EPOLLERR | EPOLLHUP;

// The loop running on this thread and its core (innermost when runs nest).
VELKOR_HOT_TLS thread_local SharedCore* t_loop_core = nullptr;
VELKOR_HOT_TLS thread_local EventLoop* t_running_loop = nullptr;

class LoopThreadScope {
 public:
  explicit LoopThreadScope(EventLoop* loop)
      : previous_core_(t_loop_core), previous_loop_(t_running_loop) {
    t_loop_core = loop->core().get();
    t_running_loop = loop;
  }
  ~LoopThreadScope() {
    t_loop_core = previous_core_;
    t_running_loop = previous_loop_;
  }

 private:
  SharedCore* previous_core_;
  EventLoop* previous_loop_;
};

uint32_t interest_of(const FdCallbacks& cbs) {
  return (cbs.reader ? EPOLLIN : 0u) | (cbs.writer ? EPOLLOUT : 0u);
}

}  // namespace

// ---- SharedCore ------------------------------------------------------------

bool SharedCore::on_loop_thread() const { return t_loop_core == this; }

void SharedCore::signal_locked() {
  if (d_.closed || on_loop_thread()) return;
  if (wake_pending_.exchange(true, std::memory_order_acq_rel)) return;
  uint64_t one = 1;
  ssize_t r;
  do {
    r = ::write(wake_fd_, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
  // EAGAIN (counter full) still leaves the descriptor readable.
}

// Once closed, the operations below keep nothing: what they were handed is
// released when they return (after the lock), so the closed core's queues
// cannot grow, nor hold wakers that keep the core itself alive.

bool SharedCore::is_closed() const { return closed_.load(std::memory_order_acquire); }

// The loop thread's fast paths below need no doorbell either: the loop
// reads its own queues before it computes the next timeout. A running loop's
// core is never closed (the EventLoop outlives its runs).

void SharedCore::wake_task(TaskId id) {
  if (on_loop_thread() && !shared_ready_.load(std::memory_order_relaxed)) {
    local_ready_.push_back(id);
    return;
  }
  std::lock_guard lock(mu_);
  if (d_.closed) return;
  d_.ready_tasks.push_back(id);
  note_shared_ready_locked();
  signal_locked();
}

TaskId SharedCore::spawn(std::unique_ptr<Task> task) {
  const TaskId id = next_task_id_.fetch_add(1, std::memory_order_relaxed);
  if (on_loop_thread() && !shared_ready_.load(std::memory_order_relaxed)) {
    tasks_.insert({id, std::move(task)});
    local_ready_.push_back(id);
    return id;
  }
  std::lock_guard lock(mu_);
  if (d_.closed) return id;
  if (on_loop_thread()) {
    tasks_.insert({id, std::move(task)});
    if (d_.ready_tasks.empty()) {
      local_ready_.push_back(id);
      return id;
    }
  } else {
    d_.spawned.emplace_back(id, std::move(task));
  }
  d_.ready_tasks.push_back(id);
  note_shared_ready_locked();
  signal_locked();
  return id;
}

void SharedCore::push_soon(OnceFunction callback) {
  if (on_loop_thread() && !shared_soon_.load(std::memory_order_relaxed)) {
    local_soon_.push_back(std::move(callback));
    return;
  }
  std::lock_guard lock(mu_);
  if (d_.closed) return;
  d_.soon.push_back(std::move(callback));
  note_shared_soon_locked();
  signal_locked();
}

void SharedCore::call_later(OnceFunction callback, double delay_secs) {
  call_at(std::move(callback), Instant::now().plus(Duration::from_secs_f64(delay_secs)));
}

void SharedCore::call_at(OnceFunction callback, Instant deadline) {
  std::vector<LaterEntry> dropped;  // destroyed after the lock
  std::lock_guard lock(mu_);
  if (d_.closed) return;
  if (d_.later.size() >= d_.later_scan_at) drop_cancelled_later_locked(dropped);
  d_.later.push(LaterEntry{deadline, std::move(callback)});
  note_later_locked();
  signal_locked();
}

void SharedCore::drop_cancelled_later_locked(std::vector<LaterEntry>& dropped) {
  d_.later.remove_if([](const LaterEntry& e) { return e.callback.cancelled(); }, dropped);
  d_.later_scan_at = std::max(kLaterScanMin, 2 * d_.later.size());
}

void SharedCore::add_timer(Instant deadline, Waker waker, bool signal) {
  std::lock_guard lock(mu_);
  if (d_.closed) return;
  d_.timers.insert(deadline, std::move(waker));
  note_timers_locked();
  if (signal) signal_locked();
}

std::shared_ptr<TimerHandle> SharedCore::add_cancellable_timer(Instant deadline, Waker waker,
                                                               bool signal) {
  std::lock_guard lock(mu_);
  if (d_.closed) return nullptr;
  std::shared_ptr<TimerHandle> handle = d_.timers.insert_cancellable(deadline, std::move(waker));
  note_timers_locked();
  if (signal) signal_locked();
  return handle;
}

void SharedCore::cancel_timer(TimerHandle& handle) {
  std::vector<TimerEntry> removed;  // destroyed after the lock
  std::lock_guard lock(mu_);
  if (d_.closed) return;
  d_.timers.cancel(handle, removed);
  note_timers_locked();
}

void SharedCore::request_stop() {
  std::lock_guard lock(mu_);
  d_.stop_requested = true;
  signal_locked();
}

void SharedCore::request_close() {
  std::lock_guard lock(mu_);
  d_.close_requested = true;
  d_.stop_requested = true;
  signal_locked();
}

namespace {
std::shared_ptr<FdCallback>& slot_of(FdCallbacks& cbs, FdSlot slot) {
  return slot == FdSlot::Reader ? cbs.reader : cbs.writer;
}

int epoll_ctl_errno(int epoll_fd, int op, int32_t fd, uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = static_cast<uint32_t>(fd);
  return ::epoll_ctl(epoll_fd, op, fd, &ev) == 0 ? 0 : errno;
}
}  // namespace

int SharedCore::epoll_register_locked(int32_t fd, uint32_t events, bool known) {
  if (known) {
    int err = epoll_ctl_errno(epoll_fd_, EPOLL_CTL_MOD, fd, events);
    // ENOENT: the number was closed (epoll dropped it) and now names another
    // file, which has to be added afresh.
    if (err != ENOENT) return err;
  }
  int err = epoll_ctl_errno(epoll_fd_, EPOLL_CTL_ADD, fd, events);
  // EEXIST: epoll still holds the number although no watcher records it
  // (its removal failed while the descriptor was being replaced).
  return err == EEXIST ? epoll_ctl_errno(epoll_fd_, EPOLL_CTL_MOD, fd, events) : err;
}

SharedCore::FdChange SharedCore::set_fd_callback(int32_t fd, FdSlot slot,
                                                 std::shared_ptr<FdCallback> callback) {
  FdChange change;
  std::lock_guard lock(mu_);
  if (d_.closed) {
    change.error = EBADF;
    return change;
  }
  auto it = d_.fd_callbacks.find(fd);
  uint32_t events = slot == FdSlot::Reader ? EPOLLIN : EPOLLOUT;
  if (it != d_.fd_callbacks.end()) events |= interest_of(it->second);
  change.error = epoll_register_locked(fd, events, d_.registered_fds.contains(fd));
  if (change.error != 0) return change;  // recorded nothing
  d_.registered_fds.insert(fd);
  change.displaced = std::exchange(slot_of(d_.fd_callbacks[fd], slot), std::move(callback));
  return change;
}

std::shared_ptr<FdCallback> SharedCore::remove_fd_callback(int32_t fd, FdSlot slot) {
  std::lock_guard lock(mu_);
  auto it = d_.fd_callbacks.find(fd);
  if (it == d_.fd_callbacks.end()) return nullptr;
  std::shared_ptr<FdCallback> removed = std::move(slot_of(it->second, slot));
  const uint32_t events = interest_of(it->second);
  if (events == 0) {
    d_.fd_callbacks.erase(it);
    d_.registered_fds.erase(fd);
  }
  if (!d_.closed) {
    (void)epoll_ctl_errno(epoll_fd_, events != 0 ? EPOLL_CTL_MOD : EPOLL_CTL_DEL, fd, events);
  }
  return removed;
}

int SharedCore::traverse(const Visitor& visit) {
  std::lock_guard lock(mu_);
  for (const auto* queue : {&local_soon_, &d_.soon}) {
    for (const OnceFunction& callback : *queue) {
      if (int r = callback.traverse(visit)) return r;
    }
  }
  for (const LaterEntry& entry : d_.later.entries()) {
    if (int r = entry.callback.traverse(visit)) return r;
  }
  for (const auto& [fd, cbs] : d_.fd_callbacks) {
    if (int r = cbs.reader ? cbs.reader->traverse(visit) : 0) return r;
    if (int r = cbs.writer ? cbs.writer->traverse(visit) : 0) return r;
  }
  if (int r = tasks_.for_each([&](const TaskTable::Entry& e) { return e.task->traverse(visit); })) {
    return r;
  }
  for (const auto& [id, task] : d_.spawned) {
    if (int r = task->traverse(visit)) return r;
  }
  return 0;
}

uint64_t SharedCore::add_source(std::shared_ptr<IoSource> source) {
  std::lock_guard lock(mu_);
  if (d_.closed) return 0;
  uint64_t token = d_.next_source_token++;
  d_.sources.emplace(token, std::move(source));
  return token;
}

int SharedCore::set_source_interest(uint64_t token, int fd, uint32_t old_events, uint32_t events) {
  if (old_events == events) return 0;
  const int op = old_events == 0 ? EPOLL_CTL_ADD : events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = token;
  std::lock_guard lock(mu_);
  if (d_.closed) return EBADF;
  return ::epoll_ctl(epoll_fd_, op, fd, &ev) < 0 ? errno : 0;
}

std::shared_ptr<IoSource> SharedCore::remove_source(uint64_t token, int fd, bool in_epoll) {
  std::shared_ptr<IoSource> removed;
  std::lock_guard lock(mu_);
  if (d_.closed) return removed;
  if (in_epoll) {
    epoll_event ev{};
    (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, &ev);
  }
  auto it = d_.sources.find(token);
  if (it != d_.sources.end()) {
    removed = std::move(it->second);
    d_.sources.erase(it);
  }
  return removed;  // released by the caller, after the lock
}

size_t SharedCore::task_count() {
  std::lock_guard lock(mu_);
  return tasks_.size() + d_.spawned.size();
}

// ---- EventLoop -------------------------------------------------------------

int EventLoop::create(std::unique_ptr<EventLoop>& out) {
  int epfd = ::epoll_create1(0);
  if (epfd < 0) return errno;
  int wfd = ::eventfd(0, EFD_NONBLOCK);
  if (wfd < 0) {
    int err = errno;
    ::close(epfd);
    return err;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeToken;
  if (::epoll_ctl(epfd, EPOLL_CTL_ADD, wfd, &ev) < 0) {
    int err = errno;
    ::close(wfd);
    ::close(epfd);
    return err;
  }
  out.reset(new EventLoop(epfd, std::make_shared<SharedCore>(epfd, wfd)));
  return 0;
}

EventLoop::EventLoop(int epoll_fd, std::shared_ptr<SharedCore> core)
    : epoll_fd_(epoll_fd), core_(std::move(core)), events_(new epoll_event[kMaxEvents]) {}

EventLoop::~EventLoop() {
  unwatch_signals();
  // Nothing queued in a closed core can ever run, and timer entries and tasks
  // may hold wakers, which hold the core: everything is moved out here and
  // released after the locks, so the core ends with its last outside holder.
  CoreData leftovers;
  std::vector<OnceFunction> local_soon = std::exchange(core_->local_soon_, {});
  auto tasks = std::exchange(core_->tasks_, {});
  core_->local_ready_.clear();
  {
    std::lock_guard lock(core_->mu_);
    std::swap(leftovers, core_->d_);
    core_->d_.closed = true;
    core_->closed_.store(true, std::memory_order_release);
    ::close(epoll_fd_);
    ::close(core_->wake_fd_);
  }
  // `leftovers` is destroyed here: tasks, callbacks and wakers, none of them
  // run. Wakers outside the core keep it (closed) for as long as they live.
}

bool EventLoop::running_on_this_thread() { return t_loop_core != nullptr; }

bool EventLoop::interrupt_current_run() {
  if (!t_running_loop) return false;
  t_running_loop->interrupted_ = true;
  return true;
}

void EventLoop::watch_signals(SignalWakeup& wakeup, SignalCheck check) {
  unwatch_signals();
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kSignalToken;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wakeup.read_fd(), &ev) < 0) return;
  signal_wakeup_ = &wakeup;
  signal_check_ = std::move(check);
}

void EventLoop::unwatch_signals() {
  if (!signal_wakeup_) return;
  (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, signal_wakeup_->read_fd(), nullptr);
  signal_wakeup_ = nullptr;
  signal_check_ = nullptr;
}

// Drains first, so that a signal arriving during the check wakes the next wait.
void EventLoop::check_signals() {
  if (!signal_wakeup_) return;
  signal_wakeup_->drain();
  if (signal_check_) signal_check_();
}

namespace {
std::atomic<EventLoop::BeforeWaitHook> g_before_wait{nullptr};
}

void EventLoop::set_before_wait_hook(BeforeWaitHook hook) { g_before_wait.store(hook); }

template <class KeepGoing>
void EventLoop::run_while(KeepGoing keep_going) {
  LoopThreadScope scope(this);
  interrupted_ = false;
  {
    std::lock_guard lock(core_->mu_);
    core_->d_.running = true;
    core_->d_.stop_requested = core_->d_.close_requested;
  }
  for (;;) {
    int timeout;
    {
      std::lock_guard lock(core_->mu_);
      if (!keep_going(core_->d_)) return;
      timeout = timeout_locked(core_->d_);
    }
    if (!iterate(timeout)) return;
  }
}

void EventLoop::run() {
  run_while([this](const CoreData& d) {
    return d.running && !d.stop_requested && !(core_->tasks_.empty() && d.spawned.empty());
  });
}

void EventLoop::run_until_stopped() {
  run_while([](const CoreData& d) { return !d.stop_requested; });
}

int EventLoop::next_timeout_ms() {
  std::lock_guard lock(core_->mu_);
  return timeout_locked(core_->d_);
}

int EventLoop::timeout_locked(const CoreData& d) const {
  if (!core_->local_soon_.empty() || !core_->local_ready_.empty()) return 0;
  if (!d.soon.empty() || !d.ready_tasks.empty()) return 0;
  const Instant* timer = d.timers.earliest_deadline();
  const Instant* later = d.later.earliest();
  if (!timer && !later) return kIdleTimeoutMs;
  Instant now = Instant::now();
  Duration remaining = Duration{std::numeric_limits<uint64_t>::max(), 0};
  if (timer) remaining = std::min(remaining, timer->saturating_since(now));
  if (later) remaining = std::min(remaining, later->saturating_since(now));
  return timeout_ms_for(remaining);
}

bool EventLoop::loop_iteration() { return iterate(next_timeout_ms()); }

bool EventLoop::iterate(int timeout) {
  if (timeout != 0) {
    if (BeforeWaitHook hook = g_before_wait.load(std::memory_order_relaxed)) hook();
  }
  const int n = ::epoll_wait(epoll_fd_, events_.get(), kMaxEvents, timeout);
  if (n < 0) {
    if (errno != EINTR) return false;
    check_signals();  // the signal may have landed on this thread
    return !interrupted_;
  }

  // Descriptors not dispatched after an interruption stay readable (level
  // triggered) and are reported again by the next run's first wait.
  for (int i = 0; i < n && !interrupted_; ++i) dispatch_fd_event(events_[i]);
  if (interrupted_) return false;
  take_soon_batch(Instant::now());
  run_soon_phase();
  if (interrupted_) return false;
  run_timer_phase();
  run_task_phase();
  return !interrupted_;
}

void EventLoop::dispatch_fd_event(const epoll_event& ev) {
  if (ev.data.u64 == kWakeToken) {
    // Drain the doorbell, then allow the next ring. Clearing after the read
    // means a ring racing with the drain is either drained here or leaves the
    // counter set for the next epoll_wait.
    uint64_t value;
    (void)::read(core_->wake_fd_, &value, sizeof value);
    core_->wake_pending_.store(false, std::memory_order_release);
    return;
  }
  if (ev.data.u64 == kSignalToken) {
    check_signals();
    return;
  }
  if ((ev.events & kAnyEvent) == 0) return;
  if (ev.data.u64 > std::numeric_limits<uint32_t>::max()) return dispatch_source_event(ev);
  std::shared_ptr<FdCallback> reader, writer;
  {
    std::lock_guard lock(core_->mu_);
    auto it = core_->d_.fd_callbacks.find(static_cast<int32_t>(ev.data.u64));
    if (it != core_->d_.fd_callbacks.end()) {
      reader = it->second.reader;
      writer = it->second.writer;
    }
  }
  if ((ev.events & kReaderEvents) && reader) (*reader)();
  if ((ev.events & kWriterEvents) && writer) (*writer)();
}

void EventLoop::dispatch_source_event(const epoll_event& ev) {
  std::shared_ptr<IoSource> source;
  {
    std::lock_guard lock(core_->mu_);
    auto it = core_->d_.sources.find(ev.data.u64);
    if (it == core_->d_.sources.end()) return;  // removed since epoll_wait returned
    source = it->second;
  }
  source->on_io(ev.events);
}

// The batch is the loop thread's callbacks, then the shared ones, then the
// timed callbacks due at `now` in heap order: the order they would run in if
// each due one were appended to the ready queue. One critical section, and
// none when no other thread queued anything and nothing is timed.
void EventLoop::take_soon_batch(Instant now) {
  soon_batch_.swap(core_->local_soon_);
  if (!core_->shared_soon_.load(std::memory_order_relaxed) &&
      !core_->has_later_.load(std::memory_order_relaxed)) {
    return;
  }
  std::lock_guard lock(core_->mu_);
  CoreData& d = core_->d_;
  if (soon_batch_.empty()) {
    soon_batch_.swap(d.soon);
  } else {
    for (OnceFunction& callback : d.soon) soon_batch_.push_back(std::move(callback));
    d.soon.clear();
  }
  core_->shared_soon_.store(false, std::memory_order_relaxed);
  for (const Instant* due = d.later.earliest(); due && !(now < *due); due = d.later.earliest()) {
    soon_batch_.push_back(std::move(d.later.pop().callback));
  }
  core_->note_later_locked();
}

void EventLoop::run_soon_phase() {
  size_t next = 0;
  while (next < soon_batch_.size() && !interrupted_) std::move(soon_batch_[next++])();
  if (next < soon_batch_.size()) {
    // Interrupted: what did not run goes back ahead of every later addition
    // (the loop thread's queue is taken first).
    auto& local = core_->local_soon_;
    local.insert(local.begin(), std::make_move_iterator(soon_batch_.begin() + next),
                 std::make_move_iterator(soon_batch_.end()));
  }
  soon_batch_.clear();
}

// The wakes run on the loop thread, so the wakers of this loop's tasks take
// the lock-free path into local_ready_.
void EventLoop::run_timer_phase() {
  if (!core_->has_timers_.load(std::memory_order_relaxed)) return;
  const Instant now = Instant::now();
  {
    std::lock_guard lock(core_->mu_);
    core_->d_.timers.take_expired(now, expired_);
    core_->note_timers_locked();
  }
  for (auto& waker : expired_) std::move(waker).wake();
  expired_.clear();
}

// The loop thread's wakes, then the shared ones (see loop.h), adopting the
// tasks other threads spawned.
void EventLoop::take_ready_batch() {
  ready_batch_.swap(core_->local_ready_);
  if (!core_->shared_ready_.load(std::memory_order_relaxed)) return;
  {
    std::lock_guard lock(core_->mu_);
    auto& shared = core_->d_.ready_tasks;
    ready_batch_.insert(ready_batch_.end(), shared.begin(), shared.end());
    shared.clear();
    core_->shared_ready_.store(false, std::memory_order_relaxed);
    spawned_.swap(core_->d_.spawned);
  }
  for (auto& [id, task] : spawned_) core_->tasks_.insert({id, std::move(task)});
  spawned_.clear();
}

void EventLoop::run_task_phase() {
  take_ready_batch();
  // A loop is never run re-entrantly (a nested run is refused), so the
  // member buffer is safe to iterate while tasks are polled. The table is
  // the loop thread's: no lock.
  auto& tasks = core_->tasks_;
  size_t next = 0;
  while (next < ready_batch_.size() && !interrupted_) {
    const TaskId id = ready_batch_[next++];
    TaskTable::Entry entry = tasks.take(id);
    if (!entry.task) continue;
    Task& task = *entry.task;
    if (!task.waker_) task.waker_ = Waker::for_task(core_, id);
    runtime::CurrentTaskScope current(id);
    if (task.poll(task.waker_) == Poll::Pending) tasks.insert(std::move(entry));
  }
  if (next < ready_batch_.size()) {
    // Interrupted: the wakes not handled yet go back ahead of every later one.
    auto& local = core_->local_ready_;
    local.insert(local.begin(), ready_batch_.begin() + next, ready_batch_.end());
  }
  ready_batch_.clear();
}

}  // namespace velkor
