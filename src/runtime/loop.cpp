#include "runtime/loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "runtime/context.h"
#include "runtime/panic.h"

namespace velkor {

namespace {

constexpr int kMaxEvents = 1024;
constexpr int kIdleTimeoutMs = 100;
// Event data of the eventfd registration: watched descriptors carry their own
// (32-bit) number, so no watched descriptor can carry this value.
constexpr uint64_t kWakeToken = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kAnyEvent = EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP;
constexpr uint32_t kReaderEvents = EPOLLIN | EPOLLERR | EPOLLHUP;
constexpr uint32_t kWriterEvents = EPOLLOUT | EPOLLERR | EPOLLHUP;

// The core whose loop runs on this thread (innermost when runs nest).
thread_local SharedCore* t_loop_core = nullptr;

class LoopThreadScope {
 public:
  explicit LoopThreadScope(SharedCore* core) : previous_(t_loop_core) { t_loop_core = core; }
  ~LoopThreadScope() { t_loop_core = previous_; }

 private:
  SharedCore* previous_;
};

uint32_t interest_of(const FdCallbacks& cbs) {
  return (cbs.reader ? EPOLLIN : 0u) | (cbs.writer ? EPOLLOUT : 0u);
}

}  // namespace

// ---- SharedCore ------------------------------------------------------------

void SharedCore::signal_locked() {
  if (d_.closed || t_loop_core == this) return;
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

void SharedCore::wake_task(TaskId id) {
  std::lock_guard lock(mu_);
  if (d_.closed) return;
  d_.ready_tasks.push_back(id);
  signal_locked();
}

TaskId SharedCore::spawn(std::unique_ptr<Task> task) {
  std::lock_guard lock(mu_);
  TaskId id = d_.next_task_id++;
  if (d_.closed) return id;
  d_.tasks.emplace(id, std::move(task));
  d_.ready_tasks.push_back(id);
  signal_locked();
  return id;
}

void SharedCore::push_soon(OnceFunction callback) {
  std::lock_guard lock(mu_);
  if (d_.closed) return;
  d_.soon.push_back(std::move(callback));
  signal_locked();
}

void SharedCore::call_later(OnceFunction callback, double delay_secs) {
  Instant deadline = Instant::now().plus(Duration::from_secs_f64(delay_secs));
  std::lock_guard lock(mu_);
  if (d_.closed) return;
  d_.later.push(LaterEntry{deadline, std::move(callback)});
  signal_locked();
}

void SharedCore::add_timer(Instant deadline, Waker waker, bool signal) {
  std::lock_guard lock(mu_);
  if (d_.closed) return;
  d_.timers.insert(deadline, std::move(waker));
  if (signal) signal_locked();
}

void SharedCore::request_stop() {
  std::lock_guard lock(mu_);
  d_.stop_requested = true;
  signal_locked();
}

void SharedCore::epoll_update(int op, int32_t fd, uint32_t events) {
  std::shared_lock lifetime(fd_lifetime_);
  if (is_closed()) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = static_cast<uint32_t>(fd);
  if (::epoll_ctl(epoll_fd_, op, fd, &ev) == 0) return;
  // A descriptor closed while watched leaves epoll on its own; when its number
  // comes back for a new file, the bookkeeping here still says "registered".
  // The other operation then brings epoll in line. Other failures are not
  // reported.
  if (op == EPOLL_CTL_MOD && errno == ENOENT) {
    (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  } else if (op == EPOLL_CTL_ADD && errno == EEXIST) {
    (void)::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev);
  }
}

std::shared_ptr<FdCallback> SharedCore::set_fd_callback(int32_t fd, FdSlot slot,
                                                     std::shared_ptr<FdCallback> callback) {
  std::shared_ptr<FdCallback> replaced;
  int op;
  uint32_t events;
  {
    std::lock_guard lock(mu_);
    op = d_.registered_fds.insert(fd).second ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    FdCallbacks& cbs = d_.fd_callbacks[fd];
    auto& target = slot == FdSlot::Reader ? cbs.reader : cbs.writer;
    replaced = std::move(target);
    target = std::move(callback);
    events = interest_of(cbs);
  }
  epoll_update(op, fd, events);
  return replaced;
}

std::shared_ptr<FdCallback> SharedCore::remove_fd_callback(int32_t fd, FdSlot slot) {
  std::shared_ptr<FdCallback> removed;
  int op;
  uint32_t events = 0;
  {
    std::lock_guard lock(mu_);
    auto it = d_.fd_callbacks.find(fd);
    if (it == d_.fd_callbacks.end()) return nullptr;
    auto& target = slot == FdSlot::Reader ? it->second.reader : it->second.writer;
    removed = std::move(target);
    events = interest_of(it->second);
    if (events != 0) {
      op = EPOLL_CTL_MOD;
    } else {
      op = EPOLL_CTL_DEL;
      d_.fd_callbacks.erase(it);
      d_.registered_fds.erase(fd);
    }
  }
  epoll_update(op, fd, events);
  return removed;
}

size_t SharedCore::task_count() {
  std::lock_guard lock(mu_);
  return d_.tasks.size();
}

bool SharedCore::is_closed() {
  std::lock_guard lock(mu_);
  return d_.closed;
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
  // Nothing queued in a closed core can ever run, and timer entries and tasks
  // may hold wakers, which hold the core: everything is moved out here and
  // released after the locks, so the core ends with its last outside holder.
  CoreData leftovers;
  {
    std::unique_lock lifetime(core_->fd_lifetime_);
    std::lock_guard lock(core_->mu_);
    std::swap(leftovers, core_->d_);
    core_->d_.next_task_id = leftovers.next_task_id;
    core_->d_.closed = true;
    ::close(epoll_fd_);
    ::close(core_->wake_fd_);
  }
  // `leftovers` is destroyed here: tasks, callbacks and wakers, none of them
  // run. Wakers outside the core keep it (closed) for as long as they live.
}

bool EventLoop::running_on_this_thread() { return t_loop_core != nullptr; }

namespace {
std::atomic<EventLoop::BeforeWaitHook> g_before_wait{nullptr};
}

void EventLoop::set_before_wait_hook(BeforeWaitHook hook) { g_before_wait.store(hook); }

template <class KeepGoing>
void EventLoop::run_while(KeepGoing keep_going) {
  LoopThreadScope scope(core_.get());
  {
    std::lock_guard lock(core_->mu_);
    core_->d_.running = true;
    core_->d_.stop_requested = false;
  }
  for (;;) {
    {
      std::lock_guard lock(core_->mu_);
      if (!keep_going(core_->d_)) return;
    }
    if (!loop_iteration()) return;
  }
}

void EventLoop::run() {
  run_while([](const CoreData& d) { return d.running && !d.stop_requested && !d.tasks.empty(); });
}

void EventLoop::run_until_stopped() {
  run_while([](const CoreData& d) { return !d.stop_requested; });
}

int EventLoop::next_timeout_ms() {
  std::lock_guard lock(core_->mu_);
  const CoreData& d = core_->d_;
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

bool EventLoop::loop_iteration() {
  const int timeout = next_timeout_ms();
  if (timeout != 0) {
    if (BeforeWaitHook hook = g_before_wait.load(std::memory_order_relaxed)) hook();
  }
  const int n = ::epoll_wait(epoll_fd_, events_.get(), kMaxEvents, timeout);
  if (n < 0) return errno == EINTR;

  for (int i = 0; i < n; ++i) dispatch_fd_event(events_[i]);
  transfer_due_later(Instant::now());
  run_soon_phase();
  run_timer_phase();
  run_task_phase();
  return true;
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
  if ((ev.events & kAnyEvent) == 0) return;
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

void EventLoop::transfer_due_later(Instant now) {
  for (;;) {
    OnceFunction due;
    {
      std::lock_guard lock(core_->mu_);
      const Instant* earliest = core_->d_.later.earliest();
      if (!earliest || now < *earliest) return;
      due = std::move(core_->d_.later.pop().callback);
    }
    std::lock_guard lock(core_->mu_);
    core_->d_.soon.push_back(std::move(due));
  }
}

void EventLoop::run_soon_phase() {
  {
    std::lock_guard lock(core_->mu_);
    soon_batch_.swap(core_->d_.soon);
  }
  for (auto& callback : soon_batch_) std::move(callback)();
  soon_batch_.clear();
}

void EventLoop::run_timer_phase() {
  const Instant now = Instant::now();
  {
    std::lock_guard lock(core_->mu_);
    core_->d_.timers.take_expired(now, expired_);
  }
  for (auto& waker : expired_) std::move(waker).wake();
  expired_.clear();
}

void EventLoop::run_task_phase() {
  {
    std::lock_guard lock(core_->mu_);
    ready_batch_.swap(core_->d_.ready_tasks);
  }
  // A loop is never run re-entrantly (a nested run is refused), so the
  // member buffer is safe to iterate while tasks are polled.
  for (TaskId id : ready_batch_) {
    std::unique_ptr<Task> task;
    {
      std::lock_guard lock(core_->mu_);
      auto it = core_->d_.tasks.find(id);
      if (it == core_->d_.tasks.end()) continue;
      task = std::move(it->second);
      core_->d_.tasks.erase(it);
    }
    Waker waker = Waker::for_task(core_, id);
    runtime::CurrentTaskScope current(id);
    if (task->poll(waker) == Poll::Pending) {
      std::lock_guard lock(core_->mu_);
      core_->d_.tasks.emplace(id, std::move(task));
    }
  }
  ready_batch_.clear();
}

}  // namespace velkor
