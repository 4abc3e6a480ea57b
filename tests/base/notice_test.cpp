#include "base/notice.h"

#include <gtest/gtest.h>

#include <vector>

namespace ombrix {
namespace {

TEST(Notices, FailureOfATopicIsSaidOnceThenOncePerMinuteWithTheCountAndItsRecoveryOnce) {
  std::vector<std::string> lines;
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  Notices notices([&now] { return now; });
  notices.SetSink([&lines](const Notice& n) { lines.push_back(NoticeLine(n, true)); });

  // The text names the minute folder and changes within the run: the count goes on.
  for (int i = 0; i < 61; ++i) {
    notices.Failure(Severity::kError, "recording",
                    "Recording failed in minute " + std::to_string(i) + ".");
    notices.Failure(Severity::kWarning, "queue", "Frames are left out.");  // a topic of its own
    now += std::chrono::seconds(1);
  }
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "<3>Recording failed in minute 0.", "<4>Frames are left out.",
                "<3>Recording failed in minute 60. (repeated 59 times since the last report)",
                "<4>Frames are left out. (repeated 59 times since the last report)"}));
  notices.Failure(Severity::kError, "recording", "Recording failed in minute 61.");
  EXPECT_TRUE(notices.Failing("recording"));
  notices.Recovered("recording", "Recording works again.");
  notices.Recovered("recording", "Recording works again.");  // no run in progress: nothing
  notices.Recovered("never failed", "Works.");
  EXPECT_FALSE(notices.Failing("recording"));
  EXPECT_EQ(lines.back(), "<6>Recording works again. (the failure repeated 1 more time)");
  // After the recovery the failure is news again; a one-off is always said.
  notices.Failure(Severity::kError, "recording", "Recording failed again.");
  notices.Say(Severity::kFatal, "recording", "The encoder is gone.");
  notices.Say(Severity::kFatal, "recording", "The encoder is gone.");
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[5], "<3>Recording failed again.");
  EXPECT_EQ(lines[7], "<2>The encoder is gone.");
}

TEST(Notices, KeepsTheNewestInOrderWhateverTheSink) {
  Notices notices;
  for (size_t i = 0; i < Notices::kKept + 2; ++i) {
    notices.Say(Severity::kInfo, "event", "Event " + std::to_string(i));
  }
  std::vector<std::string> seen;
  notices.SetSink([&seen](const Notice& n) { seen.push_back(n.text); });
  notices.Say(Severity::kWarning, "clock", "Not synchronised.");
  const std::vector<Notice> recent = notices.Recent();
  ASSERT_EQ(recent.size(), Notices::kKept);
  EXPECT_EQ(recent.front().text, "Event 3");
  EXPECT_EQ(recent.back().sequence, Notices::kKept + 3);
  EXPECT_EQ(seen, std::vector<std::string>{"Not synchronised."});
}

}  // namespace
}  // namespace ombrix
