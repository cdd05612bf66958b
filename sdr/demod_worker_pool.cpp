#include "sdr/demod_worker_pool.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// Waking a sleeping thread costs tens of microseconds (far more on a virtual machine), about
// as long as a whole batch of a block takes. So a thread polls a little before it sleeps:
// an idle worker long enough to catch the next batch of a block that follows at once, the
// submitter for the batch itself. Polling yields the processor, so that on a machine with
// fewer cores than threads the workers are not kept from running. Between the blocks of a
// live receiver every thread still goes to sleep.
constexpr auto idlePoll = std::chrono::microseconds(50);
constexpr auto batchPoll = std::chrono::microseconds(1000);
// A lock is held for a few instructions of bookkeeping: sleeping on it would cost more.
constexpr auto lockPoll = std::chrono::microseconds(50);

template <typename Ready>
bool pollUntil(std::chrono::microseconds limit, Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (uint32_t round = 1;; ++round) {
    if (ready()) return true;
    if (round % 16 == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
  }
}

void acquire(std::unique_lock<std::mutex>& held) {
  if (!pollUntil(lockPoll, [&held] { return held.try_lock(); })) held.lock();
}

}  // namespace

DemodWorkerPool::DemodWorkerPool(uint32_t threadCount) : threadTotal(threadCount) {
  threads.reserve(threadCount);
  for (uint32_t i = 0; i < threadCount; ++i) threads.emplace_back([this] { workerThread(); });
}

DemodWorkerPool::~DemodWorkerPool() { shutdown(); }

void DemodWorkerPool::runTasks(const DemodPoolTask* tasks, uint32_t taskCount) {
  if (threadTotal == 0) {
    // Nobody would ever take them: waiting would never end.
    for (uint32_t i = taskCount; i-- > 0;) tasks[i].function(tasks[i].argument);
    return;
  }
  while (taskCount > 0) {
    const uint32_t batch = std::min(taskCount, maxBatch);
    std::unique_lock<std::mutex> held(lock, std::defer_lock);
    acquire(held);
    if (quit) return;
    pending = batch;
    batchSize = batch;
    taskList = tasks;
    done = 0;
    workPosted.store(true, std::memory_order_relaxed);
    batchFinished.store(false, std::memory_order_relaxed);
    workReady.notify_all();
    held.unlock();
    pollUntil(batchPoll, [this] { return batchFinished.load(std::memory_order_relaxed); });
    acquire(held);
    workDone.wait(held, [&] { return done >= batch || quit; });
    if (failure) {
      std::exception_ptr thrown;
      std::swap(thrown, failure);
      held.unlock();
      std::rethrow_exception(thrown);
    }
    if (quit) return;
    tasks += batch;
    taskCount -= batch;
  }
}

void DemodWorkerPool::shutdown() {
  {
    std::lock_guard<std::mutex> held(lock);
    if (joined) return;
    joined = true;
    quit = true;
    workPosted.store(true, std::memory_order_relaxed);
    batchFinished.store(true, std::memory_order_relaxed);
    workReady.notify_all();
    workDone.notify_all();
  }
  for (std::thread& thread : threads) thread.join();
  threads.clear();
}

void DemodWorkerPool::workerThread() {
  std::unique_lock<std::mutex> held(lock, std::defer_lock);
  acquire(held);
  for (;;) {
    if (pending == 0 && !quit) {
      held.unlock();
      pollUntil(idlePoll, [this] { return workPosted.load(std::memory_order_relaxed); });
      acquire(held);
      workReady.wait(held, [this] { return pending != 0 || quit; });
    }
    if (quit) return;
    // Taken from the last entry to the first.
    const DemodPoolTask task = taskList[--pending];
    if (pending == 0) workPosted.store(false, std::memory_order_relaxed);
    held.unlock();
    std::exception_ptr thrown;
    try {
      task.function(task.argument);
    } catch (...) {
      thrown = std::current_exception();
    }
    acquire(held);
    if (thrown && !failure) failure = thrown;
    // Only the last task of a batch can end the submitter's wait; waking it for every task
    // would cost a futex round trip each.
    if (++done == batchSize) {
      batchFinished.store(true, std::memory_order_relaxed);
      workDone.notify_one();
    }
  }
}
