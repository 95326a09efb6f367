// SmallMutex: mutual exclusion under contention, including holders that sleep while others wait.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "native/locks.hpp"

namespace vantorelle {
namespace {

TEST(SmallMutex, ExcludesUnderContention) {
  static_assert(sizeof(SmallMutex) == 4);
  SmallMutex mutex;
  long counter = 0;  // plain: a lost update or a data race (TSan) shows a broken lock
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        std::lock_guard guard(mutex);
        ++counter;
        // Now and then hold it long enough that the others go to sleep on it.
        if (i % 5000 == t) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 4 * 20000);
}

}  // namespace
}  // namespace vantorelle
