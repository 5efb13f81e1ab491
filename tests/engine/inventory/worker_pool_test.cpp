// The walk's pipeline: whatever the room and the number of helpers, every item comes back once,
// in the order it was pushed, with its work done exactly once, and a full queue never stalls.
#include "engine/inventory/worker_pool.h"

#include <gtest/gtest.h>

#include <thread>

namespace tamber::engine {
namespace {

struct Item {
  int number = 0;
  int worked = 0;
};

TEST(OrderedWork, ReturnsEveryItemOnceInOrderWithItsWorkDone) {
  for (const size_t capacity : {1, 2, 5, 64}) {
    for (const unsigned helpers : {0u, 1u, 3u}) {
      OrderedWork<Item> work(capacity, helpers, [](Item& item) { item.worked += 1; });
      constexpr int kItems = 2000;
      std::thread producer([&] {
        for (int i = 0; i < kItems; ++i) {
          // Some items need no work, as a folder's entering and leaving do not.
          ASSERT_TRUE(work.push(Item{i, 0}, i % 3 != 0));
        }
        work.finish();
      });
      int expected = 0;
      while (std::optional<Item> item = work.pop()) {
        ASSERT_EQ(item->number, expected) << "capacity " << capacity << ", helpers " << helpers;
        EXPECT_EQ(item->worked, expected % 3 != 0 ? 1 : 0);
        expected += 1;
      }
      producer.join();
      EXPECT_EQ(expected, kItems) << "capacity " << capacity << ", helpers " << helpers;
    }
  }
}

TEST(OrderedWork, CloseReleasesAProducerWaitingForRoom) {
  OrderedWork<Item> work(2, 1, [](Item&) {});
  std::thread producer([&] {
    int pushed = 0;
    while (work.push(Item{pushed, 0}, true)) {
      pushed += 1;
    }
    EXPECT_LE(pushed, 2) << "nothing was taken: there was room for two";
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // most likely waiting by now
  work.close();
  producer.join();
  EXPECT_FALSE(work.pop().has_value());
}

}  // namespace
}  // namespace tamber::engine
