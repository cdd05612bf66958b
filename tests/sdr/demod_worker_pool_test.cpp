#include "sdr/demod_worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

struct Counted {
  std::atomic<int> runs{0};
  std::thread::id thread;
};

void countRun(void* argument) {
  auto& counted = *static_cast<Counted*>(argument);
  counted.thread = std::this_thread::get_id();
  counted.runs.fetch_add(1);
}

}  // namespace

TEST(DemodWorkerPool, StartsAndShutsDownWithZeroOrIdleThreads) {
  for (uint32_t threads : {0u, 1u, 3u}) {
    DemodWorkerPool pool(threads);
    EXPECT_EQ(pool.threadCount(), threads);
    pool.shutdown();
    pool.shutdown();  // idempotent; the destructor then has nothing left to do
  }
  DemodWorkerPool dropped(2);  // destroyed without an explicit shutdown
}

TEST(DemodWorkerPool, EmptyBatchReturnsAtOnce) {
  DemodWorkerPool pool(2);
  Counted counted;
  DemodPoolTask task{countRun, &counted};
  pool.runTasks(&task, 0);
  pool.runTasks(nullptr, 0);
  EXPECT_EQ(counted.runs.load(), 0);
}

// Every task of a batch has run exactly once, on a worker, when runTasks returns; batches
// reuse the same array.
TEST(DemodWorkerPool, RunsEveryTaskOnceOnTheWorkers) {
  struct Case {
    uint32_t threads, tasks;
  };
  for (const Case c : {Case{1, 1}, Case{4, 3}, Case{4, 4}, Case{4, 10}, Case{3, 255}, Case{2, 600}}) {
    SCOPED_TRACE(testing::Message() << c.tasks << " tasks on " << c.threads << " threads");
    DemodWorkerPool pool(c.threads);
    std::vector<Counted> counted(c.tasks);
    std::vector<DemodPoolTask> tasks;
    for (Counted& entry : counted) tasks.push_back({countRun, &entry});
    for (int batch = 1; batch <= 3; ++batch) {
      pool.runTasks(tasks.data(), c.tasks);
      std::set<std::thread::id> threads;
      for (const Counted& entry : counted) {
        ASSERT_EQ(entry.runs.load(), batch);
        threads.insert(entry.thread);
      }
      EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
      EXPECT_LE(threads.size(), c.threads);
    }
  }
}

// Without threads nobody could take the tasks: they run on the caller instead of hanging it.
TEST(DemodWorkerPool, WithoutThreadsRunsTheBatchOnTheCaller) {
  DemodWorkerPool pool(0);
  std::vector<Counted> counted(5);
  std::vector<DemodPoolTask> tasks;
  for (Counted& entry : counted) tasks.push_back({countRun, &entry});
  pool.runTasks(tasks.data(), 5);
  for (const Counted& entry : counted) {
    EXPECT_EQ(entry.runs.load(), 1);
    EXPECT_EQ(entry.thread, std::this_thread::get_id());
  }
}

// A batch in progress when the pool shuts down: runTasks returns at once, the task that has
// started runs to its end, no further task starts, and every thread is joined.
TEST(DemodWorkerPool, ShutdownReleasesAWaitingRunTasks) {
  struct Gate {
    std::promise<void> started;
    std::shared_future<void> release;
    std::atomic<int> runs{0};
  };
  std::promise<void> open;
  Gate gate;
  gate.release = open.get_future().share();
  const auto blocking = [](void* argument) {
    auto& g = *static_cast<Gate*>(argument);
    if (g.runs.fetch_add(1) == 0) {
      g.started.set_value();
      g.release.wait();
    }
  };
  DemodWorkerPool pool(1);
  // The worker takes the last entry first: it blocks, and the other two wait for it.
  DemodPoolTask tasks[3] = {{blocking, &gate}, {blocking, &gate}, {blocking, &gate}};
  auto running = std::async(std::launch::async, [&] { pool.runTasks(tasks, 3); });
  gate.started.get_future().wait();
  auto stopping = std::async(std::launch::async, [&] { pool.shutdown(); });
  const bool returned = running.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(returned) << "runTasks still waits after shutdown";
  EXPECT_EQ(stopping.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "shutdown must join the worker that is still in its task";
  open.set_value();
  stopping.wait();
  running.wait();
  EXPECT_EQ(gate.runs.load(), 1);
  pool.runTasks(tasks, 3);  // after shutdown: returns without running anything
  EXPECT_EQ(gate.runs.load(), 1);
}

// A task that throws on a worker (memory exhausted, say) must not end the process there: the
// batch still finishes, the caller gets the exception, and the pool takes the next batch.
TEST(DemodWorkerPool, WhatATaskThrowsReachesTheCallerAfterTheBatch) {
  const auto throwing = [](void*) { throw std::bad_alloc(); };
  for (uint32_t threads : {0u, 1u, 3u}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    DemodWorkerPool pool(threads);
    std::vector<Counted> counted(6);
    std::vector<DemodPoolTask> tasks;
    for (Counted& entry : counted) tasks.push_back({countRun, &entry});
    std::vector<DemodPoolTask> failing = tasks;
    failing[1] = {throwing, nullptr};
    failing[4] = {throwing, nullptr};
    EXPECT_THROW(pool.runTasks(failing.data(), 6), std::bad_alloc);
    if (threads > 0) {
      for (size_t i : {0u, 2u, 3u, 5u}) EXPECT_EQ(counted[i].runs.load(), 1) << "task " << i;
    }
    pool.runTasks(tasks.data(), 6);
    for (size_t i : {1u, 4u}) EXPECT_EQ(counted[i].runs.load(), 1) << "task " << i;
  }
}
