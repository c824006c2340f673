#include "task/pool.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "runtime/panic.h"

namespace velkor {

namespace {
thread_local bool t_extra_thread = false;
}  // namespace

bool on_extra_pool_thread() { return t_extra_thread; }

std::shared_ptr<TaskScheduler> TaskScheduler::start(std::chrono::milliseconds extra_idle) {
  std::shared_ptr<TaskScheduler> pool(new TaskScheduler());
  pool->extras_->idle_limit = extra_idle;
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

bool TaskScheduler::submit_to_free_worker(OnceFunction& job) {
  {
    std::lock_guard lock(queue_->mu);
    if (queue_->closed || queue_->idle <= static_cast<int>(queue_->jobs.size())) return false;
    queue_->jobs.push_back(std::move(job));
  }
  queue_->ready.notify_one();
  return true;
}

void TaskScheduler::submit_growing(OnceFunction job) {
  if (submit_to_free_worker(job)) return;
  Extras& x = *extras_;
  std::unique_lock lock(x.mu);
  x.jobs.push_back(std::move(job));
  if (x.idle >= static_cast<int>(x.jobs.size())) {
    lock.unlock();
    x.ready.notify_one();
    return;
  }
  try {
    std::thread(extra_loop, extras_).detach();
    ++x.threads;
  } catch (const std::system_error&) {
    if (x.threads > 0) return;  // a live extra thread takes it in turn
    // No thread at all: the four take it in their queue's order.
    OnceFunction stranded = std::move(x.jobs.back());
    x.jobs.pop_back();
    lock.unlock();
    submit(std::move(stranded));
  }
}

int TaskScheduler::extra_threads() const {
  std::lock_guard lock(extras_->mu);
  return extras_->threads;
}

void TaskScheduler::extra_loop(std::shared_ptr<Extras> extras) {
  t_extra_thread = true;
  Extras& x = *extras;
  std::unique_lock lock(x.mu);
  for (;;) {
    ++x.idle;
    bool got = x.ready.wait_for(lock, x.idle_limit, [&] { return !x.jobs.empty(); });
    --x.idle;
    if (!got) break;
    OnceFunction job = std::move(x.jobs.front());
    x.jobs.pop_front();
    lock.unlock();
    std::move(job)();  // consumed: released before the lock is taken again
    lock.lock();
  }
  --x.threads;
}

void TaskScheduler::worker_loop(std::shared_ptr<Queue> queue) {
  for (;;) {
    OnceFunction job;
    {
      std::unique_lock lock(queue->mu);
      ++queue->idle;
      queue->ready.wait(lock, [&] { return queue->closed || !queue->jobs.empty(); });
      --queue->idle;
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
