#include "task/pool.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "runtime/panic.h"

namespace velkor {

std::shared_ptr<TaskScheduler> TaskScheduler::start() {
  std::shared_ptr<TaskScheduler> pool(new TaskScheduler());
  pool->workers_.reserve(kWorkers);
  try {
    for (int i = 0; i < kWorkers; ++i) pool->workers_.emplace_back(worker_loop, pool->queue_);
  } catch (const std::system_error& e) {
    {
      std::lock_guard lock(pool->queue_->mu);
      pool->queue_->closed = true;
    }
    pool->queue_->ready.notify_all();
    for (auto& t : pool->workers_) t.join();
    pool->workers_.clear();
    throw Panic(std::string("failed to spawn thread: ") + e.what());
  }
  return pool;
}

TaskScheduler::~TaskScheduler() {
  for (size_t i = 0; i < workers_.size(); ++i) submit(OnceFunction{});
  for (auto& t : workers_) {
    try {
      t.join();
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "failed to join thread: %s\n", e.what());
      std::abort();  // a fatal runtime error: the pool cannot be torn down
    }
  }
}

void TaskScheduler::submit(OnceFunction job) {
  {
    std::lock_guard lock(queue_->mu);
    if (queue_->closed) return;  // discarded: nobody will receive it
    queue_->jobs.push_back(std::move(job));
  }
  queue_->ready.notify_one();
}

void TaskScheduler::worker_loop(std::shared_ptr<Queue> queue) {
  for (;;) {
    OnceFunction job;
    {
      std::unique_lock lock(queue->mu);
      queue->ready.wait(lock, [&] { return queue->closed || !queue->jobs.empty(); });
      if (queue->jobs.empty()) return;  // closed
      job = std::move(queue->jobs.front());
      queue->jobs.pop_front();
    }
    if (!job) return;  // shutdown message
    std::move(job)();
  }
}

std::shared_ptr<TaskScheduler> global_pool() {
  // Deliberately leaked: the pool must never be torn down at process exit,
  // where joining a worker stuck on a finalising interpreter would hang.
  static auto* pool = new std::shared_ptr<TaskScheduler>(TaskScheduler::start());
  return *pool;
}

}  // namespace velkor
