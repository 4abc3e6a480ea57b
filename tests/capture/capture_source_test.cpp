#include "capture/capture_source.h"

#include <gtest/gtest.h>

namespace ombrix {
namespace {

TEST(ParseSourceChoice, NamesTheThreeSources) {
  using Kind = SourceChoice::Kind;
  EXPECT_EQ(ParseSourceChoice("device")->kind, Kind::kDevice);
  EXPECT_EQ(ParseSourceChoice("sim")->kind, Kind::kSimulated);
  const auto file = ParseSourceChoice("file:/data/nights/2024-08-12 perseids.mkv");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->kind, Kind::kFile);
  EXPECT_EQ(file->path, "/data/nights/2024-08-12 perseids.mkv");
  EXPECT_EQ(ParseSourceChoice("file:c:/night.avi")->path, "c:/night.avi");
  for (const char* wrong : {"", "file:", "File:x.mp4", "simulated", "camera", " sim"}) {
    EXPECT_FALSE(ParseSourceChoice(wrong)) << wrong;
  }
}

}  // namespace
}  // namespace ombrix
