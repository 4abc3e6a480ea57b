#include "app/status_output.h"

#include <gtest/gtest.h>

namespace ombrix {
namespace {

using namespace std::chrono_literals;

// How often a line is due, asking every 50 ms for 130 s: the form's own interval unless one is
// given, 0 for none; a stalled loop gets one line, then the next an interval after it. Which form
// a terminal or a pipe gets is checked on the real program (service_test).
TEST(StatusOutput, CadenceFollowsTheFormUnlessAnIntervalIsGiven) {
  const StatusOutput::TimePoint start{1000s};
  const std::tuple<StatusForm, std::optional<std::chrono::milliseconds>, size_t, double> cases[] = {
      {StatusForm::kLive, std::nullopt, 130, 1},
      {StatusForm::kSummary, std::nullopt, 2, 60},
      {StatusForm::kLive, 10s, 13, 10},
      {StatusForm::kSummary, 2500ms, 52, 2.5},
      {StatusForm::kLive, 0ms, 0, 0}};
  for (const auto& [form, interval, lines, first_s] : cases) {
    StatusOutput output(form, interval, start);
    std::vector<double> due;
    for (auto t = start; t <= start + 130s; t += 50ms) {
      if (output.Due(t)) {
        due.push_back(std::chrono::duration<double>(t - start).count());
      }
    }
    ASSERT_EQ(due.size(), lines) << lines;
    EXPECT_NEAR(due.empty() ? 0 : due.front(), first_s, 1e-6) << lines;
  }
  StatusOutput stalled(StatusForm::kLive, std::nullopt, start);
  EXPECT_FALSE(stalled.Due(start + 999ms));
  EXPECT_TRUE(stalled.Due(start + 1s));
  EXPECT_TRUE(stalled.Due(start + 7500ms));  // six lines missed: one now
  EXPECT_FALSE(stalled.Due(start + 8400ms));
  EXPECT_TRUE(stalled.Due(start + 8500ms));
}

TEST(StatusOutput, SummaryCountsWhatChangedSinceTheLastOne) {
  const StatusOutput::TimePoint start{0s};
  StatusOutput output(StatusForm::kSummary, std::nullopt, start);
  StationFigures f{1798, 2, 1, 0, 0.4351};
  EXPECT_EQ(output.Summary(f, start + 60s),
            "Last 60 s: 1798 frames, 2 lost, 1 event recorded, 0 cut; free disk 43.5%");
  f = {3596, 2, 4, 3, std::nullopt};
  EXPECT_EQ(output.Summary(f, start + 120s),
            "Last 60 s: 1798 frames, 0 lost, 3 events recorded, 3 cut; free disk unknown");
  f = {3700, 2, 4, 3, 1.0};  // the last line at stop covers only the part of a minute since
  EXPECT_EQ(output.Summary(f, start + 123400ms),
            "Last 3 s: 104 frames, 0 lost, 0 events recorded, 0 cut; free disk 100.0%");
}

}  // namespace
}  // namespace ombrix
