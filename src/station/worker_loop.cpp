#include "station/worker_loop.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ombrix {
namespace {

constexpr int kRaisedNice = -10;

}  // namespace

std::string PriorityRefusedText(const std::string& threadName) {
  // RLIMIT_NICE is counted as 20 - nice: a limit of 30 allows nice -10.
  return "The " + threadName + " thread runs at normal priority: the system refused nice " +
         std::to_string(kRaisedNice) +
         ". Grant the program CAP_SYS_NICE, or an RLIMIT_NICE limit of " +
         std::to_string(20 - kRaisedNice) + " (systemd LimitNICE=" + std::to_string(kRaisedNice) +
         ", or a \"nice\" entry in /etc/security/limits.conf).";
}

bool SetCurrentThreadPriority(ThreadPriority priority) {
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  switch (priority) {
    case ThreadPriority::kTimeCritical:
      // The top of the normal scheduling class, not real-time scheduling: a real-time thread that
      // ever spun would take a core from everything else. A negative nice value needs
      // CAP_SYS_NICE or an RLIMIT_NICE allowance; without either the thread stays at normal.
      return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kRaisedNice) == 0;
    case ThreadPriority::kNormal:
      return true;
    case ThreadPriority::kBelowNormal:
      return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 5) == 0;
    case ThreadPriority::kLowest:
      return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19) == 0;
  }
  return false;
}

WorkerLoop::WorkerLoop(std::string name, ThreadPriority priority, std::chrono::milliseconds period,
                       std::function<void()> pass, Notices* notices)
    : name_(std::move(name)),
      priority_(priority),
      period_(period),
      pass_(std::move(pass)),
      notices_(notices) {}

WorkerLoop::~WorkerLoop() {
  Stop();
}

void WorkerLoop::Start() {
  if (thread_.joinable()) {
    return;
  }
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void WorkerLoop::Stop() {
  if (!thread_.joinable()) {
    return;
  }
  thread_.request_stop();  // also wakes the wait: it is tied to the thread's stop token
  thread_.join();
}

void WorkerLoop::Run(std::stop_token stop) {
  pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
  // Refused: the thread runs at normal priority. Lowering is always allowed, so only a raise
  // can be refused.
  if (!SetCurrentThreadPriority(priority_) && !refusalReported_) {
    refusalReported_ = true;
    if (notices_ != nullptr) {
      notices_->Say(Severity::kWarning, "priority", PriorityRefusedText(name_));
    }
  }
  while (!stop.stop_requested()) {
    pass_();
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, stop, period_, [] { return false; });
  }
}

}  // namespace ombrix
