#include "config/config_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;

const std::string kDefaultFile =
    "pseudoColor:false\r\npreferComposites:false\r\nenabled:false\r\nminimalArchive:false\r\n"
    "archiveAlways:false\r\nshowTrackingBox:true\r\nslowdownFactor:1\r\nhourlyRate:12\r\n"
    "pngIntegrationFactor:1\r\ndiskUsage:50\r\nthreshold:30\r\ntriggerGap:10\r\n"
    "triggerSumBegin:12\r\ntriggerSumEnd:5\r\ntriggerCountBegin:2\r\ntriggerCountEnd:2\r\n"
    "maxEventTime:30\r\ndaysToKeep:99\r\ncaptureDeviceIndex:0\r\nenableTime:0 0 0\r\n"
    "disableTime:0 0 0\r\nenableDisableTimeIsLocal:true\r\ncalRotation:0\r\n"
    "calDegPerPixel0:0\r\ncalDegPerPixel1:0.375\r\ncalDegPerPixel2:0\r\ncalDegPerPixel3:0\r\n"
    "calApparentLatitude:0\r\ncalApparentLongitude:0\r\ncalTrueLatitude:0\r\n"
    "calTrueLongitude:0\r\ncalCOPx:320\r\ncalCOPy:240\r\n";

class ConfigFileTest : public ::testing::Test {
 protected:
  ConfigReadResult Read(const std::string& text) {
    test::WriteFileBytes(path_, text);
    return ReadConfiguration(settings_, path_);
  }
  std::string Saved() {
    EXPECT_TRUE(SaveConfiguration(settings_, path_));
    return test::ReadFileBytes(path_);
  }

  test::TempDir dir_;
  const std::string path_ = (dir_ / "config.txt").string();
  Settings settings_;
};

TEST_F(ConfigFileTest, DefaultsSaveAs33CrLfLinesAndEveryFieldRoundTrips) {
  EXPECT_EQ(Saved(), kDefaultFile);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), 1);  // no temporary left
  // A path the reader could not take back is left out of the file.
  settings_.maskFile = "/masks/one\r\nthreshold:99";
  settings_.archiveFolder = "/" + std::string(1100, 'a');
  EXPECT_EQ(Saved(), kDefaultFile);
  // Every field away from its default, so that one not read or not written shows. The line added
  // after the specified ones is a short line of a key they do not know, which they skip.
  const std::string all =
      "pseudoColor:true\r\npreferComposites:true\r\nenabled:true\r\nminimalArchive:true\r\n"
      "archiveAlways:true\r\nshowTrackingBox:false\r\nslowdownFactor:4\r\nhourlyRate:-3\r\n"
      "pngIntegrationFactor:7\r\ndiskUsage:80\r\nthreshold:-2147483648\r\ntriggerGap:5\r\n"
      "triggerSumBegin:2147483647\r\ntriggerSumEnd:0\r\ntriggerCountBegin:3\r\n"
      "triggerCountEnd:9\r\nmaxEventTime:45\r\ndaysToKeep:0\r\ncaptureDeviceIndex:4294967295\r\n"
      "enableTime:21 30 0\r\ndisableTime:5 7 59\r\nenableDisableTimeIsLocal:false\r\n"
      "calRotation:1.5\r\ncalDegPerPixel0:-0.000123457\r\ncalDegPerPixel1:0.5\r\n"
      "calDegPerPixel2:1e-07\r\ncalDegPerPixel3:-2.5e-09\r\ncalApparentLatitude:89.5\r\n"
      "calApparentLongitude:-179.123\r\ncalTrueLatitude:45.5\r\ncalTrueLongitude:1.23457e+08\r\n"
      "calCOPx:320.25\r\ncalCOPy:0\r\nmaskFile:/home/op/My Masks/mask ünïcode.png\r\n"
      "archiveFolder:/mnt/sky disk/Ombrix\r\nadaptiveThreshold:true\r\n";
  ASSERT_EQ(Read(all), ConfigReadResult::Ok);
  EXPECT_EQ(Saved(), all);
  EXPECT_EQ(settings_.maskFile, "/home/op/My Masks/mask ünïcode.png");
  settings_.calRotation = 1.23456789;  // doubles are written with six significant digits
  EXPECT_NE(Saved().find("\r\ncalRotation:1.23457\r\n"), std::string::npos);
}

TEST_F(ConfigFileTest, LinesThatDoNotParseAreSkippedAndLaterLinesRead) {
  ASSERT_EQ(Read("Threshold:40\r\ncolour:blue\r\n threshold:41\r\na line without a colon\r\n" +
                 std::string(150, 'k') +
                 ":3\r\nenabled:1\r\npseudoColor:TRUE\r\nshowTrackingBox:falsely\r\n"
                 "threshold:abc\r\ntriggerGap:\r\ndaysToKeep:-1\r\ndiskUsage:-60\r\n"
                 "slowdownFactor:2147483648\r\nmaxEventTime:99999999999999999999999\r\n"
                 "calRotation:nan\r\ncalCOPx:1e999\r\ncalCOPy:--3\r\nenableTime:7 5\r\n"
                 "disableTime:7:5:0\r\ntriggerCountEnd:6\r\n"),
            ConfigReadResult::Ok);
  EXPECT_EQ(settings_.triggerCountEnd, 6);
  settings_.triggerCountEnd = 2;  // nothing but the last line changed the record
  EXPECT_EQ(Saved(), kDefaultFile);
}

// A negative retention would delete every event; a negative device index means the last device.
TEST_F(ConfigFileTest, NegativeRetentionIsRefusedAndNegativeDeviceIndexCountsAsTooLarge) {
  struct Case {
    const char* lines;
    int32_t daysToKeep;
    uint32_t captureDeviceIndex;
  };
  const Case cases[] = {
      {"daysToKeep:7\r\ndaysToKeep:-1\r\n", 7, 0},
      {"daysToKeep:-2147483648\r\n", 99, 0},
      {"daysToKeep:0\r\ncaptureDeviceIndex:-1\r\n", 0, 4294967295u},
      {"captureDeviceIndex:-2\r\n", 99, 4294967294u},
      {"captureDeviceIndex:3\r\ncaptureDeviceIndex:-2147483648\r\n", 99, 2147483648u},
      {"captureDeviceIndex:3\r\ncaptureDeviceIndex:-2147483649\r\n", 99, 3},
  };
  for (const Case& c : cases) {
    settings_.daysToKeep = 99;
    settings_.captureDeviceIndex = 0;
    ASSERT_EQ(Read(c.lines), ConfigReadResult::Ok) << c.lines;
    EXPECT_EQ(settings_.daysToKeep, c.daysToKeep) << c.lines;
    EXPECT_EQ(settings_.captureDeviceIndex, c.captureDeviceIndex) << c.lines;
  }
}

TEST_F(ConfigFileTest, TimeOutOfRangeFailsAndLeavesLaterLinesUnread) {
  EXPECT_EQ(Read("threshold:40\nenableTime:24 0 0\ntriggerGap:7\n"), ConfigReadResult::Failed);
  EXPECT_EQ(settings_.threshold, 40);
  EXPECT_EQ(settings_.enableTime, TimeOfDay{});
  EXPECT_EQ(settings_.triggerGap, 10);
  for (const char* line : {"disableTime:0 60 0\n", "disableTime:-1 0 0\n",
                           "enableTime:99999999999999999999999 0 0\n"}) {
    EXPECT_EQ(Read(std::string(line) + "daysToKeep:5\n"), ConfigReadResult::Failed) << line;
    EXPECT_EQ(settings_.daysToKeep, 99) << line;
  }
}

TEST_F(ConfigFileTest, LineFeedOnlyFileWithBlanksTrailingTextClampsAndOverLongLines) {
  const std::string longest(1022, 'p');
  ASSERT_EQ(Read("maskFile: /masks/a mask.png \nthreshold:  +25 pixels\nenabled: true\n"
                 "calRotation:-1.5E+2deg\nenableTime:07 05 00 trailing\npngIntegrationFactor:0\n"
                 "diskUsage:95\ndaysToKeep:100000\narchiveFolder:" +
                 longest + "\narchiveFolder:/" + longest +
                 "\ntriggerGap:" + std::string(5000, ' ') + "3\ncalCOPx:100.5"),
            ConfigReadResult::Ok);
  EXPECT_EQ(settings_.maskFile, " /masks/a mask.png ");
  EXPECT_EQ(settings_.threshold, 25);
  EXPECT_TRUE(settings_.enabled);
  EXPECT_EQ(settings_.calRotation, -150.0);
  EXPECT_EQ(settings_.enableTime, (TimeOfDay{7, 5, 0}));
  EXPECT_EQ(settings_.pngIntegrationFactor, 1u);
  EXPECT_EQ(settings_.diskUsage, 90u);
  EXPECT_EQ(settings_.daysToKeep, 24855);
  EXPECT_EQ(settings_.archiveFolder, longest);
  EXPECT_EQ(settings_.triggerGap, 10);
  EXPECT_EQ(settings_.calCOPx, 100.5);
}

TEST_F(ConfigFileTest, MissingFileLeavesDefaultsAndAFailedSaveIsReported) {
  EXPECT_EQ(ReadConfiguration(settings_, path_), ConfigReadResult::NoFile);
  fs::create_directories(path_ + "/inside");  // a folder in the file's place cannot be replaced
  EXPECT_FALSE(SaveConfiguration(settings_, path_));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), 1);
  EXPECT_TRUE(fs::is_directory(path_ + "/inside"));
}

// --config PATH: read and save the named file, never the per-user one; "" goes back to it.
TEST(ConfigFileLocationTest, AGivenPathIsReadAndSavedInsteadOfTheUsersFile) {
  test::ScopedHome home;
  test::TempDir other;
  const fs::path userFile = home.home() / ".local/share/Ombrix/config.txt";
  const fs::path named = other / "station.txt";
  Settings user;
  user.threshold = 11;
  ASSERT_TRUE(SaveConfiguration(user));  // the per-user file, its folders made
  EXPECT_TRUE(fs::is_regular_file(userFile));

  test::WriteFileBytes(named, "threshold:44\r\narchiveFolder:/srv/sky\r\n");
  SetConfigurationPath(named.string());
  EXPECT_EQ(ConfigurationPath(), named.string());
  Settings loaded;
  ASSERT_EQ(ReadConfiguration(loaded), ConfigReadResult::Ok);
  EXPECT_EQ(loaded.threshold, 44);
  EXPECT_EQ(loaded.archiveFolder, "/srv/sky");

  loaded.threshold = 55;
  ASSERT_TRUE(SaveConfiguration(loaded));
  const std::string saved = test::ReadFileBytes(named);
  EXPECT_NE(saved.find("threshold:55\r\n"), std::string::npos);
  EXPECT_NE(saved.find("archiveFolder:/srv/sky\r\n"), std::string::npos);
  EXPECT_NE(test::ReadFileBytes(userFile).find("threshold:11\r\n"), std::string::npos);

  // A named file in a folder that does not exist is not saved, and its folder is not made.
  SetConfigurationPath((other / "missing/config.txt").string());
  EXPECT_FALSE(SaveConfiguration(loaded));
  EXPECT_FALSE(fs::exists(other / "missing"));

  SetConfigurationPath("");
  EXPECT_EQ(ConfigurationPath(), userFile.string());
  ASSERT_EQ(ReadConfiguration(loaded), ConfigReadResult::Ok);
  EXPECT_EQ(loaded.threshold, 11);
}

// Updates from several threads all land, and a record taken stays as it was.
TEST(SharedSettingsTest, UpdatesAreNeverLostAndATakenRecordNeverChanges) {
  SharedSettings shared;
  const std::shared_ptr<const Settings> before = shared.Get();
  const auto add = [&shared](int32_t Settings::*field) {
    for (int i = 0; i < 1000; ++i) {
      shared.Update([field](Settings& s) { ++(s.*field); });
    }
  };
  { std::jthread a(add, &Settings::threshold), b(add, &Settings::hourlyRate); }
  EXPECT_EQ(shared.Get()->threshold, 30 + 1000);
  EXPECT_EQ(shared.Get()->hourlyRate, 12 + 1000);
  EXPECT_EQ(before->threshold, 30);
}

}  // namespace
}  // namespace ombrix
