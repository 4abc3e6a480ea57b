#include "app/status_output.h"

#include <gtest/gtest.h>

#include <vector>

namespace ombrix {
namespace {

using namespace std::chrono_literals;
using TimePoint = StatusOutput::TimePoint;

// The seconds (after the start) at which a line is due, asking every 50 ms for 130 s.
std::vector<double> DueTimes(StatusOutput& output, TimePoint start) {
  std::vector<double> times;
  for (auto t = start; t <= start + 130s; t += 50ms) {
    if (output.Due(t)) {
      times.push_back(std::chrono::duration<double>(t - start).count());
    }
  }
  return times;
}

// Which form a terminal or a pipe gets is checked on the real program in service_test.cpp.
TEST(StatusOutput, CadenceFollowsTheFormUnlessAnIntervalIsGiven) {
  struct Case {
    const char* name;
    StatusForm form;
    std::optional<std::chrono::milliseconds> interval;
    size_t lines;    // lines in 130 s
    double first_s;  // when the first one is due
  };
  const Case cases[] = {
      {"terminal", StatusForm::kLive, std::nullopt, 130, 1},
      {"journal", StatusForm::kSummary, std::nullopt, 2, 60},
      {"terminal, every 10 s", StatusForm::kLive, 10s, 13, 10},
      {"journal, every 5 s", StatusForm::kSummary, 5s, 26, 5},
      {"journal, every 2.5 s", StatusForm::kSummary, 2500ms, 52, 2.5},
      {"none", StatusForm::kLive, 0ms, 0, 0},
  };
  const TimePoint start{1000s};
  for (const Case& c : cases) {
    StatusOutput output(c.form, c.interval, start);
    const auto times = DueTimes(output, start);
    ASSERT_EQ(times.size(), c.lines) << c.name;
    if (!times.empty()) {
      EXPECT_NEAR(times.front(), c.first_s, 1e-6) << c.name;
    }
  }
}

TEST(StatusOutput, AStalledLoopGetsOneLineNotABurst) {
  const TimePoint start{0s};
  StatusOutput output(StatusForm::kLive, std::nullopt, start);
  EXPECT_FALSE(output.Due(start + 999ms));
  EXPECT_TRUE(output.Due(start + 1s));
  EXPECT_TRUE(output.Due(start + 7500ms));  // six lines missed: one now
  EXPECT_FALSE(output.Due(start + 7600ms));
  EXPECT_FALSE(output.Due(start + 8400ms));
  EXPECT_TRUE(output.Due(start + 8500ms));  // then an interval after it
}

TEST(StatusOutput, SummaryCountsWhatChangedSinceTheLastOne) {
  const TimePoint start{0s};
  StatusOutput output(StatusForm::kSummary, std::nullopt, start);
  StationFigures f;
  f.frames = 1798;
  f.framesLost = 2;
  f.eventsRecorded = 1;
  f.eventsCut = 0;
  f.freeFraction = 0.4351;
  EXPECT_EQ(output.Summary(f, start + 60s),
            "Last 60 s: 1798 frames, 2 lost, 1 event recorded, 0 cut; free disk 43.5%");
  f.frames = 3596;
  f.eventsRecorded = 4;
  f.eventsCut = 3;
  f.freeFraction.reset();
  EXPECT_EQ(output.Summary(f, start + 120s),
            "Last 60 s: 1798 frames, 0 lost, 3 events recorded, 3 cut; free disk unknown");
  // The last line at stop covers only the part of a minute since the previous one.
  f.frames = 3700;
  f.freeFraction = 1.0;
  EXPECT_EQ(output.Summary(f, start + 123400ms),
            "Last 3 s: 104 frames, 0 lost, 0 events recorded, 0 cut; free disk 100.0%");
}

}  // namespace
}  // namespace ombrix
