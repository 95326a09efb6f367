// The worker pool: every task of a step runs once and the first exception reaches the caller, in
// the process that made the pool and in a child forked from it while its threads run (the child
// has none of them and must not wait for them).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "native/worker_pool.hpp"

namespace vantorelle {
namespace {

// Runs one step of `n` tasks, each counting itself; task 3 throws when `throw_at_3`. Returns true
// when the exception (if any) reached the caller and every task ran once (at most once after the
// throw: the pool cancels the tasks not yet started).
bool step_runs_every_task(std::size_t n, bool throw_at_3) {
  std::vector<std::atomic<int>> runs(n);
  bool thrown = false;
  try {
    pool::run([&] {
      pool::for_each(n, [&](std::size_t i) {
        runs[i].fetch_add(1);
        if (throw_at_3 && i == 3) throw std::runtime_error("task 3");
      });
    });
  } catch (const std::runtime_error&) {
    thrown = true;
  }
  if (thrown != throw_at_3) return false;
  for (std::size_t i = 0; i < n; ++i) {
    int count = runs[i].load();
    if (count > 1 || (count == 0 && (!throw_at_3 || i == 3))) return false;
  }
  return true;
}

TEST(WorkerPool, RunsEveryTaskOnceAndRethrows) {
  EXPECT_GE(pool::thread_count(), 1u);
  EXPECT_TRUE(step_runs_every_task(64, false));
  EXPECT_TRUE(step_runs_every_task(64, true));
}

// Waits for `pid` at most `seconds`; kills it and returns -1 if it is still running then.
int exit_code_within(pid_t pid, int seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

TEST(WorkerPool, ChildForkedWhileTheThreadsRunUsesThePoolAlone) {
  ASSERT_TRUE(step_runs_every_task(64, false));  // the pool exists before any fork
  std::atomic<bool> stop{false};
  // Keeps the pool's threads busy (stealing, parking, waking) while this thread forks.
  std::thread load([&] {
    while (!stop.load()) step_runs_every_task(32, false);
  });
  std::vector<int> codes;
  for (int i = 0; i < 20; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      bool ok = pool::thread_count() == 1 && step_runs_every_task(64, false) && step_runs_every_task(64, true);
      _exit(ok ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    codes.push_back(exit_code_within(pid, 30));
  }
  stop.store(true);
  load.join();
  for (int code : codes) EXPECT_EQ(code, 0) << "-1: the child hung";
  EXPECT_TRUE(step_runs_every_task(64, false));
}

}  // namespace
}  // namespace vantorelle
