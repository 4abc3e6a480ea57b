#include "base/report.h"

#include <gtest/gtest.h>

#include <vector>

namespace ombrix {
namespace {

TEST(ThrottledReport, ReportsOnceThenOncePerMinuteWithTheCount) {
  std::vector<std::string> lines;
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  ThrottledReport report([&lines](const std::string& text) { lines.push_back(text); },
                         [&now] { return now; });

  report.Failure("Recording failed: disk full.");
  for (int i = 0; i < 59; ++i) {
    now += std::chrono::seconds(1);
    report.Failure("Recording failed: disk full.");
  }
  ASSERT_EQ(lines.size(), 1u);  // the 59 repeats within the minute are held back
  now += std::chrono::seconds(1);
  report.Failure("Recording failed: disk full.");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "Recording failed: disk full. (repeated 59 times since the last report)");

  // Another failure is news at once; then the recovery closes the run with what was held back.
  report.Failure("Recording failed: folder gone.");
  report.Failure("Recording failed: folder gone.");
  EXPECT_TRUE(report.failing());
  report.Clear("Recording works again.");
  report.Clear("Recording works again.");  // no run in progress: nothing more
  EXPECT_FALSE(report.failing());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "Recording failed: folder gone.");
  EXPECT_EQ(lines[3], "Recording works again. (the failure repeated 1 more times)");

  // After a recovery the same failure is reported at once again.
  report.Failure("Recording failed: disk full.");
  EXPECT_EQ(lines.size(), 5u);
}

}  // namespace
}  // namespace ombrix
