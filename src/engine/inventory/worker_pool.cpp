#include "engine/inventory/worker_pool.h"

#include <algorithm>

namespace tamber::engine {

namespace {

// Items taken at a time: enough to make the shared counter cheap, few enough to share the
// work of a folder of a few hundred entries evenly.
constexpr size_t kChunk = 16;

}  // namespace

WorkerPool::WorkerPool(unsigned helpers) {
  for (unsigned i = 0; i < helpers; ++i) {
    helpers_.emplace_back([this] { help(); });
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) {
    helper.join();
  }
}

unsigned WorkerPool::helpersForThisMachine() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores <= 1 ? 0 : std::min(cores - 1, 3u);
}

void WorkerPool::forEach(size_t count, const std::function<void(size_t)>& work) {
  if (helpers_.empty() || count <= kChunk) {
    for (size_t i = 0; i < count; ++i) {
      work(i);
    }
    return;
  }
  {
    // A helper that woke too late for the last loop may still be looking at it.
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return busy_ == 0; });
    work_ = &work;
    count_ = count;
    next_ = 0;
    generation_ += 1;
  }
  wake_.notify_all();
  drain();
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return busy_ == 0; });
  work_ = nullptr;
}

void WorkerPool::drain() {
  for (;;) {
    const size_t begin = next_.fetch_add(kChunk);
    if (begin >= count_) {
      return;
    }
    for (size_t i = begin; i < std::min(begin + kChunk, count_); ++i) {
      (*work_)(i);
    }
  }
}

void WorkerPool::help() {
  unsigned long long seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) {
      return;
    }
    seen = generation_;
    busy_ += 1;
    lock.unlock();
    drain();
    lock.lock();
    busy_ -= 1;
    if (busy_ == 0) {
      finished_.notify_all();
    }
  }
}

}  // namespace tamber::engine
