// The executors: one item at a time, in posting order, delayed items by their deadline.
#include "dispatch.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

namespace voxlet {
namespace {

using namespace std::chrono_literals;
using Clock = Executor::Clock;

TEST(SerialQueue, RunsItemsInPostingOrderOnOneOtherThread) {
  SerialQueue queue("test");
  std::vector<int> order;  // touched only by the queue's items
  std::vector<std::thread::id> threads;
  std::promise<void> done;
  for (int i = 0; i < 1000; ++i) {
    queue.async([&, i] {
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
    });
  }
  queue.async([&] { done.set_value(); });
  done.get_future().wait();
  ASSERT_EQ(order.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(order[i], i);
  EXPECT_NE(threads.front(), std::this_thread::get_id());
  for (const auto& id : threads) EXPECT_EQ(id, threads.front());
}

TEST(SerialQueue, DelayedItemsRunByDeadlineAndNotBefore) {
  SerialQueue queue("test");
  std::vector<std::string> order;
  std::promise<void> done;
  const auto start = Clock::now();
  Clock::time_point lateRanAt, earlyRanAt;
  queue.asyncAfter(start + 200ms, [&] {
    order.push_back("late");
    lateRanAt = Clock::now();
    done.set_value();
  });
  queue.asyncAfter(start + 50ms, [&] {
    order.push_back("early");
    earlyRanAt = Clock::now();
  });
  queue.async([&] { order.push_back("now"); });  // due at once: ahead of both
  done.get_future().wait();
  EXPECT_EQ(order, (std::vector<std::string>{"now", "early", "late"}));
  EXPECT_GE(earlyRanAt - start, 50ms);
  EXPECT_GE(lateRanAt - start, 200ms);
}

TEST(Executor, ServesOnTheCallingThreadUntilQuit) {
  Executor executor;
  std::vector<int> order;
  std::thread server([&] { executor.serve(); });
  // Posted from several threads; each thread's items keep their order.
  std::vector<std::thread> posters;
  std::vector<std::vector<int>> seen(4);
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) executor.async([&, t, i] { seen[t].push_back(i); });
    });
  }
  for (auto& p : posters) p.join();
  executor.async([&] { executor.quit(); });
  server.join();
  for (int t = 0; t < 4; ++t) {
    ASSERT_EQ(seen[t].size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[t][i], i);
  }
}

TEST(SerialQueue, ItemReleasingTheLastReferenceToItsQueue) {
  // An object whose queue's item drops the last reference to the object itself.
  struct Owner {
    SerialQueue queue{"owner"};
  };
  auto owner = std::make_shared<Owner>();
  std::promise<void> done;
  Owner* raw = owner.get();
  raw->queue.async([owner = std::move(owner), &done]() mutable {
    owner.reset();  // destroys the queue from its own thread
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace
}  // namespace voxlet
