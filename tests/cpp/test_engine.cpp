// Tests of the runtime engine on its own: no Python involved. Each test runs
// under a hard alarm and must leave no descriptor open.
//
//   test_engine            run every test
//   test_engine NAME...    run the tests whose name contains one of NAME
#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/conn.h"
#include "runtime/context.h"
#include "runtime/heap.h"
#include "runtime/instant.h"
#include "runtime/light_mutex.h"
#include "runtime/loop.h"
#include "runtime/panic.h"
#include "runtime/signal_wake.h"
#include "runtime/timer.h"
#include "runtime/wait_list.h"
#include "task/pool.h"

using namespace velkor;

// ---- a very small test harness ----------------------------------------------

namespace {

struct TestCase {
  const char* name;
  void (*fn)();
};

std::vector<TestCase>& registry() {
  static std::vector<TestCase> tests;
  return tests;
}

struct Registrar {
  Registrar(const char* name, void (*fn)()) { registry().push_back({name, fn}); }
};

int g_failures = 0;

void report(const char* file, int line, const std::string& what) {
  ++g_failures;
  std::fprintf(stderr, "  %s:%d: %s\n", file, line, what.c_str());
}

template <class T>
std::string show(const T& v) {
  std::ostringstream out;
  if constexpr (requires { out << v; }) {
    out << v;
  } else {
    out << "{";
    bool first = true;
    for (const auto& x : v) {
      out << (first ? "" : ", ") << show(x);
      first = false;
    }
    out << "}";
  }
  return out.str();
}

}  // namespace

#define TEST(name)                                  \
  static void name();                               \
  static const Registrar registrar_##name(#name, name); \
  static void name()

#define CHECK(cond) \
  do {              \
    if (!(cond)) report(__FILE__, __LINE__, "CHECK(" #cond ") failed"); \
  } while (0)

#define CHECK_EQ(a, b)                                                                   \
  do {                                                                                   \
    const auto& va_ = (a);                                                               \
    const auto& vb_ = (b);                                                               \
    if (!(va_ == vb_)) {                                                                 \
      report(__FILE__, __LINE__, "CHECK_EQ(" #a ", " #b "): " + show(va_) + " != " + show(vb_)); \
    }                                                                                    \
  } while (0)

// Expects `expr` to throw Panic with exactly `message`.
#define CHECK_PANIC(expr, message)                                                        \
  do {                                                                                    \
    bool thrown_ = false;                                                                 \
    try {                                                                                 \
      (void)(expr);                                                                       \
    } catch (const Panic& p_) {                                                           \
      thrown_ = true;                                                                     \
      if (std::string(p_.what()) != (message)) {                                          \
        report(__FILE__, __LINE__, std::string("wrong panic message: ") + p_.what());     \
      }                                                                                   \
    }                                                                                     \
    if (!thrown_) report(__FILE__, __LINE__, "expected a panic from " #expr);            \
  } while (0)

namespace {

// ---- helpers -------------------------------------------------------------------

constexpr uint32_t kMs = 1'000'000;  // nanoseconds per millisecond

std::unique_ptr<EventLoop> new_loop() {
  std::unique_ptr<EventLoop> loop;
  int err = EventLoop::create(loop);
  if (err != 0 || !loop) {
    std::fprintf(stderr, "EventLoop::create failed: %s\n", std::strerror(err));
    std::abort();
  }
  return loop;
}

Instant at_ms(uint32_t ms) { return Instant{1000, ms * kMs}; }

Instant after(std::chrono::nanoseconds d) {
  return Instant::now().plus(Duration{static_cast<uint64_t>(d.count() / 1'000'000'000),
                                      static_cast<uint32_t>(d.count() % 1'000'000'000)});
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Installs a runtime context naming `loop` for the scope (tasks are polled
// only on a thread that has one).
class ContextScope {
 public:
  explicit ContextScope(EventLoop& loop) {
    runtime::set_runtime(RuntimeContext{std::nullopt, loop.core(), nullptr, Waker{}});
  }
  ~ContextScope() { runtime::clear_runtime(); }
};

// A task whose polls are scripted by the test.
class ScriptedTask final : public Task {
 public:
  explicit ScriptedTask(std::function<Poll(const Waker&)> on_poll) : on_poll_(std::move(on_poll)) {}
  Poll poll(const Waker& waker) override { return on_poll_(waker); }

 private:
  std::function<Poll(const Waker&)> on_poll_;
};

std::unique_ptr<Task> task(std::function<Poll(const Waker&)> on_poll) {
  return std::make_unique<ScriptedTask>(std::move(on_poll));
}

// A task that is pending until `done` is set, counting its polls and
// keeping a copy of its latest waker.
struct Parked {
  int polls = 0;
  bool done = false;
  Waker waker;
  std::unique_ptr<Task> make() {
    return task([this](const Waker& w) {
      ++polls;
      waker = w.clone();
      return done ? Poll::Ready : Poll::Pending;
    });
  }
};

class Recorder final : public FdCallback {
 public:
  Recorder(std::vector<std::string>& log, std::string tag, std::function<void()> extra = {})
      : log_(log), tag_(std::move(tag)), extra_(std::move(extra)) {}
  void operator()() override {
    log_.push_back(tag_);
    if (extra_) extra_();
  }

 private:
  std::vector<std::string>& log_;
  std::string tag_;
  std::function<void()> extra_;
};

std::set<int> open_fds() {
  std::set<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return fds;
  const int own = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') fds.insert(std::atoi(e->d_name));
  }
  closedir(dir);
  fds.erase(own);
  return fds;
}

std::string fd_target(int fd) {
  char path[64], buf[256];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(path, buf, sizeof buf - 1);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

bool readable_now(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

}  // namespace

// ---- the deadline heap and the timer wheel ---------------------------------------

namespace {
struct Item {
  Instant deadline;
  int id;
};

std::vector<int> drain_ids(DeadlineHeap<Item>& heap) {
  std::vector<int> ids;
  while (!heap.empty()) ids.push_back(heap.pop().id);
  return ids;
}
}  // namespace

TEST(heap_pops_earliest_first) {
  DeadlineHeap<Item> heap;
  CHECK(heap.earliest() == nullptr);
  heap.push({at_ms(30), 30});
  heap.push({at_ms(10), 10});
  heap.push({at_ms(20), 20});
  CHECK_EQ(heap.size(), size_t{3});
  CHECK(*heap.earliest() == at_ms(10));
  CHECK_EQ(drain_ids(heap), (std::vector<int>{10, 20, 30}));
  CHECK(heap.earliest() == nullptr);
}

TEST(heap_sift_rules_on_equal_deadlines) {
  // Insert stops at an equal parent: the first of two equal entries stays at
  // the root and leaves first.
  DeadlineHeap<Item> heap;
  heap.push({at_ms(5), 1});
  heap.push({at_ms(5), 2});
  CHECK_EQ(drain_ids(heap), (std::vector<int>{1, 2}));

  // Removing the root moves the hole to the right child on a tie: after the
  // root (1 ms) leaves, the right-hand 5 ms entry (3) becomes the root.
  heap.push({at_ms(1), 1});
  heap.push({at_ms(5), 2});
  heap.push({at_ms(5), 3});
  heap.push({at_ms(9), 4});
  CHECK_EQ(drain_ids(heap), (std::vector<int>{1, 3, 2, 4}));

}

TEST(heap_random_inserts_and_pops_stay_ordered) {
  std::mt19937 rng(12345);
  DeadlineHeap<Item> heap;
  std::multiset<Instant> model;
  std::vector<Instant> popped;
  for (int i = 0; i < 20000; ++i) {
    // Few distinct deadlines so that ties are frequent.
    Instant d{static_cast<int64_t>(rng() % 4), static_cast<uint32_t>(rng() % 50) * kMs};
    if (heap.empty() || rng() % 3 != 0) {
      heap.push({d, i});
      model.insert(d);
    } else {
      Instant got = heap.pop().deadline;
      CHECK(got == *model.begin());
      model.erase(model.begin());
    }
    CHECK_EQ(heap.size(), model.size());
    if (!heap.empty()) CHECK(*heap.earliest() == *model.begin());
  }
  while (!heap.empty()) popped.push_back(heap.pop().deadline);
  CHECK(std::is_sorted(popped.begin(), popped.end()));
  CHECK(std::equal(popped.begin(), popped.end(), model.begin(), model.end()));
}

TEST(timer_wheel_takes_due_entries_in_deadline_order) {
  auto loop = new_loop();
  std::vector<Waker> wakers;
  for (TaskId id = 0; id < 4; ++id) wakers.push_back(Waker::for_task(loop->core(), id));
  TimerWheel wheel;
  wheel.insert(at_ms(30), wakers[3].clone());
  wheel.insert(at_ms(10), wakers[1].clone());
  wheel.insert(at_ms(20), wakers[2].clone());
  CHECK(*wheel.earliest_deadline() == at_ms(10));

  std::vector<Waker> due;
  wheel.take_expired(at_ms(9), due);
  CHECK(due.empty());
  wheel.take_expired(at_ms(10), due);  // a deadline equal to now is due
  CHECK_EQ(due.size(), size_t{1});
  CHECK(due.size() == 1 && due[0].wakes_same_task(wakers[1]));
  CHECK(*wheel.earliest_deadline() == at_ms(20));

  due.clear();
  wheel.take_expired(at_ms(1000), due);
  CHECK_EQ(due.size(), size_t{2});
  CHECK(due.size() == 2 && due[0].wakes_same_task(wakers[2]) && due[1].wakes_same_task(wakers[3]));
  CHECK(wheel.earliest_deadline() == nullptr);
  CHECK_EQ(wheel.size(), size_t{0});
}

TEST(heap_remove_if_keeps_the_order_of_the_rest) {
  std::mt19937 rng(777);
  for (int round = 0; round < 50; ++round) {
    DeadlineHeap<Item> heap;
    std::multiset<Instant> model;
    const int n = 1 + static_cast<int>(rng() % 300);
    for (int i = 0; i < n; ++i) {
      Instant d{0, static_cast<uint32_t>(rng() % 40) * kMs};
      heap.push({d, i});
      if (i % 3 != 0) model.insert(d);
    }
    std::vector<Item> removed;
    heap.remove_if([](const Item& item) { return item.id % 3 == 0; }, removed);
    CHECK_EQ(removed.size(), static_cast<size_t>((n + 2) / 3));
    CHECK(std::all_of(removed.begin(), removed.end(), [](const Item& i) { return i.id % 3 == 0; }));
    std::vector<Instant> popped;
    while (!heap.empty()) popped.push_back(heap.pop().deadline);
    CHECK(std::equal(popped.begin(), popped.end(), model.begin(), model.end()));
  }
}

TEST(timer_wheel_cancelled_entries_never_wake_and_leave_the_heap) {
  auto loop = new_loop();
  Waker w1 = Waker::for_task(loop->core(), 1);
  Waker w2 = Waker::for_task(loop->core(), 2);
  TimerWheel wheel;
  std::vector<TimerEntry> removed;
  auto early = wheel.insert_cancellable(at_ms(10), w1.clone());
  auto late = wheel.insert_cancellable(at_ms(30), w1.clone());
  wheel.insert(at_ms(20), w2.clone());

  // A cancelled entry that is not the earliest is only counted...
  wheel.cancel(*late, removed);
  CHECK(removed.empty());
  CHECK_EQ(wheel.cancelled(), size_t{1});
  // ...while the earliest one leaves at once, so the loop never waits for it.
  wheel.cancel(*early, removed);
  CHECK_EQ(removed.size(), size_t{1});
  CHECK(*wheel.earliest_deadline() == at_ms(20));
  wheel.cancel(*early, removed);  // twice: nothing more
  CHECK_EQ(wheel.cancelled(), size_t{1});

  std::vector<Waker> due;
  wheel.take_expired(at_ms(1000), due);
  CHECK_EQ(due.size(), size_t{1});
  CHECK(due.size() == 1 && due[0].wakes_same_task(w2));
  CHECK_EQ(wheel.size(), size_t{0});
  CHECK_EQ(wheel.cancelled(), size_t{0});

  // Cancelling an entry that has fired changes nothing.
  auto fired = wheel.insert_cancellable(at_ms(5), w1.clone());
  due.clear();
  wheel.take_expired(at_ms(5), due);
  CHECK_EQ(due.size(), size_t{1});
  wheel.cancel(*fired, removed);
  CHECK_EQ(wheel.cancelled(), size_t{0});
}

TEST(timer_wheel_stays_small_under_cancel_churn) {
  // A long-lived loop whose far-off timers are nearly all cancelled (time
  // limits that end early): the heap stays within about twice its live
  // entries instead of growing with every cancelled one.
  auto loop = new_loop();
  Waker w = Waker::for_task(loop->core(), 1);
  TimerWheel wheel;
  std::vector<std::shared_ptr<TimerHandle>> live;
  for (uint32_t i = 0; i < 10; ++i) {
    live.push_back(wheel.insert_cancellable(at_ms(500 + i), w.clone()));
  }
  wheel.insert(at_ms(1), w.clone());  // an early entry keeps the cancelled ones off the root
  size_t largest = 0;
  for (uint32_t i = 0; i < 100000; ++i) {
    std::vector<TimerEntry> removed;
    auto handle = wheel.insert_cancellable(Instant{3600, i % 1000}, w.clone());
    wheel.cancel(*handle, removed);
    largest = std::max(largest, wheel.size());
  }
  CHECK(largest <= 2 * 11 + TimerWheel::kMinCompaction);
  std::vector<Waker> due;
  wheel.take_expired(Instant{100000, 0}, due);
  CHECK_EQ(due.size(), size_t{11});
  CHECK_EQ(wheel.size(), size_t{0});
}

// ---- durations and instants --------------------------------------------------------

TEST(duration_from_float_seconds) {
  auto d = [](double s) { return Duration::from_secs_f64(s); };
  CHECK(d(1.5) == (Duration{1, 500'000'000}));
  CHECK(d(0.0).is_zero());
  CHECK(d(-0.0).is_zero());
  CHECK(d(4e-10).is_zero());           // below half a nanosecond
  CHECK(d(6e-10) == (Duration{0, 1}));  // rounded to the nearest nanosecond
  CHECK(d(0.001) == (Duration{0, 1'000'000}));
  CHECK(d(2.0000000004) == (Duration{2, 0}));
  CHECK(d(0.9999999999) == (Duration{1, 0}));  // the nanoseconds carry into seconds
  const double largest_below_2_64 = std::nextafter(18446744073709551616.0, 0.0);
  CHECK(d(largest_below_2_64) == (Duration{18446744073709549568ull, 0}));

  const char* negative = "cannot convert float seconds to Duration: value is negative";
  const char* too_big = "cannot convert float seconds to Duration: value is either too big or NaN";
  CHECK_PANIC(d(-0.001), negative);
  CHECK_PANIC(d(-1e-300), negative);
  CHECK_PANIC(d(-std::numeric_limits<double>::infinity()), negative);
  CHECK_PANIC(d(std::numeric_limits<double>::quiet_NaN()), too_big);
  CHECK_PANIC(d(std::numeric_limits<double>::infinity()), too_big);
  CHECK_PANIC(d(18446744073709551616.0), too_big);
  CHECK_PANIC(d(1e30), too_big);
}

TEST(instant_arithmetic_and_overflow) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const char* overflow = "overflow when adding duration to instant";
  CHECK((Instant{1, 600'000'000}.plus({0, 700'000'000})) == (Instant{2, 300'000'000}));
  CHECK((Instant{kMax - 1, 0}.plus({1, 999'999'999})) == (Instant{kMax, 999'999'999}));
  CHECK_PANIC((Instant{kMax - 1, 0}.plus({2, 0})), overflow);
  CHECK_PANIC((Instant{kMax, 999'999'999}.plus({0, 1})), overflow);  // carry overflows
  CHECK_PANIC((Instant{0, 0}.plus({uint64_t{1} << 63, 0})), overflow);
  CHECK_PANIC(Instant::now().plus(Duration::from_secs_f64(9223372036854775808.0)), overflow);

  CHECK((Instant{5, 100}.saturating_since(Instant{3, 200})) == (Duration{1, 999'999'900}));
  CHECK((Instant{3, 200}.saturating_since(Instant{5, 100})).is_zero());
  CHECK((Instant{3, 200}.saturating_since(Instant{3, 200})).is_zero());
  CHECK((Instant{1, 999'999'999} < Instant{2, 0}));
}

TEST(timeout_rounding_rule) {
  const int cap = std::numeric_limits<int32_t>::max();
  CHECK_EQ(timeout_ms_for({0, 0}), 1);  // overdue: wait 1 ms, not 0
  CHECK_EQ(timeout_ms_for({0, 400'000}), 1);
  CHECK_EQ(timeout_ms_for({0, 2'700'000}), 2);  // rounded down
  CHECK_EQ(timeout_ms_for({1, 500'999'999}), 1500);
  CHECK_EQ(timeout_ms_for({2147483, 647'000'000}), cap);
  CHECK_EQ(timeout_ms_for({2147483, 648'000'000}), cap);
  CHECK_EQ(timeout_ms_for({std::numeric_limits<uint64_t>::max(), 0}), cap);  // overflow
}

// ---- the loop timeout ----------------------------------------------------------------

TEST(loop_timeout_follows_queues_and_deadlines) {
  auto loop = new_loop();
  auto& core = *loop->core();
  const int cap = std::numeric_limits<int32_t>::max();
  CHECK_EQ(loop->next_timeout_ms(), 100);  // idle

  core.add_timer(after(std::chrono::milliseconds(500)), Waker::for_task(loop->core(), 7), false);
  int t = loop->next_timeout_ms();
  CHECK(t >= 450 && t <= 500);

  core.call_later([] {}, 0.3);  // the earlier of the two deadlines counts
  t = loop->next_timeout_ms();
  CHECK(t >= 250 && t <= 300);

  core.push_soon([] {});  // ready work: do not wait
  CHECK_EQ(loop->next_timeout_ms(), 0);
  {
    ContextScope ctx(*loop);
    loop->loop_iteration();  // runs the soon callback
  }
  t = loop->next_timeout_ms();
  CHECK(t >= 200 && t <= 300);

  core.spawn(task([](const Waker&) { return Poll::Ready; }));
  CHECK_EQ(loop->next_timeout_ms(), 0);  // a ready task: do not wait

  auto overdue_loop = new_loop();
  overdue_loop->core()->add_timer(Instant{0, 0}, Waker::for_task(overdue_loop->core(), 1), false);
  CHECK_EQ(overdue_loop->next_timeout_ms(), 1);  // overdue: 1 ms, never 0

  auto near_loop = new_loop();
  near_loop->core()->call_later([] {}, 0.0004);
  CHECK_EQ(near_loop->next_timeout_ms(), 1);  // less than 1 ms away

  auto far_loop = new_loop();
  far_loop->core()->add_timer(Instant{std::numeric_limits<int64_t>::max(), 0},
                              Waker::for_task(far_loop->core(), 1), false);
  CHECK_EQ(far_loop->next_timeout_ms(), cap);
}

TEST(idle_loop_rechecks_within_about_100ms) {
  auto loop = new_loop();
  auto start = std::chrono::steady_clock::now();
  CHECK(loop->loop_iteration());
  double took = seconds_since(start);
  CHECK(took >= 0.05 && took < 2.0);
}

// ---- ready callbacks ------------------------------------------------------------------

TEST(soon_callbacks_run_fifo_and_late_additions_wait_an_iteration) {
  auto loop = new_loop();
  auto core = loop->core();
  std::vector<std::string> log;
  core->push_soon([&] {
    log.push_back("a");
    core->push_soon([&] { log.push_back("d"); });
  });
  core->push_soon([&] { log.push_back("b"); });
  core->push_soon([&] { log.push_back("c"); });
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
  CHECK_EQ(loop->next_timeout_ms(), 0);  // "d" is waiting
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"a", "b", "c", "d"}));
  CHECK_EQ(loop->next_timeout_ms(), 100);
}

TEST(due_timed_callbacks_run_after_queued_soon_callbacks) {
  auto loop = new_loop();
  auto core = loop->core();
  std::vector<std::string> log;
  core->call_later([&] { log.push_back("late2"); }, 0.002);
  core->call_later([&] { log.push_back("late1"); }, 0.001);
  core->call_later([&] { log.push_back("later"); }, 60.0);  // not due
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  core->push_soon([&] { log.push_back("soon1"); });
  core->push_soon([&] { log.push_back("soon2"); });
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"soon1", "soon2", "late1", "late2"}));
}

TEST(cancelled_timed_callbacks_leave_the_heap_and_the_rest_keep_their_order) {
  // Far-off callbacks, nearly all cancelled soon after they were queued (time
  // limits that end early): the heap lets them go as it grows instead of
  // holding them for an hour, and the live ones still run in deadline order.
  struct Timed {
    std::shared_ptr<bool> cancelled_flag;
    std::shared_ptr<int> token;
    std::function<void()> body;
    bool cancelled() const { return *cancelled_flag; }
    void operator()() {
      if (!*cancelled_flag) body();
    }
  };
  auto loop = new_loop();
  auto core = loop->core();
  std::vector<int> ran;
  std::vector<std::weak_ptr<int>> tokens;
  std::mt19937 rng(7);
  const auto start = std::chrono::steady_clock::now();
  for (int live = 0, i = 0; i < 20000; ++i) {
    auto flag = std::make_shared<bool>(false);
    auto token = std::make_shared<int>(i);
    tokens.push_back(token);
    const bool keep = i % 1000 == 0;
    // Live ones due in 2 ms steps from a second after the start, queued out
    // of order among the others.
    const int order = keep ? static_cast<int>((live++ * 7) % 20) : -1;
    const double due = 1.0 + 0.002 * order - seconds_since(start);
    const double delay = keep ? std::max(due, 0.0) : 3600.0 + (rng() % 100);
    core->call_later(Timed{flag, token, [&ran, order] { ran.push_back(order); }}, delay);
    *flag = !keep;
  }
  size_t held = std::count_if(tokens.begin(), tokens.end(),
                              [](const std::weak_ptr<int>& t) { return !t.expired(); });
  CHECK(held <= 2 * kLaterScanMin);
  while (ran.size() < 20 && seconds_since(start) < 30) loop->loop_iteration();
  std::vector<int> expected(20);
  std::iota(expected.begin(), expected.end(), 0);
  CHECK_EQ(ran, expected);
}

TEST(call_later_rejects_bad_delays) {
  auto loop = new_loop();
  CHECK_PANIC(loop->core()->call_later([] {}, -0.5),
              "cannot convert float seconds to Duration: value is negative");
  CHECK_PANIC(loop->core()->call_later([] {}, std::nan("")),
              "cannot convert float seconds to Duration: value is either too big or NaN");
  CHECK_PANIC(loop->core()->call_later([] {}, 1e300),
              "cannot convert float seconds to Duration: value is either too big or NaN");
  CHECK_PANIC(loop->core()->call_later([] {}, 9.3e18), "overflow when adding duration to instant");
  CHECK_EQ(loop->next_timeout_ms(), 100);  // nothing was scheduled
}

// ---- descriptor watchers ----------------------------------------------------------------

TEST(reader_runs_while_data_is_unread_and_stops_after_drain) {
  auto loop = new_loop();
  auto core = loop->core();
  int p[2];
  CHECK(pipe2(p, O_NONBLOCK) == 0);
  std::vector<std::string> log;
  bool drain = false;
  auto reader = std::make_shared<Recorder>(log, "r", [&] {
    if (!drain) return;
    char buf[16];
    while (::read(p[0], buf, sizeof buf) > 0) {
    }
  });
  CHECK(core->set_fd_callback(p[0], FdSlot::Reader, reader).displaced == nullptr);
  CHECK(::write(p[1], "x", 1) == 1);
  loop->loop_iteration();
  loop->loop_iteration();
  CHECK_EQ(log.size(), size_t{2});  // level-triggered: still readable
  drain = true;
  loop->loop_iteration();
  CHECK_EQ(log.size(), size_t{3});
  core->push_soon([] {});  // keep the next wait short
  loop->loop_iteration();
  CHECK_EQ(log.size(), size_t{3});  // drained: no more calls

  // After removal nothing is dispatched, even with data waiting.
  CHECK(core->remove_fd_callback(p[0], FdSlot::Reader) == reader);
  CHECK(core->remove_fd_callback(p[0], FdSlot::Reader) == nullptr);
  CHECK(::write(p[1], "y", 1) == 1);
  core->push_soon([] {});
  loop->loop_iteration();
  CHECK_EQ(log.size(), size_t{3});

  // Registering again after removal works (the descriptor is re-added).
  drain = true;
  (void)core->set_fd_callback(p[0], FdSlot::Reader, reader);
  loop->loop_iteration();
  CHECK_EQ(log.size(), size_t{4});
  (void)core->remove_fd_callback(p[0], FdSlot::Reader);
  ::close(p[0]);
  ::close(p[1]);
}

TEST(writer_and_reader_on_one_descriptor) {
  auto loop = new_loop();
  auto core = loop->core();
  int s[2];
  CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, s) == 0);
  std::vector<std::string> log;
  auto writer = std::make_shared<Recorder>(log, "w");
  (void)core->set_fd_callback(s[0], FdSlot::Writer, writer);
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"w"}));  // writable, nothing to read

  // Replacing a slot hands back the old callback; the other slot is kept.
  auto reader = std::make_shared<Recorder>(log, "r");
  CHECK(core->set_fd_callback(s[0], FdSlot::Reader, reader).displaced == nullptr);
  auto writer2 = std::make_shared<Recorder>(log, "w2");
  CHECK(core->set_fd_callback(s[0], FdSlot::Writer, writer2).displaced == writer);
  CHECK(::write(s[1], "x", 1) == 1);
  log.clear();
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"r", "w2"}));  // reader first

  // Removing the writer keeps the reader registered.
  CHECK(core->remove_fd_callback(s[0], FdSlot::Writer) == writer2);
  log.clear();
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"r"}));
  (void)core->remove_fd_callback(s[0], FdSlot::Reader);
  ::close(s[0]);
  ::close(s[1]);
}

TEST(hangup_calls_reader_then_writer) {
  auto loop = new_loop();
  auto core = loop->core();
  int p[2];
  CHECK(pipe2(p, O_NONBLOCK) == 0);
  std::vector<std::string> log;
  // The read end of a pipe is never writable, and with the write end closed
  // and nothing buffered it reports EPOLLHUP alone: both watchers run.
  (void)core->set_fd_callback(p[0], FdSlot::Writer, std::make_shared<Recorder>(log, "w"));
  (void)core->set_fd_callback(p[0], FdSlot::Reader, std::make_shared<Recorder>(log, "r"));
  core->push_soon([] {});
  loop->loop_iteration();
  CHECK(log.empty());
  ::close(p[1]);
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"r", "w"}));
  (void)core->remove_fd_callback(p[0], FdSlot::Reader);
  (void)core->remove_fd_callback(p[0], FdSlot::Writer);
  ::close(p[0]);
}

TEST(descriptor_zero_is_watched_like_any_other) {
  int saved = ::dup(0);  // -1 when the test runs without a standard input
  int p[2];
  CHECK(pipe2(p, O_NONBLOCK) == 0);
  CHECK(::dup2(p[0], 0) == 0);
  {
    auto loop = new_loop();
    auto core = loop->core();
    std::vector<std::string> log;
    (void)core->set_fd_callback(0, FdSlot::Reader, std::make_shared<Recorder>(log, "stdin"));
    CHECK(::write(p[1], "x", 1) == 1);
    loop->loop_iteration();
    CHECK_EQ(log, (std::vector<std::string>{"stdin"}));
    (void)core->remove_fd_callback(0, FdSlot::Reader);
  }
  if (saved >= 0) {
    ::dup2(saved, 0);
    ::close(saved);
  } else {
    ::close(0);
  }
  ::close(p[0]);
  ::close(p[1]);
}

// ---- tasks ---------------------------------------------------------------------------------

// Random parks, spurious polls, abandons, resumes and releases against a
// model of the line: releases go front first to parked waits only, and an
// abandoned or resumed wait is gone from the line at once.
TEST(wait_list_follows_its_model_under_random_operations) {
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  constexpr int kTasks = 6;
  std::vector<int> polled, expected;
  std::vector<TaskId> ids;
  for (int i = 0; i < kTasks; ++i) {
    ids.push_back(core->spawn(task([&polled, i](const Waker&) {
      polled.push_back(i);
      return Poll::Pending;
    })));
  }
  loop->loop_iteration();  // every task's first poll
  polled.clear();

  WaitList list;
  std::unique_ptr<WaitNode> nodes[kTasks];
  for (auto& node : nodes) node = std::make_unique<WaitNode>();
  std::deque<int> line;  // the model, released ones first
  std::set<int> released;
  auto leave = [&](int i) {
    line.erase(std::find(line.begin(), line.end(), i));
    released.erase(i);
    nodes[i] = std::make_unique<WaitNode>();
  };
  auto release = [&](size_t n) {
    size_t done = 0;
    for (auto it = line.begin(); it != line.end() && done < n; ++it) {
      if (released.insert(*it).second) expected.push_back(*it), ++done;
    }
    return done;
  };

  std::mt19937 rng(1234);
  for (int step = 0; step < 4000; ++step) {
    int i = static_cast<int>(rng() % kTasks);
    bool queued = std::find(line.begin(), line.end(), i) != line.end();
    bool chosen = released.count(i) == 1;
    Waker waker = Waker::for_task(core, ids[static_cast<size_t>(i)]);
    switch (rng() % 5) {
      case 0:  // parks, keeps its place, or resumes once released
        CHECK(list.poll(*nodes[i], waker) ==
              (chosen ? WaitList::Step::Released : WaitList::Step::Parked));
        if (chosen) leave(i);
        if (!queued) line.push_back(i);
        break;
      case 1:
        if (!queued) break;
        CHECK_EQ(list.abandon(*nodes[i]), chosen);
        leave(i);
        break;
      case 2: {
        size_t n = rng() % 3;
        CHECK_EQ(list.wake(n), release(n));
        break;
      }
      case 3:
        CHECK_EQ(list.wake_first(), !line.empty() && !released.count(line.front()) && release(1));
        break;
    }
    CHECK_EQ(list.size(), line.size());
    if (!expected.empty() && step % 7 == 0) {
      loop->loop_iteration();
      CHECK_EQ(polled, expected);
      polled.clear(), expected.clear();
    }
  }
  for (int i : line) list.abandon(*nodes[i]);
}

TEST(task_phase_order_and_wake_rules) {
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  std::vector<std::string> log;

  // Task 1 wakes itself: polled again in the next iteration, not this one.
  int self_polls = 0;
  TaskId self_waker = core->spawn(task([&](const Waker& w) {
    log.push_back("self");
    if (++self_polls == 1) w.wake_by_ref();
    return self_polls == 2 ? Poll::Ready : Poll::Pending;
  }));
  CHECK_EQ(self_waker, TaskId{1});
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"self"}));
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"self", "self"}));
  CHECK_EQ(core->task_count(), size_t{0});

  // A task whose timer is due is woken in the timer phase and polled in the
  // same iteration; ids are never reused.
  log.clear();
  Parked sleeper;
  TaskId id = core->spawn(sleeper.make());
  CHECK_EQ(id, TaskId{2});
  loop->loop_iteration();
  CHECK_EQ(sleeper.polls, 1);
  core->add_timer(Instant::now(), sleeper.waker.clone(), false);
  loop->loop_iteration();
  CHECK_EQ(sleeper.polls, 2);

  // Woken twice before the task phase: polled twice while it stays pending.
  sleeper.waker.wake_by_ref();
  sleeper.waker.wake_by_ref();
  loop->loop_iteration();
  CHECK_EQ(sleeper.polls, 4);

  // Woken twice, but the first poll finishes it: the duplicate is skipped.
  sleeper.done = true;
  sleeper.waker.wake_by_ref();
  sleeper.waker.wake_by_ref();
  loop->loop_iteration();
  CHECK_EQ(sleeper.polls, 5);
  CHECK_EQ(core->task_count(), size_t{0});

  // Waking a finished task does nothing.
  Waker stale = std::move(sleeper.waker);
  stale.wake_by_ref();
  std::move(stale).wake();
  core->push_soon([] {});
  loop->loop_iteration();
  CHECK_EQ(sleeper.polls, 5);
}

// The task table against a plain map under random inserts and removals:
// ids drawn from a narrow range collide in the probing order, and removals
// from the middle of a run must leave every other entry reachable, through
// several rounds of growth.
TEST(task_table_follows_its_model_under_random_operations) {
  struct Tagged final : Task {
    explicit Tagged(TaskId tag) : id(tag) {}
    Poll poll(const Waker&) override { return Poll::Pending; }
    TaskId id;
  };
  TaskTable table;
  std::map<TaskId, bool> model;
  std::mt19937_64 rng(99);
  auto random_id = [&](int step) {
    // Mostly a narrow window that slides (as a loop's ids do), sometimes any.
    const TaskId base = 1 + static_cast<TaskId>(step / 8);
    return rng() % 4 == 0 ? 1 + rng() % (TaskId{1} << 40) : base + rng() % 300;
  };
  for (int step = 0; step < 60000; ++step) {
    const TaskId id = random_id(step);
    if (rng() % 2 == 0 && !model.count(id)) {
      table.insert({id, std::make_unique<Tagged>(id)});
      model[id] = true;
    } else {
      TaskTable::Entry e = table.take(id);
      CHECK_EQ(e.task != nullptr, model.erase(id) == 1);
      if (e.task) CHECK_EQ(static_cast<Tagged&>(*e.task).id, id);
    }
    CHECK_EQ(table.size(), model.size());
  }
  CHECK(table.take(0).task == nullptr);
  std::set<TaskId> seen;
  table.for_each([&](const TaskTable::Entry& e) {
    CHECK_EQ(static_cast<const Tagged&>(*e.task).id, e.id);
    seen.insert(e.id);
    return 0;
  });
  std::set<TaskId> expected;
  for (const auto& [id, _] : model) expected.insert(id);
  CHECK(seen == expected);
  for (TaskId id : expected) CHECK(table.take(id).task != nullptr);
  CHECK(table.empty());
}

TEST(tasks_woken_by_callbacks_come_before_tasks_woken_by_due_timers) {
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  std::vector<std::string> log;
  Waker by_callback, by_timer;
  auto logging_task = [&log](const char* tag, Waker& keep) {
    return task([&log, &keep, tag, polls = 0](const Waker& w) mutable {
      if (polls++ > 0) log.push_back(tag);
      keep = w.clone();
      return Poll::Pending;
    });
  };
  core->spawn(logging_task("task of the callback", by_callback));
  core->spawn(logging_task("task of the timer", by_timer));
  loop->loop_iteration();  // first polls: the wakers are kept
  // Both ready for the same iteration: the soon phase comes first.
  core->add_timer(Instant::now(), by_timer.clone(), false);
  core->push_soon([&] {
    log.push_back("callback");
    by_callback.wake_by_ref();
  });
  loop->loop_iteration();
  CHECK_EQ(log, (std::vector<std::string>{"callback", "task of the callback", "task of the timer"}));
}

TEST(additions_from_the_loop_thread_and_other_threads_keep_their_order) {
  // Inside a run the loop thread queues without the mutex while nothing
  // foreign is queued; what another thread adds in between (joined, so it
  // certainly came in between) must still run between the two.
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  std::vector<std::string> log;
  auto add_soon = [&](std::string tag) { core->push_soon([&log, tag] { log.push_back(tag); }); };
  auto from_another_thread = [](auto fn) { std::thread(fn).join(); };

  std::vector<Waker> wakers(3);
  auto logging_task = [&](std::string tag, size_t slot) {
    return task([&, tag, slot, polls = 0](const Waker& w) mutable {
      if (polls++ > 0) log.push_back(tag);
      wakers[slot] = w.clone();
      return polls == 2 ? Poll::Ready : Poll::Pending;
    });
  };
  for (size_t i = 0; i < 3; ++i) core->spawn(logging_task("task" + std::to_string(i), i));
  // Queued by a task's first poll, so it runs in the second iteration, when
  // the queues start empty.
  core->spawn(task([&](const Waker&) {
    core->push_soon([&] {
      add_soon("soon a");
      from_another_thread([&] { add_soon("soon b"); });
      add_soon("soon c");
      wakers[0].wake_by_ref();
      from_another_thread([&] { wakers[1].wake_by_ref(); });
      wakers[2].wake_by_ref();
      core->spawn(task([&](const Waker&) {
        log.push_back("spawned");
        return Poll::Ready;
      }));
      from_another_thread([&] {
        core->spawn(task([&](const Waker&) {
          log.push_back("spawned elsewhere");
          return Poll::Ready;
        }));
      });
      from_another_thread([&] { core->push_soon([&] { log.push_back("soon d"); core->request_stop(); }); });
    });
    return Poll::Pending;
  }));
  loop->run_until_stopped();
  CHECK_EQ(log, (std::vector<std::string>{"task0", "task1", "task2", "spawned", "spawned elsewhere",
                                          "soon a", "soon b", "soon c", "soon d"}));
  CHECK_EQ(core->task_count(), size_t{1});  // the task that queued the rest
  wakers.clear();
}

TEST(run_ends_with_the_last_task_and_leaves_callbacks_unrun) {
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  bool ran = false;
  auto alive = std::make_shared<int>(0);
  std::weak_ptr<int> watch = alive;
  int polls = 0;
  core->spawn(task([&, alive](const Waker&) {
    ++polls;
    core->push_soon([&ran, alive] { ran = true; });
    core->call_later([&ran, alive] { ran = true; }, 0.0);
    return Poll::Ready;
  }));
  alive.reset();
  loop->run();
  CHECK_EQ(polls, 1);
  CHECK(!ran);
  CHECK(!watch.expired());  // still queued in the core
  loop.reset();
  CHECK(!ran);
  CHECK(watch.expired());   // dropped unrun when the loop closed
}

TEST(task_polled_without_runtime_context_panics) {
  auto loop = new_loop();
  bool polled = false;
  loop->core()->spawn(task([&](const Waker&) {
    polled = true;
    return Poll::Ready;
  }));
  CHECK_PANIC(loop->loop_iteration(), kRuntimeNotInitialized);
  CHECK(!polled);
}

TEST(runtime_context_lookup) {
  CHECK(runtime::try_current() == nullptr);
  CHECK_PANIC(runtime::current(), kRuntimeNotInitialized);
  CHECK_PANIC(runtime::take_current_waker(), kRuntimeNotInitialized);
  runtime::clear_runtime();  // nothing to clear: no effect

  auto loop = new_loop();
  {
    ContextScope ctx(*loop);
    CHECK(runtime::current().core == loop->core());
    Waker w = Waker::for_task(loop->core(), 9);
    {
      runtime::CurrentWakerScope scope(w);
      Waker taken = runtime::take_current_waker();
      CHECK(taken && taken.wakes_same_task(w));
      CHECK(!runtime::take_current_waker());  // taken, not copied
    }
    {
      runtime::CurrentWakerScope scope(w);
    }
    CHECK(!runtime::current().current_waker);  // cleared after the step
    {
      runtime::CurrentTaskScope scope(9);
      CHECK(runtime::current().current_task == std::optional<TaskId>(9));
    }
    CHECK(!runtime::current().current_task);
  }
  CHECK(runtime::try_current() == nullptr);
}

TEST(wakers_keep_the_core_not_the_loop) {
  auto loop = new_loop();
  std::weak_ptr<SharedCore> core = loop->core();
  Waker a = Waker::for_task(loop->core(), 3);
  Waker b = a.clone();
  Waker other = Waker::for_task(loop->core(), 4);
  CHECK(a.wakes_same_task(b));
  CHECK(!a.wakes_same_task(other));
  CHECK(Waker::for_task(loop->core(), 3).wakes_same_task(a));  // same id, another poll
  other = Waker{};
  loop.reset();
  CHECK(!core.expired());
  CHECK(core.lock()->is_closed());
  std::move(a).wake();  // after close: harmless
  CHECK(!a);
  CHECK(!core.expired());
  b = Waker{};
  CHECK(core.expired());
}

TEST(closing_the_loop_releases_what_its_queues_hold) {
  // Timer entries hold wakers, and wakers hold the core: a core whose loop
  // has closed must not be kept alive by its own queues.
  auto loop = new_loop();
  std::weak_ptr<SharedCore> core = loop->core();
  loop->core()->add_timer(after(std::chrono::seconds(60)), Waker::for_task(loop->core(), 1), false);
  Parked parked;
  {
    ContextScope ctx(*loop);
    loop->core()->spawn(parked.make());
    loop->loop_iteration();
  }
  parked.waker = Waker{};
  // A task that holds its own waker (as a parked coroutine does).
  auto holder = std::make_shared<Waker>();
  loop->core()->spawn(task([holder](const Waker&) { return Poll::Pending; }));
  *holder = Waker::for_task(loop->core(), 3);
  holder.reset();
  loop.reset();
  CHECK(core.expired());
}

// ---- cross-thread wake-ups -------------------------------------------------------------------

TEST(wake_from_a_native_thread_ends_a_long_wait) {
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  Parked parked;
  core->spawn(parked.make());
  loop->loop_iteration();
  CHECK_EQ(parked.polls, 1);
  // Without the doorbell the loop would sleep until this timer, 30 s away.
  core->add_timer(after(std::chrono::seconds(30)), parked.waker.clone(), false);
  Waker remote = parked.waker.clone();
  parked.done = true;
  std::thread waker_thread([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::move(remote).wake();
  });
  auto start = std::chrono::steady_clock::now();
  loop->run();
  double took = seconds_since(start);
  waker_thread.join();
  CHECK_EQ(parked.polls, 2);
  CHECK(took < 10.0);
}

TEST(stop_request_from_another_thread) {
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  Parked parked;
  core->spawn(parked.make());
  // A stop requested while no run is active is forgotten by the next run.
  core->request_stop();
  loop->loop_iteration();
  core->add_timer(after(std::chrono::seconds(30)), parked.waker.clone(), false);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    core->request_stop();
  });
  auto start = std::chrono::steady_clock::now();
  loop->run();
  double took = seconds_since(start);
  stopper.join();
  CHECK(took >= 0.03 && took < 10.0);
  CHECK_EQ(core->task_count(), size_t{1});  // stopped, not finished
  parked.waker = Waker{};
}

TEST(many_threads_waking_one_task) {
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  constexpr int kThreads = 4;
  constexpr int kWakes = 2000;
  std::atomic<int> finished{0};
  int polls = 0;
  std::vector<Waker> wakers;
  core->spawn(task([&](const Waker& w) {
    if (++polls == 1) {
      for (int i = 0; i < kThreads; ++i) wakers.push_back(w.clone());
    }
    return finished.load() == kThreads ? Poll::Ready : Poll::Pending;
  }));
  loop->loop_iteration();
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      Waker own = std::move(wakers[i]);
      for (int n = 0; n < kWakes; ++n) own.clone().wake();
      finished.fetch_add(1);
      std::move(own).wake();  // after the count: the last poll sees it
    });
  }
  loop->run();
  for (auto& t : threads) t.join();
  CHECK_EQ(finished.load(), kThreads);
  CHECK(polls >= 2 && polls <= 1 + kThreads * (kWakes + 1));
}

TEST(wakes_after_close_never_touch_a_reused_descriptor) {
  std::set<int> before = open_fds();
  auto loop = new_loop();
  int wake_fd = -1;
  for (int fd : open_fds()) {
    if (!before.count(fd) && fd_target(fd) == "anon_inode:[eventfd]") wake_fd = fd;
  }
  CHECK(wake_fd >= 0);
  auto core = loop->core();
  Waker waker = Waker::for_task(core, 1);
  int p[2];
  CHECK(pipe2(p, O_NONBLOCK) == 0);
  loop.reset();

  // The eventfd's number now belongs to the write end of a pipe.
  CHECK(::dup2(p[1], wake_fd) == wake_fd);
  waker.wake_by_ref();
  std::thread([w = waker.clone()]() mutable { std::move(w).wake(); }).join();
  core->request_stop();
  core->push_soon([] {});
  core->call_later([] {}, 0.0);
  core->add_timer(Instant::now(), waker.clone(), true);
  core->spawn(task([](const Waker&) { return Poll::Ready; }));
  CHECK(!readable_now(p[0]));
  ::close(wake_fd);
  ::close(p[0]);
  ::close(p[1]);
}

// ---- event-driven connections ------------------------------------------------------------

// A callback-face handler that logs what it hears and can run an extra step.
class LogHandler final : public ConnHandler {
 public:
  LogHandler(std::vector<std::string>& log, std::string tag, std::function<void()> extra = {})
      : log_(log), tag_(std::move(tag)), extra_(std::move(extra)) {}
  void readable(Connection& conn) override {
    char buf[256];
    ssize_t n = conn.receive(buf, sizeof buf);
    log_.push_back(tag_ + ":" + (n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::to_string(n)));
    if (extra_) std::exchange(extra_, nullptr)();
  }
  void pause_writing() override { log_.push_back(tag_ + ":pause"); }
  void resume_writing() override { log_.push_back(tag_ + ":resume"); }
  void closed(int err) override { log_.push_back(tag_ + ":closed " + std::to_string(err)); }

 private:
  std::vector<std::string>& log_;
  std::string tag_;
  std::function<void()> extra_;
};

std::shared_ptr<Connection> adopt_or_die(const std::shared_ptr<SharedCore>& core, int fd) {
  std::shared_ptr<Connection> conn;
  if (Connection::adopt(core, fd, conn) != 0) std::abort();
  return conn;
}

TEST(connection_reads_on_demand_and_wakes_its_reader) {
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  int sv[2];
  CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
  auto conn = adopt_or_die(core, sv[0]);

  // Bytes nobody reads stay in the kernel and wake nothing: an iteration
  // with no work waits its idle time out instead of spinning.
  CHECK(::write(sv[1], "abc", 3) == 3);
  auto start = std::chrono::steady_clock::now();
  loop->loop_iteration();
  CHECK(seconds_since(start) > 0.05);

  Parked reader;
  core->spawn(reader.make());
  loop->loop_iteration();  // first poll: takes the waker
  char buf[8];
  CHECK_EQ(conn->receive(buf, sizeof buf, &reader.waker), ssize_t{3});
  CHECK_EQ(conn->receive(buf, sizeof buf, &reader.waker), ssize_t{-EAGAIN});
  CHECK(!reader.waker);  // parked
  CHECK(::write(sv[1], "de", 2) == 2);
  loop->loop_iteration();
  CHECK_EQ(reader.polls, 2);
  CHECK_EQ(conn->receive(buf, sizeof buf), ssize_t{2});

  // The peer's end: the read sees 0, and a hung-up socket nobody waits on
  // does not make the loop spin.
  ::close(sv[1]);
  CHECK_EQ(conn->receive(buf, sizeof buf), ssize_t{0});
  core->push_soon([] {});
  loop->loop_iteration();  // drains the doorbell the wake rang
  start = std::chrono::steady_clock::now();
  loop->loop_iteration();
  CHECK(seconds_since(start) > 0.05);
  reader.done = true;
  conn->abort();
  CHECK_EQ(conn->receive(buf, sizeof buf), ssize_t{-EBADF});
  CHECK_EQ(conn->write("x", 1), EBADF);
}

TEST(connection_buffers_what_the_kernel_refuses_and_flushes_it) {
  auto loop = new_loop();
  auto core = loop->core();
  int sv[2];
  CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv) == 0);
  auto conn = adopt_or_die(core, sv[0]);
  std::vector<std::string> log;
  conn->set_handler(std::make_shared<LogHandler>(log, "c"));
  conn->set_write_limits(4096, 1024);
  const std::string payload(4 << 20, 'p');
  CHECK_EQ(conn->write(payload.data(), payload.size()), 0);
  const size_t buffered = conn->buffered();
  CHECK(buffered > 0 && buffered < payload.size());
  CHECK_EQ(log, (std::vector<std::string>{"c:pause"}));

  std::string received;
  char buf[65536];
  while (received.size() < payload.size()) {
    ssize_t n = ::read(sv[1], buf, sizeof buf);
    if (n > 0) received.append(buf, static_cast<size_t>(n));
    loop->loop_iteration();
  }
  CHECK(received == payload);
  CHECK_EQ(conn->buffered(), size_t{0});
  CHECK_EQ(log, (std::vector<std::string>{"c:pause", "c:resume"}));

  // A write after the end of writing is refused; close() then reports 0.
  CHECK_EQ(conn->write_eof(), 0);
  CHECK_EQ(conn->write("x", 1), EPIPE);
  CHECK_EQ(::read(sv[1], buf, sizeof buf), ssize_t{0});
  conn->close();
  loop->loop_iteration();
  CHECK_EQ(log.back(), std::string("c:closed 0"));
  ::close(sv[1]);
}

TEST(a_close_wakes_every_parked_reader_and_writer) {
  // More waiters than a readiness event keeps in place: every one is woken
  // once, and each then sees the connection closed.
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  int sv[2];
  CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv) == 0);
  auto conn = adopt_or_die(core, sv[0]);
  const std::string big(8 << 20, 'w');
  CHECK_EQ(conn->write(big.data(), big.size()), 0);  // writers will wait for a drain
  constexpr int kTasks = 5;
  std::vector<int> polls(kTasks, 0);
  std::vector<ssize_t> outcomes(kTasks, 0);
  for (int i = 0; i < kTasks; ++i) {
    core->spawn(task([&, i](const Waker& waker) {
      const bool reader = i % 2 == 0;
      Waker parked = waker.clone();
      char byte;
      ssize_t r = reader ? conn->receive(&byte, 1, &parked) : conn->await_drained(0, parked);
      ++polls[static_cast<size_t>(i)];
      if (reader ? r == -EAGAIN : r == 0) return Poll::Pending;
      outcomes[static_cast<size_t>(i)] = r;
      return Poll::Ready;
    }));
  }
  loop->loop_iteration();
  CHECK_EQ(polls, std::vector<int>(kTasks, 1));
  conn->abort();
  loop->loop_iteration();
  CHECK_EQ(polls, std::vector<int>(kTasks, 2));
  CHECK_EQ(outcomes, (std::vector<ssize_t>{-EBADF, -EBADF, -EBADF, -EBADF, -EBADF}));
  CHECK_EQ(core->task_count(), size_t{0});
  ::close(sv[1]);
}

TEST(light_mutex_excludes_and_wakes_its_sleepers) {
  LightMutex mu;
  CHECK(mu.try_lock());
  CHECK(!mu.try_lock());
  mu.unlock();
  // Threads fight over it with a little work inside, so that some sleep:
  // a lost wakeup hangs the test, a broken exclusion loses increments.
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  long counter = 0;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard lock(mu);
        if (inside.fetch_add(1) != 0) overlapped = true;
        counter = counter + 1;
        if (i % 512 == 0) std::this_thread::yield();
        inside.fetch_sub(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  CHECK(!overlapped.load());
  CHECK_EQ(counter, long{kThreads} * kRounds);
}

TEST(an_event_for_a_closed_connection_never_reaches_the_next_one) {
  auto loop = new_loop();
  auto core = loop->core();
  int a[2], b[2];
  CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a) == 0);
  CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, b) == 0);
  auto first = adopt_or_die(core, a[0]);
  auto second = adopt_or_die(core, b[0]);
  std::vector<std::string> log;
  std::shared_ptr<Connection> third;
  int c[2] = {-1, -1};
  // Both become readable in one epoll batch. Whichever runs first closes
  // the other and puts a new connection on its descriptor number, with
  // bytes waiting: the closed one's event must not reach it.
  auto replace = [&](std::shared_ptr<Connection>& victim, int victim_fd) {
    return [&, victim_fd] {
      victim->abort();
      CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, c) == 0);
      CHECK_EQ(c[0], victim_fd);
      CHECK(::write(c[1], "new", 3) == 3);
      third = adopt_or_die(core, c[0]);
      third->set_handler(std::make_shared<LogHandler>(log, "third"));
    };
  };
  first->set_handler(std::make_shared<LogHandler>(log, "first", replace(second, b[0])));
  second->set_handler(std::make_shared<LogHandler>(log, "second", replace(first, a[0])));
  first->set_reading(true);
  second->set_reading(true);
  CHECK(::write(a[1], "A", 1) == 1);
  CHECK(::write(b[1], "B", 1) == 1);
  core->push_soon([] {});
  loop->loop_iteration();
  // One ran; the other's event was dropped, and only its close was heard.
  const bool first_ran = !log.empty() && log[0] == "first:A";
  CHECK_EQ(log, (std::vector<std::string>{first_ran ? "first:A" : "second:B",
                                           first_ran ? "second:closed 0" : "first:closed 0"}));
  // The new connection reads only once it asks to.
  third->set_reading(true);
  loop->loop_iteration();
  CHECK_EQ(log.back(), std::string("third:new"));
  first->abort();
  second->abort();
  third->abort();
  loop->loop_iteration();
  for (int fd : {a[1], b[1], c[1]}) ::close(fd);
}

// ---- interruption and signal wakeups -------------------------------------------------

TEST(interrupted_run_keeps_what_it_did_not_reach_first_in_line) {
  auto loop = new_loop();
  auto core = loop->core();
  ContextScope ctx(*loop);
  std::vector<std::string> log;
  auto logging_task = [&](std::string tag, bool interrupt) {
    return task([&log, tag, interrupt](const Waker&) {
      log.push_back(tag);
      if (interrupt) EventLoop::interrupt_current_run();
      return Poll::Ready;
    });
  };
  CHECK(!EventLoop::interrupt_current_run());  // no run on this thread
  core->push_soon([&] { log.push_back("a"); });
  core->push_soon([&] {
    log.push_back("b");
    EventLoop::interrupt_current_run();
    core->push_soon([&] { log.push_back("d"); });  // added during the batch
  });
  core->push_soon([&] { log.push_back("c"); });
  core->spawn(logging_task("t1", false));
  loop->run();
  CHECK(loop->interrupted());
  CHECK_EQ(log, (std::vector<std::string>{"a", "b"}));
  CHECK_EQ(core->task_count(), size_t{1});

  // The next run takes up where the interruption left off; here a task
  // interrupts, and the task woken after it waits for a third run.
  core->spawn(logging_task("t2", true));
  core->spawn(logging_task("t3", false));
  loop->run();
  CHECK(loop->interrupted());
  CHECK_EQ(log, (std::vector<std::string>{"a", "b", "c", "d", "t1", "t2"}));
  loop->run();
  CHECK(!loop->interrupted());
  CHECK_EQ(log.back(), std::string("t3"));
  CHECK_EQ(core->task_count(), size_t{0});
}

namespace {
void ignore_signal(int) {}
}

// A parked task with a timer 30 s away: only the signal wakeup (or the
// interrupted wait) can end the run early.
TEST(signal_wakeup_ends_an_idle_wait_from_any_thread) {
  for (bool through_eintr : {false, true}) {
    auto loop = new_loop();
    auto core = loop->core();
    ContextScope ctx(*loop);
    std::unique_ptr<SignalWakeup> wakeup;
    CHECK_EQ(SignalWakeup::create(wakeup), 0);
    int checks = 0;
    loop->watch_signals(*wakeup, [&] {
      ++checks;
      EventLoop::interrupt_current_run();
    });
    Parked parked;
    core->spawn(parked.make());
    loop->loop_iteration();
    core->add_timer(after(std::chrono::seconds(30)), parked.waker.clone(), false);

    struct sigaction action{}, previous{};
    action.sa_handler = ignore_signal;  // no SA_RESTART: epoll_wait fails with EINTR
    sigaction(SIGUSR1, &action, &previous);
    const pthread_t loop_thread = pthread_self();
    std::thread sender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (through_eintr) {
        pthread_kill(loop_thread, SIGUSR1);
      } else {
        wakeup->notify();  // what the handler does when the signal lands elsewhere
      }
    });
    auto start = std::chrono::steady_clock::now();
    loop->run();
    double took = seconds_since(start);
    sender.join();
    sigaction(SIGUSR1, &previous, nullptr);
    CHECK(took < 10.0);
    CHECK(checks >= 1);
    CHECK(loop->interrupted());
    CHECK(!readable_now(wakeup->read_fd()));  // drained for the next wait
    CHECK_EQ(core->task_count(), size_t{1});
    loop->unwatch_signals();
    parked.waker = Waker{};
  }
}

// ---- the pool's extra threads -------------------------------------------------------------

// Jobs that all wait for one another: they can end only if every one of
// them is running at once.
struct Rendezvous {
  explicit Rendezvous(int parties) : missing(parties) {}
  bool arrive_and_wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mu);
    if (--missing == 0) all_here.notify_all();
    return all_here.wait_for(lock, limit, [&] { return missing == 0; });
  }
  std::mutex mu;
  std::condition_variable all_here;
  int missing;
};

template <class Pred>
bool wait_until(Pred pred) {
  auto start = std::chrono::steady_clock::now();
  while (!pred() && seconds_since(start) < 30) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return pred();
}

TEST(growing_jobs_that_wait_on_each_other_all_run_and_extra_threads_end_when_idle) {
  auto pool = TaskScheduler::start(std::chrono::milliseconds(50));
  constexpr int kJobs = TaskScheduler::kWorkers + 3;
  Rendezvous meeting(kJobs);
  std::atomic<int> met{0};
  std::atomic<int> extra{0};
  for (int i = 0; i < kJobs; ++i) {
    pool->submit_growing([&] {
      if (on_extra_pool_thread()) ++extra;
      if (meeting.arrive_and_wait(std::chrono::seconds(20))) ++met;
    });
  }
  CHECK(wait_until([&] { return met.load() == kJobs; }));
  CHECK(extra.load() >= kJobs - TaskScheduler::kWorkers);
  // With the four free again, neither kind of job goes to an extra thread.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::atomic<int> later_ran{0};
  std::atomic<bool> later_on_extra{false};
  auto later = [&] {
    if (on_extra_pool_thread()) later_on_extra = true;
    ++later_ran;
  };
  pool->submit(later);
  pool->submit_growing(later);
  CHECK(wait_until([&] { return later_ran.load() == 2; }));
  CHECK(!later_on_extra.load());
  CHECK(wait_until([&] { return pool->extra_threads() == 0; }));
}

// ---- main ------------------------------------------------------------------------------------

namespace {

const char* volatile g_running_test = "";

// The alarm of a hung test (or ctest's SIGTERM at its limit): names the test,
// prints the stack of the thread that took the signal (often the test's own),
// and ends the run. Only async-signal-safe calls; backtrace() was primed in main.
void on_deadline(int) {
  const char* name = g_running_test;
  const char head[] = "\n*** time is up in engine test ";
  (void)!::write(2, head, sizeof head - 1);
  (void)!::write(2, name, std::strlen(name));
  (void)!::write(2, "\n", 1);
  void* frames[64];
  backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
  ::_exit(3);
}

unsigned deadline_seconds() {
  const char* scale = std::getenv("VELKOR_TIME_SCALE");
  const int factor = scale ? std::atoi(scale) : 1;
  return 60u * static_cast<unsigned>(std::max(factor, 1));
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  void* primer[1];
  (void)backtrace(primer, 1);  // loads the unwinder now, not in the handler
  signal(SIGALRM, on_deadline);
  signal(SIGTERM, on_deadline);
  const unsigned deadline = deadline_seconds();
  int ran = 0;
  for (const TestCase& t : registry()) {
    if (argc > 1) {
      bool wanted = false;
      for (int i = 1; i < argc; ++i) wanted = wanted || std::strstr(t.name, argv[i]) != nullptr;
      if (!wanted) continue;
    }
    ++ran;
    const int failures_before = g_failures;
    std::set<int> fds = open_fds();
    std::fprintf(stderr, "%s\n", t.name);
    g_running_test = t.name;
    alarm(deadline);  // a hung test fails the run instead of stalling it
    try {
      t.fn();
    } catch (const std::exception& e) {
      report(__FILE__, __LINE__, std::string("unexpected exception: ") + e.what());
    }
    alarm(0);
    runtime::clear_runtime();
    if (open_fds() != fds) report(__FILE__, __LINE__, std::string(t.name) + " left descriptors open");
    if (g_failures != failures_before) std::fprintf(stderr, "FAILED %s\n", t.name);
  }
  std::fprintf(stderr, "%d tests, %d failed checks\n", ran, g_failures);
  return ran > 0 && g_failures == 0 ? 0 : 1;
}
