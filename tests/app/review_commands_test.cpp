#include "app/review_commands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/movies.h"
#include "support/program.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;

struct Result {
  int code;
  std::string out;
  std::string err;
};

Result Review(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = RunReviewCommand(args, out, err);
  return {code, out.str(), err.str()};
}

// Every review command once, on an archive made by a short fast replay of the real program.
TEST(ReviewCommands, WorkOnARealArchive) {
  test::ScopedHome home;
  test::TempDir scratch;
  const std::string movie = (scratch / "streak.mp4").string();
  test::WriteStreakMovie(movie);
  ASSERT_EQ(test::Program(home.home(), {"--source", "file:" + movie, "--fast", "--start",
                                        "2024-03-15T21:14:50Z", "--enable"})
                .Wait(std::chrono::seconds(120)),
            0);
  const fs::path events = home.home() / "Documents" / "Ombrix" / "events";
  const std::string key = "20240315_211454_037";
  ASSERT_TRUE(fs::exists(events / ("m" + key + ".mp4")));

  Result r = Review({"events"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind(key + "  " + key + "  ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("  jmc\n"), std::string::npos) << r.out;

  const fs::path exported = scratch / "event.mp4";
  r = Review({"export", key, exported.string(), "--pseudo-color", "on", "--tracking-box", "on"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(test::MovieFrames(exported), test::MovieFrames(events / ("m" + key + ".mp4")));
  EXPECT_EQ(Review({"export", "20990101_000000_000", exported.string()}).code, 1);

  r = Review({"composite", key, (scratch / "c.png").string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(scratch / "c.png"));
  r = Review({"composite", "--from", "2024-03-15T21:14:53Z", "--duration", "2",
              (scratch / "a.jpg").string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(scratch / "a.jpg"));
  r = Review({"composite", "--from", "2030-01-01T00:00:00Z", "--duration", "2",
              (scratch / "none.jpg").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(fs::exists(scratch / "none.jpg"));
  // Eight seconds of frames end no integration run: there is nothing to average.
  r = Review({"average", "--from", "2024-03-15T21:14:50Z", "--duration", "8",
              (scratch / "avg.png").string()});
  EXPECT_EQ(r.code, 1) << r.out;

  EXPECT_EQ(Review({"recalc", key}).code, 0);

  r = Review({"mark", "--from", "2024-03-15T21:14:51Z", "--duration", "2"});
  EXPECT_EQ(r.code, 0) << r.err;
  const std::string marked = "20240315_211451_000";
  EXPECT_EQ(test::ReadFileBytes(events / ("e" + marked + ".txt")),
            marked + "\r\n20240315_211453_000\r\n");
  EXPECT_GT(test::MovieFrames(events / ("m" + marked + ".mp4")), 0);  // cut before it returns

  EXPECT_EQ(Review({"delete", marked}).code, 0);
  EXPECT_FALSE(fs::exists(events / ("m" + marked + ".mp4")));
  EXPECT_EQ(Review({"delete", marked}).code, 1);
  EXPECT_TRUE(fs::exists(events / ("m" + key + ".mp4")));
}

TEST(ReviewCommands, RefuseBadArgumentsWithExitCodeTwo) {
  test::ScopedHome home;
  const std::vector<std::vector<std::string>> wrong = {
      {"events", "extra"},
      {"export", "20240315_211454_037"},
      {"export", "20240315_211454_037", "out.avi"},
      {"export", "yesterday", "out.mp4"},
      {"export", "20240315_211454_037", "out.mp4", "--pseudo-color", "maybe"},
      {"composite", "20240315_211454_037", "out.gif"},
      {"composite", "--from", "2024-03-15T21:14:53Z", "out.png"},
      {"average", "--from", "2024-03-15T21:14:53Z", "--duration", "-1", "out.png"},
      {"recalc"},
      {"mark", "--from", "2024-02-30T00:00:00Z", "--duration", "2"},
      {"delete", "20240315_211454_037", "--force", "yes"},
  };
  for (const auto& args : wrong) {
    const Result r = Review(args);
    EXPECT_EQ(r.code, 2) << args[0] << " " << args.back();
    EXPECT_NE(r.err.find("Usage"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(IsReviewCommand({"--headless"}));
  EXPECT_TRUE(IsReviewCommand({"recalc", "x"}));
}

}  // namespace
}  // namespace ombrix
