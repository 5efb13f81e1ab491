#include "engine/index_service.h"

#include <cassert>
#include <ctime>
#include <iostream>

#include "access/failure.h"
#include "engine/indexer.h"

namespace tamber::engine {

IndexService::IndexService(std::string root, std::string dataDir, std::chrono::seconds interval)
    : root_(std::move(root)), dataDir_(std::move(dataDir)), interval_(interval) {
  assert(interval_.count() >= 1);
  std::optional<Inventory> kept = loadInventory(dataDir_);
  if (kept && kept->root == root_) {
    inventory_ = std::make_shared<const Inventory>(std::move(*kept));
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
  return State{root_, inventory_, indexing_, generation_};
}

void IndexService::publish(std::shared_ptr<const Inventory> inventory, bool indexing) {
  std::lock_guard lock(mutex_);
  if (inventory) {
    inventory_ = std::move(inventory);
  }
  indexing_ = indexing;
  generation_ += 1;
}

void IndexService::run() {
  using Clock = std::chrono::system_clock;
  // A kept inventory younger than the interval is still current: indexing a whole home
  // folder again at every start of the app would only wear the disk. One from the future
  // (the clock was set back) is treated as due.
  Clock::time_point due = Clock::now();
  {
    std::lock_guard lock(mutex_);
    if (inventory_) {
      const Clock::time_point finished = Clock::from_time_t(inventory_->finishedAt);
      if (finished <= due && due < finished + interval_) {
        due = finished + interval_;
      }
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
    std::optional<Inventory> inventory = indexFolder(root_, stopping_);
    if (!inventory) {
      return;  // stopped halfway: keep the last complete result
    }
    try {
      saveInventory(dataDir_, *inventory);
    } catch (const BrokerFailure& failure) {
      std::cerr << "larkspan: could not keep the index in " << dataDir_ << ": "
                << failure.description() << std::endl;
    }
    publish(std::make_shared<const Inventory>(std::move(*inventory)), false);
    due = Clock::now() + interval_;
  }
}

}  // namespace tamber::engine
