#include "task/pool.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "runtime/panic.h"

namespace velkor {

namespace {
thread_local bool t_extra_thread = false;
}  // namespace

bool on_extra_pool_thread() { return t_extra_thread; }

std::shared_ptr<TaskScheduler> TaskScheduler::start(std::chrono::milliseconds extra_idle) {
  std::shared_ptr<TaskScheduler> pool(new TaskScheduler());
  pool->queue_->extra_idle_limit = extra_idle;
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

void TaskScheduler::submit_growing(OnceFunction job) {
  Queue& q = *queue_;
  std::unique_lock lock(q.mu);
  if (q.closed) return;  // discarded: nobody will receive it
  q.growing.push_back({std::move(job), Clock::now()});
  if (q.idle > static_cast<int>(q.jobs.size() + q.growing.size()) - 1) {
    lock.unlock();
    q.ready.notify_one();
  } else if (q.extra_idle > 0) {
    // An idle extra thread sleeps until the first waiting job's patience
    // runs out; only a job that is now first changes that time.
    if (q.growing.size() > 1) return;
    lock.unlock();
    q.extra_ready.notify_all();
  } else {
    maybe_start_extra(queue_);
  }
}

void TaskScheduler::maybe_start_extra(const std::shared_ptr<Queue>& queue) {
  Queue& q = *queue;
  if (q.growing.empty() || q.extra_idle > 0 || q.scout_pending) return;
  try {
    std::thread(extra_loop, queue).detach();
  } catch (const std::system_error&) {
    return;  // the four take the job in their turn
  }
  ++q.extra_threads;
  q.scout_pending = true;
}

int TaskScheduler::extra_threads() const {
  std::lock_guard lock(queue_->mu);
  return queue_->extra_threads;
}

void TaskScheduler::extra_loop(std::shared_ptr<Queue> queue) {
  t_extra_thread = true;
  Queue& q = *queue;
  std::unique_lock lock(q.mu);
  bool scouting = true;  // started for a job, not yet at work
  Clock::time_point idle_since = Clock::now();
  for (;;) {
    Clock::time_point now = Clock::now();
    Clock::time_point wake_at = idle_since + q.extra_idle_limit;
    if (!q.growing.empty()) {
      wake_at = q.growing.front().since + kPatience;
      if (wake_at <= now) {
        OnceFunction job = std::move(q.growing.front().job);
        q.growing.pop_front();
        if (std::exchange(scouting, false)) q.scout_pending = false;
        maybe_start_extra(queue);  // for the jobs still waiting behind it
        lock.unlock();
        std::move(job)();  // consumed: released before the lock is taken again
        lock.lock();
        idle_since = Clock::now();
        continue;
      }
    } else if (wake_at <= now) {
      break;
    }
    ++q.extra_idle;
    q.extra_ready.wait_until(lock, wake_at);
    --q.extra_idle;
  }
  if (scouting) q.scout_pending = false;
  --q.extra_threads;
}

void TaskScheduler::worker_loop(std::shared_ptr<Queue> queue) {
  for (;;) {
    OnceFunction job;
    {
      std::unique_lock lock(queue->mu);
      ++queue->idle;
      queue->ready.wait(lock, [&] {
        return queue->closed || !queue->jobs.empty() || !queue->growing.empty();
      });
      --queue->idle;
      if (!queue->jobs.empty()) {
        job = std::move(queue->jobs.front());
        queue->jobs.pop_front();
        if (!job) return;  // shutdown message
      } else if (!queue->growing.empty()) {
        job = std::move(queue->growing.front().job);
        queue->growing.pop_front();
      } else {
        return;  // closed
      }
    }
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
