#include "app/command_line.h"

#include <gtest/gtest.h>

#include "support/movies.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

std::optional<CommandLine> Parse(const std::vector<std::string>& args) {
  std::string error;
  auto line = ParseCommandLine(args, error);
  EXPECT_EQ(line.has_value(), error.empty()) << error;
  return line;
}

TEST(CommandLine, ReadsEveryModeSourceAndOption) {
  EXPECT_EQ(Parse({})->mode, Mode::kWindow);
  EXPECT_EQ(Parse({})->source.kind, SourceKind::kDevice);
  EXPECT_EQ(Parse({"--headless", "--help"})->mode, Mode::kHelp);
  EXPECT_EQ(Parse({"--version"})->mode, Mode::kVersion);
  const auto sim =
      Parse({"--headless", "--source", "sim:42", "--sim-rate", "2.5", "--sim-truth", "/tmp/t.csv",
             "--enable", "--duration", "90", "--config", "/c.txt", "--status-interval", "0.5",
             "--sim-objects", "clock,satellites=3", "--web", "[::1]:8080"});
  ASSERT_TRUE(sim);
  EXPECT_EQ(sim->mode, Mode::kHeadless);
  EXPECT_EQ(sim->source.kind, SourceKind::kSimulated);
  EXPECT_EQ(sim->source.simSeed, 42u);
  EXPECT_DOUBLE_EQ(sim->source.simRate, 2.5);
  EXPECT_EQ(sim->source.simTruthPath, "/tmp/t.csv");
  EXPECT_EQ(sim->source.simObjects, "clock,satellites=3");
  EXPECT_TRUE(sim->enable);
  EXPECT_DOUBLE_EQ(sim->duration_s.value(), 90);
  EXPECT_EQ(sim->configPath, "/c.txt");
  EXPECT_DOUBLE_EQ(sim->statusInterval_s.value(), 0.5);
  EXPECT_EQ(sim->web, "[::1]:8080");
  const auto file = Parse({"--source", "file:/data/night 1.mkv", "--fast", "--start",
                           "2024-03-15T21:14:50Z", "--device-properties", "--script", "next"});
  ASSERT_TRUE(file);
  EXPECT_EQ(file->mode, Mode::kDeviceProperties);
  EXPECT_EQ(file->source.filePath, "/data/night 1.mkv");
  EXPECT_TRUE(file->source.fast);
  EXPECT_EQ(file->source.start, ParseStamp("20240315_211450_000"));
  EXPECT_EQ(file->script, "next");
  // A review command: its words, its options and --config anywhere.
  const auto mark = Parse(
      {"mark", "--config", "/c.txt", "--from", "2024-02-29T23:59:59", "--duration", "3", "extra"});
  ASSERT_TRUE(mark);
  EXPECT_EQ(mark->mode, Mode::kReview);
  EXPECT_EQ(mark->verb, "mark");
  EXPECT_EQ(mark->from, ParseStamp("20240229_235959_000"));
  EXPECT_EQ(mark->stretch_s, 3);
  EXPECT_EQ(mark->positional, std::vector<std::string>{"extra"});
  const auto exported =
      Parse({"export", "K", "O.mp4", "--pseudo-color", "on", "--tracking-box", "off"});
  EXPECT_EQ(exported->pseudoColor, true);
  EXPECT_EQ(exported->trackingBox, false);
  const auto learn = Parse({"mask", "learn", "file:/d/n.mp4", "m.png", "--seconds", "12.5"});
  EXPECT_EQ(learn->source.filePath, "/d/n.mp4");
  EXPECT_EQ(learn->learnSeconds, 12.5);
}

TEST(CommandLine, RefusesWhatItCannotRunWithAReason) {
  const std::vector<std::vector<std::string>> wrong = {
      {"--source"},  // no value
      {"--source", "camera"},
      {"--source", "sim:x"},
      {"--source", "file:"},
      {"--fast"},  // needs a file
      {"--source", "sim", "--start", "2024-03-15T21:14:50Z"},
      {"--source", "file:a.mp4", "--start", "2024-02-30T00:00:00Z"},  // no such day
      {"--source", "file:a.mp4", "--start", "2024-03-15T21:14:50+01:00"},
      {"--duration", "0"},
      {"--sim-rate", "fast"},
      {"--sim-objects", "comets"},
      {"--bogus"},
      {"--config", ""},
      {"--status-interval", "nan"},
      {"--web", "8080"},
      {"events", "--web", "127.0.0.1:0"},
      {"stray"},
      {"--from", "2024-03-15T21:14:50Z"},  // a review option without its command
      {"export", "K", "O.mp4", "--pseudo-color", "maybe"},
      {"events", "--from", "2024-03-15T21:14:50Z"},
      {"mark", "--from", "2024-03-15 21:14", "--duration", "2"},
      {"average", "--from", "2024-03-15T21:14:53Z", "--duration", "-1"},
      {"mark", "--from", "9999-12-31T23:59:55Z", "--duration", "10"},  // past the last Stamp
      {"delete", "K", "--force", "yes"},
      {"mask", "learn", "camera", "m.png"},
      {"mask", "forget", "sim", "m.png"},
      {"mask", "learn", "sim", "m.png", "--seconds", "0"},
  };
  for (const auto& args : wrong) {
    std::string error;
    EXPECT_FALSE(ParseCommandLine(args, error)) << args.back();
    EXPECT_FALSE(error.empty()) << args.back();
  }
}

// A replay whose frames would be stamped past the year 9999 is refused before it starts.
TEST(CommandLine, AReplayStartTooLateForItsFramesIsAProblem) {
  test::TempDir dir;
  const std::string movie = (dir / "sky.mp4").string();
  test::WriteSky(movie, 240, 1, [](int, auto&) {});  // 8 s
  SourceSpec source{
      SourceKind::kFile, 1, 1, "", movie, false, ParseStamp("99991231_235955_000"), ""};
  EXPECT_TRUE(ReplayStartProblem(source));
  source.start = ParseStamp("99991231_235950_000");
  EXPECT_FALSE(ReplayStartProblem(source));
}

}  // namespace
}  // namespace ombrix
