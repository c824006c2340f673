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
// other: such a job goes to a free one of the four when there is one, and
// otherwise to an extra thread, started for it unless an idle extra thread
// is waiting. Extra threads end after `extra_idle` without work, so however
// many such calls wait on each other, each has a thread.
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
  static constexpr int kWorkers = 4;
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

  // Never blocks; the job starts at once on a free worker or an extra thread
  // (it waits only if no thread can be started at all).
  void submit_growing(OnceFunction job);

  // Extra threads alive now (idle ones included).
  int extra_threads() const;

 private:
  struct Queue {
    std::mutex mu;
    std::condition_variable ready;
    std::deque<OnceFunction> jobs;
    int idle = 0;  // workers waiting for a job
    bool closed = false;
  };
  struct Extras {
    std::mutex mu;
    std::condition_variable ready;
    std::deque<OnceFunction> jobs;
    int idle = 0;
    int threads = 0;
    std::chrono::milliseconds idle_limit;
  };
  TaskScheduler() = default;
  static void worker_loop(std::shared_ptr<Queue> queue);
  static void extra_loop(std::shared_ptr<Extras> extras);
  bool submit_to_free_worker(OnceFunction& job);

  std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
  std::shared_ptr<Extras> extras_ = std::make_shared<Extras>();
  std::vector<std::thread> workers_;
};

// True on an extra thread of some pool, whose life is short: a job there
// must not tie anything to the thread beyond its own end.
bool on_extra_pool_thread();

// GLOBAL_POOL: created by the first caller, never released for the life of
// the process (the workers run until it exits).
std::shared_ptr<TaskScheduler> global_pool();

}  // namespace velkor
