#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tamber::engine {

// Helper threads for the cores this process may use: one fewer than it has, at most three.
unsigned helpersForThisMachine();

// Items that one producer thread makes in order, that helper threads work on side by side
// (and the consumer too, while it waits), and that one consumer thread takes back in the order
// they were made. The work runs on every core; its results are used in the producer's order,
// with no pause between one group of items and the next.
//
// At most `capacity` items are held (waiting, being worked on, or done and not yet taken); the
// producer waits for room. Each item belongs to the thread working on it, then to the consumer.
template <typename Item>
class OrderedWork {
 public:
  // Starts `helpers` threads (none: the consumer does all the work). `work` is called once for
  // every item pushed with `needsWork`, on any of the threads; it may touch only its item.
  OrderedWork(size_t capacity, unsigned helpers, std::function<void(Item&)> work)
      : capacity_(capacity < 1 ? 1 : capacity), work_(std::move(work)) {
    for (unsigned i = 0; i < helpers; ++i) {
      helpers_.emplace_back([this] { help(); });
    }
  }
  // Closes the queue and joins the helpers.
  ~OrderedWork() {
    close();
    for (std::thread& helper : helpers_) {
      helper.join();
    }
  }
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;

  // Producer: appends `item`, waiting while the queue is full. False once closed, with the
  // item dropped.
  bool push(Item item, bool needsWork) {
    std::unique_lock lock(mutex_);
    if (slots_.size() >= capacity_) {
      // Once full, the producer waits until half the room is free: woken for every item
      // taken, it would cost the consumer a wake-up each time.
      producerWaits_ = true;
      room_.wait(lock, [&] { return closed_ || slots_.size() <= capacity_ / 2; });
      producerWaits_ = false;
    }
    if (closed_) {
      return false;
    }
    slots_.push_back(Slot{std::move(item), needsWork ? State::waiting : State::done});
    if (needsWork) {
      waiting_ += 1;
      workToDo_.notify_one();
    }
    // The consumer waits for the oldest item, and works on new ones while it does.
    ready_.notify_one();
    return true;
  }

  // Producer: no more items will come.
  void finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    ready_.notify_one();
  }

  // Consumer: the oldest item once its work is done, working on waiting items in the meantime.
  // Nothing once every item has been taken after finish(), or once closed.
  std::optional<Item> pop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (closed_) {
        return std::nullopt;
      }
      if (!slots_.empty() && slots_.front().state == State::done) {
        std::optional<Item> item(std::move(slots_.front().item));
        slots_.pop_front();
        first_ += 1;
        if (producerWaits_ && slots_.size() <= capacity_ / 2) {
          room_.notify_one();
        }
        return item;
      }
      if (slots_.empty() && finished_) {
        return std::nullopt;
      }
      if (Slot* slot = takeWork()) {
        workOn(*slot, lock);
      } else {
        ready_.wait(lock);
      }
    }
  }

  // Any thread: ends the work. Items not yet taken are dropped; push fails and pop returns
  // nothing from now on. Work under way finishes first.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    room_.notify_all();
    workToDo_.notify_all();
    ready_.notify_all();
  }

 private:
  enum class State { waiting, working, done };
  struct Slot {
    Item item;
    State state;
  };

  // The oldest item waiting for work, now marked as being worked on; nullptr when none.
  // Called with the lock held.
  Slot* takeWork() {
    if (waiting_ == 0) {
      return nullptr;
    }
    if (nextWork_ < first_) {
      nextWork_ = first_;  // items without work were taken meanwhile
    }
    while (nextWork_ - first_ < slots_.size()) {
      Slot& slot = slots_[nextWork_ - first_];
      nextWork_ += 1;
      if (slot.state == State::waiting) {
        slot.state = State::working;
        waiting_ -= 1;
        return &slot;
      }
    }
    return nullptr;
  }

  // Works on `slot` without the lock. A slot being worked on is never taken, so it stays where
  // it is (a deque keeps its elements in place as it grows and shrinks at the ends).
  void workOn(Slot& slot, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    work_(slot.item);
    lock.lock();
    slot.state = State::done;
    if (&slot == &slots_.front()) {
      ready_.notify_one();
    }
  }

  void help() {
    std::unique_lock lock(mutex_);
    for (;;) {
      workToDo_.wait(lock, [&] { return closed_ || waiting_ > 0; });
      if (closed_) {
        return;
      }
      if (Slot* slot = takeWork()) {
        workOn(*slot, lock);
      }
    }
  }

  const size_t capacity_;
  const std::function<void(Item&)> work_;
  std::mutex mutex_;
  std::condition_variable room_;      // the producer waits for room
  std::condition_variable workToDo_;  // helpers wait for items to work on
  std::condition_variable ready_;     // the consumer waits for the oldest item
  std::deque<Slot> slots_;            // guarded by mutex_, oldest first
  size_t first_ = 0;                  // guarded: the number of the oldest slot
  size_t nextWork_ = 0;               // guarded: where to look for waiting items
  size_t waiting_ = 0;                // guarded: items waiting for work
  bool producerWaits_ = false;        // guarded: for room
  bool finished_ = false;             // guarded
  bool closed_ = false;               // guarded
  std::vector<std::thread> helpers_;
};

}  // namespace tamber::engine
