#pragma once

#include <sys/resource.h>

#include <csignal>

namespace ombrix::test {

// Runs write under a file size limit (EFBIG past it, as on a full disk); returns its result.
template <typename Write>
auto WithFileSizeLimit(rlim_t bytes, Write write) {
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{bytes, saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &limit);
  const auto result = write();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);
  return result;
}

}  // namespace ombrix::test
