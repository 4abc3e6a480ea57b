#include "web/worker_pool.h"

#include <signal.h>

namespace ombrix {

void WorkerPool::Start(int workers, size_t waiting) {
  waiting_ = waiting;
  for (int i = 0; i < workers; ++i) {
    threads_.emplace_back([this] { Work(); });
  }
}

void WorkerPool::Enqueue(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  room_.wait(lock, [this] { return jobs_.size() < waiting_ || released_; });
  jobs_.push_back(std::move(job));
  lock.unlock();
  ready_.notify_one();
}

void WorkerPool::Release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  room_.notify_all();
}

void WorkerPool::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    shutdown_ = true;
  }
  ready_.notify_all();
  threads_.clear();
}

void WorkerPool::Work() {
  // A client that goes away makes a write fail with EPIPE instead of a signal to the process.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return shutdown_ || !jobs_.empty(); });
      if (jobs_.empty()) {
        return;
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    room_.notify_one();
    job();
  }
}

}  // namespace ombrix
