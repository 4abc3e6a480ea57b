#include "app/review_commands.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "media/image_decode.h"
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
  std::string error;
  const std::optional<CommandLine> command = ParseCommandLine(args, error);
  EXPECT_TRUE(command) << error;
  std::ostringstream out, err;
  const int code = command ? RunReviewCommand(*command, out, err) : 2;
  return {code, out.str(), err.str()};
}

// Every review command on an archive made by a short fast replay of the real program.
TEST(ReviewCommands, WorkOnARealArchive) {
  test::ScopedHome home;
  test::TempDir scratch;
  const std::string movie = (scratch / "streak.mp4").string();
  test::WriteStreakMovie(movie);
  // A start whose frames would be stamped past the year 9999 is refused as a bad argument.
  EXPECT_EQ(
      test::Program(home.home(), {"--source", "file:" + movie, "--start", "9999-12-31T23:59:55Z"})
          .Wait(std::chrono::seconds(60)),
      2);
  ASSERT_EQ(test::Program(home.home(), {"--source", "file:" + movie, "--fast", "--start",
                                        "2024-03-15T21:14:50Z", "--enable"})
                .Wait(std::chrono::seconds(120)),
            0);
  const fs::path events = home.home() / "Documents" / "Ombrix" / "events";
  const std::string key = "20240315_211454_037";
  ASSERT_TRUE(fs::exists(events / ("m" + key + ".mp4")));
  test::WriteFileBytes(events / "e.txt", "not an event");

  EXPECT_EQ(Review({"outbox"}).code, 1);  // no uploadTarget: nothing was ever queued
  Result r = Review({"events"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with(key + "  " + key + "  20240315_211455_")) << r.out;
  EXPECT_TRUE(r.out.ends_with("  jmc  meteor\n")) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;  // e.txt is no event

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
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"composite", "--from", "2030-01-01T00:00:00Z", "--duration", "2",
            (scratch / "none.jpg").string()},
           // Eight seconds of frames end no integration run: there is nothing to average.
           {"average", "--from", "2024-03-15T21:14:50Z", "--duration", "8",
            (scratch / "none.jpg").string()}}) {
    EXPECT_EQ(Review(args).code, 1) << args[0];
    EXPECT_FALSE(fs::exists(scratch / "none.jpg"));
  }
  EXPECT_EQ(Review({"recalc", key}).code, 0);
  // The night summary of the replay's stretch; a stretch without archive exits 1.
  r = Review({"night", (scratch / "night").string(), "--from", "2024-03-15T21:14:00Z", "--duration",
              "120"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(fs::exists(scratch / "night" / "summary.json")) << r.out;
  EXPECT_EQ(Review({"night", "2030-01-01", (scratch / "night").string()}).code, 1);

  r = Review({"mark", "--from", "2024-03-15T21:14:51Z", "--duration", "2"});
  EXPECT_EQ(r.code, 0) << r.err;
  const std::string marked = "20240315_211451_000";
  EXPECT_EQ(test::ReadFileBytes(events / ("e" + marked + ".txt")),
            marked + "\r\n20240315_211453_000\r\n");
  EXPECT_GT(test::MovieFrames(events / ("m" + marked + ".mp4")), 0);  // cut before it returns
  // Nothing in the stretch: exit 1 and nothing written.
  r = Review({"mark", "--from", "2024-03-15T22:00:00Z", "--duration", "2"});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(fs::exists(events / "e20240315_220000_000.txt")) << r.err;
  // A movie without a picture exports nothing and exits 1.
  fs::copy_file(events / ("e" + marked + ".txt"), events / "e20240315_211459_000.txt");
  test::WriteFileBytes(events / "m20240315_211459_000.mp4", "");
  EXPECT_EQ(Review({"export", "20240315_211459_000", (scratch / "empty.mp4").string()}).code, 1);
  EXPECT_FALSE(fs::exists(scratch / "empty.mp4"));

  EXPECT_EQ(Review({"delete", marked}).code, 0);
  EXPECT_FALSE(fs::exists(events / ("m" + marked + ".mp4")));
  EXPECT_EQ(Review({"delete", marked}).code, 1);
  EXPECT_TRUE(fs::exists(events / ("m" + key + ".mp4")));
}

// mask learn on a whole file: a block blinking in place (the digits of a burned-in clock) ends
// strong red, the streak crossing the sky does not; a file that cannot be read exits 1.
TEST(ReviewCommands, MaskLearnMasksWhatBlinksInPlace) {
  test::ScopedHome home;
  test::TempDir scratch;
  const std::string movie = (scratch / "clock.mp4").string();
  test::WriteSky(movie, 300, 7, [](int n, auto& frame) {
    test::FillBox(frame, 500, 20, 40, 16, (n / 10) % 2 != 0 ? 230 : 40);
    if (n >= 100 && n < 120) {
      test::FillBox(frame, 100 + 12 * (n - 100), 200 + 3 * (n - 100), 8, 8, 230);
    }
  });
  const std::string mask = (scratch / "mask.png").string();
  const Result r = Review({"mask", "learn", "file:" + movie, mask});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::optional<RgbImage> image = DecodeImageRgb(mask);
  ASSERT_TRUE(image);
  const auto red = [&image](int x, int y) {
    const uint8_t* p = &image->rgb[(y * image->width + x) * 3];
    return p[0] == 255 && p[1] == 0 && p[2] == 0;
  };
  EXPECT_TRUE(red(520, 28));
  EXPECT_FALSE(red(164, 219));  // the streak's sixth frame
  EXPECT_EQ(Review({"mask", "learn", "file:" + (scratch / "none.mp4").string(),
                    (scratch / "none.png").string()})
                .code,
            1);
  EXPECT_FALSE(fs::exists(scratch / "none.png"));
}

// Words a command cannot take: exit code 2 with the usage (option errors: command_line_test).
TEST(ReviewCommands, RefuseBadWordsWithExitCodeTwo) {
  test::ScopedHome home;
  const std::vector<std::vector<std::string>> wrong = {
      {"events", "extra"},
      {"export", "20240315_211454_037"},
      {"export", "20240315_211454_037", "out.avi"},
      {"export", "yesterday", "out.mp4"},
      {"composite", "20240315_211454_037", "out.gif"},
      {"composite", "--from", "2024-03-15T21:14:53Z", "out.png"},
      {"recalc"},
      {"mark", "--duration", "2"},
      {"mask", "learn", "sim", "mask.jpg"},
      {"night"},
      {"night", "2024-02-30", "out"},
      {"night", "2024-03-15", "out", "--from", "2024-03-15T21:14:53Z", "--duration", "2"},
      {"outbox", "now"},
  };
  for (const auto& args : wrong) {
    const Result r = Review(args);
    EXPECT_EQ(r.code, 2) << args[0] << " " << args.back();
    EXPECT_NE(r.err.find("Usage"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(home.home() / "Documents")) << "nothing is made for a refused command";
}

}  // namespace
}  // namespace ombrix
