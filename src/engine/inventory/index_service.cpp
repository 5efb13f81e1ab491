#include "engine/inventory/index_service.h"

#include <cassert>
#include <iostream>

#include "base/failure.h"
#include "engine/inventory/index_store.h"
#include "engine/inventory/indexer.h"

namespace tamber::engine {

namespace {

// How long a kept result is served before a due run starts.
constexpr std::chrono::seconds kStartupGrace{3};

}  // namespace

IndexService::IndexService(std::string root, std::string dataDir, std::chrono::seconds interval)
    : root_(std::move(root)), dataDir_(std::move(dataDir)), interval_(interval) {
  assert(interval_.count() >= 1);
  try {
    const std::unique_ptr<IndexReader> kept = IndexReader::open(dataDir_);
    if (kept && kept->scan().root == root_) {
      scan_ = std::make_shared<const ScanRecord>(kept->scan());
    }
  } catch (const Failure& failure) {
    std::cerr << "larkspan: could not read the index kept in " << dataDir_ << ": "
              << failure.description() << std::endl;
  }
}

IndexService::~IndexService() {
  stop();
}

void IndexService::start() {
  assert(!thread_.joinable());
  thread_ = std::thread([this] { run(); });
}

void IndexService::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void IndexService::scanNow() {
  {
    std::lock_guard lock(mutex_);
    scanRequested_ = true;
  }
  wake_.notify_all();
}

IndexService::State IndexService::state() const {
  std::lock_guard lock(mutex_);
  State state{root_, dataDir_, scan_, indexing_, 0, 0, generation_};
  if (indexing_) {
    state.entriesSeen = entriesSeen_.load(std::memory_order_relaxed);
    state.indexingMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - indexingSince_)
                           .count();
  }
  return state;
}

void IndexService::publish(std::shared_ptr<const ScanRecord> scan, bool indexing) {
  std::lock_guard lock(mutex_);
  if (scan) {
    scan_ = std::move(scan);
  }
  if (indexing) {
    entriesSeen_ = 0;
    indexingSince_ = std::chrono::steady_clock::now();
  }
  indexing_ = indexing;
  generation_ += 1;
}

void IndexService::run() {
  using Clock = std::chrono::system_clock;
  // A kept index younger than the interval is still current: indexing a whole home folder
  // again at every start of the app would only wear the disk. One from the future (the
  // clock was set back) is treated as due.
  Clock::time_point due = Clock::now();
  {
    std::lock_guard lock(mutex_);
    if (scan_) {
      const Clock::time_point finished = Clock::from_time_t(scan_->finishedAt);
      if (finished <= due && due < finished + interval_) {
        due = finished + interval_;
      }
      due = std::max(due, Clock::now() + kStartupGrace);
    }
  }

  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, due, [&] { return stopping_ || scanRequested_; });
      if (stopping_) {
        return;
      }
      if (!scanRequested_ && Clock::now() < due) {
        continue;  // woken early by the clock's own wait; not yet due
      }
      scanRequested_ = false;
    }

    publish(nullptr, true);
    std::shared_ptr<const ScanRecord> finished;
    try {
      std::optional<ScanRecord> scan = indexFolder(root_, dataDir_, stopping_, &entriesSeen_);
      if (!scan) {
        return;  // stopped halfway: the last complete index stays
      }
      finished = std::make_shared<const ScanRecord>(std::move(*scan));
    } catch (const Failure& failure) {
      std::cerr << "larkspan: could not keep the index in " << dataDir_ << ": "
                << failure.description() << std::endl;
    }
    publish(std::move(finished), false);
    due = Clock::now() + interval_;
  }
}

}  // namespace tamber::engine
