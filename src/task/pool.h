#pragma once
// The process-wide pool of four workers for blocking calls.
//
// One unbounded FIFO job queue (mutex + condition variable) feeds the workers;
// jobs are taken in submission order across every loop of the process. A job
// is a OnceFunction; an empty one is the shutdown message that ends one worker.
// The pool knows nothing of Python: the jobs that deferred calls submit attach
// to the interpreter themselves.
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

  // Starts the workers; throws Panic("failed to spawn thread") if one cannot
  // be started (the ones already started then end).
  static std::shared_ptr<TaskScheduler> start();
  // Sends one shutdown message per worker and joins them in start order.
  ~TaskScheduler();
  TaskScheduler(const TaskScheduler&) = delete;
  TaskScheduler& operator=(const TaskScheduler&) = delete;

  // Never blocks; the job runs on some worker in submission order.
  void submit(OnceFunction job);

 private:
  struct Queue {
    std::mutex mu;
    std::condition_variable ready;
    std::deque<OnceFunction> jobs;
    bool closed = false;
  };
  TaskScheduler() = default;
  static void worker_loop(std::shared_ptr<Queue> queue);

  std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
  std::vector<std::thread> workers_;
};

// GLOBAL_POOL: created by the first caller, never released for the life of
// the process (the workers run until it exits).
std::shared_ptr<TaskScheduler> global_pool();

}  // namespace velkor
