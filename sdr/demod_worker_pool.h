#pragma once
// A fixed set of threads that runs one batch of tasks at a time for the Airspy demodulator.
// The thread that hands a batch over waits until every task of it has finished, so it can
// read the tasks' results without further synchronisation. Threads poll briefly before they
// sleep (see the .cpp), since a wake-up costs as much as a batch.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

struct DemodPoolTask {
  void (*function)(void*);
  void* argument;
};

class DemodWorkerPool {
 public:
  // Starts threadCount threads (0: none).
  explicit DemodWorkerPool(uint32_t threadCount);
  // Shuts the pool down if that has not been done yet.
  ~DemodWorkerPool();
  DemodWorkerPool(const DemodWorkerPool&) = delete;
  DemodWorkerPool& operator=(const DemodWorkerPool&) = delete;

  // Runs the batch and returns when all of it has run, or at once after shutdown. The array
  // stays the caller's; it is only read. Batches above maxBatch tasks run as several batches.
  // A pool without threads runs the tasks on the calling thread. What a task throws is thrown
  // again here, on the calling thread, once the batch has finished (the first of them, when
  // several throw): a worker thread has nobody to hand it to.
  void runTasks(const DemodPoolTask* tasks, uint32_t count);
  // Quits, wakes every thread and a waiting runTasks, joins the threads. A task that has
  // started runs to its end; no further task is started. Idempotent.
  void shutdown();
  uint32_t threadCount() const { return threadTotal; }

  static constexpr uint32_t maxBatch = 255;

 private:
  void workerThread();

  std::mutex lock;
  std::condition_variable workReady;
  std::condition_variable workDone;
  std::vector<std::thread> threads;
  const DemodPoolTask* taskList = nullptr;
  const uint32_t threadTotal;
  uint32_t batchSize = 0;
  uint32_t done = 0;     // tasks of the current batch that have finished
  uint32_t pending = 0;  // tasks of the current batch not yet taken
  bool quit = false;
  std::exception_ptr failure;  // the first exception of the current batch
  // Hints for polling without the lock; the decisions are still made under it.
  std::atomic<bool> workPosted{false};     // a batch has tasks not yet taken
  std::atomic<bool> batchFinished{false};  // the last task of the batch has finished
  bool joined = false;
};
