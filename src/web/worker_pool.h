#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ombrix {

// A fixed number of threads that run jobs (the web page's accepted connections), and a bounded
// queue in front of them: Enqueue waits while the queue is full, so that whoever enqueues (the
// listening thread) slows down instead of memory and threads growing.
class WorkerPool {
 public:
  WorkerPool() = default;
  ~WorkerPool() { Shutdown(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Start(int workers, size_t waiting);
  // Queues the job; waits while `waiting` jobs wait already (unless released).
  void Enqueue(std::function<void()> job);
  // Enqueue no longer waits (its caller is about to be stopped).
  void Release();
  // Runs what is queued, then joins the workers. Safe to call twice.
  void Shutdown();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<std::function<void()>> jobs_;
  size_t waiting_ = 0;
  bool released_ = false;
  bool shutdown_ = false;
  std::vector<std::jthread> threads_;
};

}  // namespace ombrix
