#include "runtime/waker.h"

#include <atomic>
#include <cstdlib>
#include <limits>

#include "runtime/loop.h"

namespace velkor {

namespace {

struct WakerRecord {
  std::atomic<int64_t> refs{1};
  std::shared_ptr<SharedCore> core;
  TaskId task_id;
};

const WakerRecord* record(const void* data) { return static_cast<const WakerRecord*>(data); }

void release(const void* data) {
  auto* rec = const_cast<WakerRecord*>(record(data));
  if (rec->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete rec;
}

extern const RawWakerVTable kVTable;

RawWaker clone_raw(const void* data) {
  auto* rec = const_cast<WakerRecord*>(record(data));
  if (rec->refs.fetch_add(1, std::memory_order_relaxed) == std::numeric_limits<int64_t>::max()) {
    std::abort();  // a reference count this large means memory corruption
  }
  return RawWaker{data, &kVTable};
}

void wake_by_ref_raw(const void* data) { record(data)->core->wake_task(record(data)->task_id); }

void wake_raw(const void* data) {
  wake_by_ref_raw(data);
  release(data);
}

const RawWakerVTable kVTable{clone_raw, wake_raw, wake_by_ref_raw, release};

}  // namespace

bool Waker::wakes_same_task(const Waker& other) const {
  if (raw_.vtable != &kVTable || other.raw_.vtable != &kVTable) return raw_.data == other.raw_.data;
  const WakerRecord* a = record(raw_.data);
  const WakerRecord* b = record(other.raw_.data);
  return a->core == b->core && a->task_id == b->task_id;
}

Waker Waker::for_task(std::shared_ptr<SharedCore> core, TaskId id) {
  auto* rec = new WakerRecord{{1}, std::move(core), id};
  return Waker(RawWaker{rec, &kVTable});
}

}  // namespace velkor
