#include "app/headless.h"

#include <gtest/gtest.h>

namespace ombrix {
namespace {

std::optional<HeadlessOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string message;
  auto options = ParseHeadlessArguments(args, message);
  if (error != nullptr) {
    *error = message;
  }
  return options;
}

TEST(HeadlessArguments, ReadsEverySourceAndOption) {
  const auto device = Parse({"--headless"});
  ASSERT_TRUE(device);
  EXPECT_EQ(device->source, SourceKind::kDevice);
  EXPECT_FALSE(device->enable);

  const auto sim = Parse({"--headless", "--device-properties", "--source", "sim:42", "--sim-rate",
                          "2.5", "--sim-truth", "/tmp/t.csv", "--enable", "--duration", "90"});
  ASSERT_TRUE(sim);
  EXPECT_EQ(sim->source, SourceKind::kSimulated);
  EXPECT_EQ(sim->simSeed, 42u);
  EXPECT_DOUBLE_EQ(sim->simRate, 2.5);
  EXPECT_EQ(sim->simTruthPath, "/tmp/t.csv");
  EXPECT_TRUE(sim->enable);
  EXPECT_TRUE(sim->deviceProperties);
  EXPECT_DOUBLE_EQ(sim->duration_s.value(), 90);

  const auto file =
      Parse({"--source", "file:/data/night 1.mkv", "--fast", "--start", "2024-03-15T21:14:50Z"});
  ASSERT_TRUE(file);
  EXPECT_EQ(file->source, SourceKind::kFile);
  EXPECT_EQ(file->filePath, "/data/night 1.mkv");
  EXPECT_TRUE(file->fast);
  EXPECT_EQ(file->start, ParseStamp("20240315_211450_000"));

  const auto service =
      Parse({"--headless", "--config", "/var/lib/ombrix/config.txt", "--status-interval", "0.5"});
  ASSERT_TRUE(service);
  EXPECT_EQ(service->configPath, "/var/lib/ombrix/config.txt");
  EXPECT_DOUBLE_EQ(service->statusInterval_s.value(), 0.5);
  EXPECT_FALSE(device->statusInterval_s);  // the form's own interval
  EXPECT_TRUE(device->configPath.empty());
}

TEST(HeadlessArguments, RefusesWhatItCannotRunWithAReason) {
  const std::vector<std::vector<std::string>> wrong = {
      {"--source"},            // no value
      {"--source", "camera"},  // unknown source
      {"--source", "sim:x"},   // seed not a number
      {"--source", "file:"},   // no path
      {"--fast"},              // fast needs a file
      {"--source", "sim", "--start", "2024-03-15T21:14:50Z"},
      {"--source", "file:a.mp4", "--start", "2024-02-30T00:00:00Z"},  // no such day
      {"--source", "file:a.mp4", "--start", "yesterday"},
      {"--duration", "0"},
      {"--duration", "-5"},
      {"--sim-rate", "fast"},
      {"--bogus"},
      {"--config"},
      {"--config", ""},
      {"--status-interval", "-1"},
      {"--status-interval", "soon"},
      {"--status-interval", "nan"},
  };
  for (const auto& args : wrong) {
    std::string error;
    EXPECT_FALSE(Parse(args, &error)) << args.back();
    EXPECT_FALSE(error.empty()) << args.back();
  }
}

TEST(HeadlessArguments, IsoTimesAreUtcWithOrWithoutZ) {
  EXPECT_EQ(ParseIsoUtc("2024-02-29T23:59:59Z"), ParseStamp("20240229_235959_000"));
  EXPECT_EQ(ParseIsoUtc("2024-02-29T23:59:59"), ParseStamp("20240229_235959_000"));
  EXPECT_FALSE(ParseIsoUtc("2023-02-29T00:00:00Z"));
  EXPECT_FALSE(ParseIsoUtc("2024-03-15T21:14:50+01:00"));
  EXPECT_FALSE(ParseIsoUtc("2024-03-15 21:14"));
}

}  // namespace
}  // namespace ombrix
