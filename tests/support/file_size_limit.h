#pragma once

#include <sys/resource.h>

#include <csignal>

namespace ombrix::test {

// Runs write under a file size limit (EFBIG past it, as on a full disk); returns its result.
template <typename Write>
auto WithFileSizeLimit(rlim_t bytes, Write write) {
  struct Restore {
    rlimit saved{};
    void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ~Restore() {
      setrlimit(RLIMIT_FSIZE, &saved);
      std::signal(SIGXFSZ, handler);
    }
  } restore;
  getrlimit(RLIMIT_FSIZE, &restore.saved);
  const rlimit limit{bytes, restore.saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &limit);
  return write();
}

}  // namespace ombrix::test
