#pragma once
// The process-wide pool of four workers for blocking calls.
//
// One unbounded FIFO job queue (mutex + condition variable) feeds the workers;
// jobs are taken in submission order across every loop of the process. A job
// is a OnceFunction; an empty one is the shutdown message that ends one worker.
// The pool knows nothing of Python: the jobs that deferred calls submit attach
// to the interpreter themselves.
//
// Beside the four, `submit_growing` serves calls that may block on each
// other, from a second queue that the four also take from (after their own).
// A growing job that has waited `kPatience` for them is taken by an extra
// thread instead, started for it unless an idle one is there; so however many
// such calls wait on each other, each gets a thread, while bursts of short
// calls stay on the four. Extra threads end after `extra_idle` without work.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/function.h"

namespace velkor {

class TaskScheduler {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kWorkers = 4;
  static constexpr std::chrono::milliseconds kPatience{50};
  static constexpr std::chrono::milliseconds kExtraIdle{1000};

  // Starts the workers; throws Panic("failed to spawn thread") if one cannot
  // be started (the ones already started then end).
  static std::shared_ptr<TaskScheduler> start(std::chrono::milliseconds extra_idle = kExtraIdle);
  // Sends one shutdown message per worker and joins them in start order.
  ~TaskScheduler();
  TaskScheduler(const TaskScheduler&) = delete;
  TaskScheduler& operator=(const TaskScheduler&) = delete;

  // Never blocks; the job runs on some worker in submission order.
  void submit(OnceFunction job);

  // Never blocks; the job runs on one of the four or, once it has waited
  // kPatience, on an extra thread.
  void submit_growing(OnceFunction job);

  // Extra threads alive now (idle ones included).
  int extra_threads() const;

 private:
  struct Growing {
    OnceFunction job;
    Clock::time_point since;
  };
  struct Queue {
    std::mutex mu;
    std::condition_variable ready;        // the four wait here
    std::condition_variable extra_ready;  // extra threads wait here
    std::deque<OnceFunction> jobs;        // for the four only
    std::deque<Growing> growing;          // for the four or an extra thread
    int idle = 0;                         // of the four, waiting for a job
    int extra_idle = 0;                   // extra threads waiting
    int extra_threads = 0;
    bool scout_pending = false;           // an extra thread started, not yet at work
    bool closed = false;
    std::chrono::milliseconds extra_idle_limit{kExtraIdle};
  };
  TaskScheduler() = default;
  static void worker_loop(std::shared_ptr<Queue> queue);
  static void extra_loop(std::shared_ptr<Queue> queue);
  // Starts an extra thread when growing jobs wait and no extra thread is
  // there to take them. Called with the queue locked.
  static void maybe_start_extra(const std::shared_ptr<Queue>& queue);

  std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
  std::vector<std::thread> workers_;
};

// True on an extra thread of some pool, whose life is short: a job there
// must not tie anything to the thread beyond its own end.
bool on_extra_pool_thread();

// GLOBAL_POOL: created by the first caller, never released for the life of
// the process (the workers run until it exits).
std::shared_ptr<TaskScheduler> global_pool();

}  // namespace velkor
