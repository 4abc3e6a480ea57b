#include "config/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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
    problems_.clear();
    return ReadConfiguration(settings_, path_, &problems_);
  }
  std::string Saved() {
    EXPECT_TRUE(SaveConfiguration(settings_, path_));
    return test::ReadFileBytes(path_);
  }

  test::TempDir dir_;
  const std::string path_ = (dir_ / "config.txt").string();
  Settings settings_;
  ConfigProblems problems_;
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
      "archiveAlways:true\r\nshowTrackingBox:false\r\nslowdownFactor:4\r\nhourlyRate:3\r\n"
      "pngIntegrationFactor:7\r\ndiskUsage:80\r\nthreshold:255\r\ntriggerGap:63\r\n"
      "triggerSumBegin:2147483647\r\ntriggerSumEnd:1\r\ntriggerCountBegin:3\r\n"
      "triggerCountEnd:9\r\nmaxEventTime:45\r\ndaysToKeep:0\r\ncaptureDeviceIndex:4294967295\r\n"
      "enableTime:21 30 0\r\ndisableTime:5 7 59\r\nenableDisableTimeIsLocal:false\r\n"
      "calRotation:1.5\r\ncalDegPerPixel0:-0.000123457\r\ncalDegPerPixel1:0.5\r\n"
      "calDegPerPixel2:1e-07\r\ncalDegPerPixel3:-2.5e-09\r\ncalApparentLatitude:89.5\r\n"
      "calApparentLongitude:-179.123\r\ncalTrueLatitude:45.5\r\ncalTrueLongitude:123.457\r\n"
      "calCOPx:320.25\r\ncalCOPy:0\r\nmaskFile:/home/op/My Masks/mask ünïcode.png\r\n"
      "archiveFolder:/mnt/sky disk/Ombrix\r\nadaptiveThreshold:true\r\n"
      "webListen:[::1]:8080\r\nstationName:roof\r\nuploadTarget:sky@collector:/srv/sky\r\n"
      "uploadPort:2222\r\nuploadKeyFile:/etc/ombrix/id\r\nuploadKnownHostsFile:/etc/kh\r\n"
      "uploadKbps:500\r\nmqttBroker:broker:1883\r\nmqttTopic:home/sky\r\nmqttUser:u\r\n"
      "mqttPassword:p w\r\nmqttCaFile:/etc/ca.pem\r\n";
  ASSERT_EQ(Read(all), ConfigReadResult::Ok);
  EXPECT_TRUE(problems_.empty());
  EXPECT_EQ(Saved(), all);
}

// Each line the station cannot take is named with why (the first kMaxConfigProblems of them);
// the rest of the file is read. A value it cannot use leaves the field as it was, one beyond a
// limit the dialogs keep is moved to it; a time of day out of range ends the read.
TEST_F(ConfigFileTest, LinesThatCannotBeUsedAreNamedAndTheRestIsRead) {
  const std::string ignored = "; the line is ignored.";
  const std::pair<std::string, std::string> lines[] = {
      {"\xEF\xBB\xBFthreshold:  +25 pixels", ""},  // an editor's byte-order mark; trailing text
      {"Threshold:40", "\"Threshold\" is not a key (keys are case-sensitive)" + ignored},
      {" threshold:41", "\" threshold\" is not a key (keys are case-sensitive)" + ignored},
      {"threshold=42", "\"threshold=42\" is not a key:value line" + ignored},
      {std::string(150, 'k') + ":3",
       "\"" + std::string(40, 'k') + "\" is not a key (keys are case-sensitive)" + ignored},
      {"", ""},
      {"enabled:1", "enabled 1 is not true or false" + ignored},
      {"threshold:abc", "threshold abc is not a whole number" + ignored},
      {"triggerGap:", "triggerGap (nothing) is not a whole number" + ignored},
      {"threshold:-5", "threshold -5 is outside 1 to 255; threshold stays 25" + ignored},
      {"triggerGap:0", "triggerGap 0 is outside 1 to 63; triggerGap stays 10" + ignored},
      {"daysToKeep:-1", "daysToKeep -1 is outside 0 to 24855; daysToKeep stays 99" + ignored},
      {"hourlyRate:0", "hourlyRate 0 is below 1; hourlyRate stays 12" + ignored},
      {"calRotation:nan", "calRotation nan is not a number" + ignored},
      {"calDegPerPixel1:1e300",
       "calDegPerPixel1 1e300 is outside -36 to 36; calDegPerPixel1 stays 0.375" + ignored},
      {"enableTime:7 5", "enableTime 7 5 is not a time of day (hour minute second)" + ignored},
      {"diskUsage:95", "diskUsage 95 is above 90; 90 is used."},
      {"pngIntegrationFactor:0", "pngIntegrationFactor 0 is below 1; 1 is used."},
      {"daysToKeep:100000", "daysToKeep 100000 is above 24855; 24855 is used."},
      {"captureDeviceIndex:-1", ""},  // a negative index means the last device
      {"captureDeviceIndex:-2147483649",
       "captureDeviceIndex -2147483649 is out of range" + ignored},
      {"maskFile: /masks/a mask.png ", ""},  // verbatim
      {"archiveFolder:/" + std::string(1022, 'p'),
       "archiveFolder is longer than 1022 characters or holds a NUL byte" + ignored},
      {"triggerCountEnd:" + std::string(5000, ' ') + "3",
       "it is longer than 1122 characters" + ignored},
      {"calCOPx:100.5", ""},
  };
  std::string file;
  std::vector<std::string> expected;
  for (size_t i = 0; i < std::size(lines); ++i) {
    file += lines[i].first + "\n";
    if (!lines[i].second.empty()) {
      expected.push_back("config.txt line " + std::to_string(i + 1) + ": " + lines[i].second);
    }
  }
  file += "x\nx\nx\nx";  // problems past the first 20 are counted, the last without a line end
  ASSERT_EQ(expected.size(), kMaxConfigProblems);
  expected.push_back("... and 4 more lines of config.txt are ignored or changed.");
  ASSERT_EQ(Read(file), ConfigReadResult::Ok);
  EXPECT_EQ(problems_, expected);
  Settings changed;
  changed.threshold = 25;
  changed.diskUsage = 90;
  changed.daysToKeep = 24855;
  changed.captureDeviceIndex = 4294967295u;
  changed.maskFile = " /masks/a mask.png ";
  changed.calCOPx = 100.5;
  settings_.maskFile = changed.maskFile;  // saved only when set: compared here
  EXPECT_EQ(Saved(), (SaveConfiguration(changed, path_), test::ReadFileBytes(path_)));
  // A time out of range fails the read: the lines after it are not read.
  EXPECT_EQ(Read("threshold:40\nenableTime:24 0 0\ntriggerGap:7\n"), ConfigReadResult::Failed);
  EXPECT_EQ(problems_, std::vector<std::string>{"config.txt line 2: enableTime 24 0 0 is not a "
                                                "time of day; the lines after it are not read."});
  EXPECT_EQ(std::tie(settings_.threshold, settings_.enableTime, settings_.triggerGap),
            std::make_tuple(40, TimeOfDay{}, 10));
  for (const char* line : {"disableTime:0 60 0\n", "disableTime:-1 0 0\n",
                           "enableTime:99999999999999999999999 0 0\n"}) {
    EXPECT_EQ(Read(std::string(line) + "daysToKeep:5\n"), ConfigReadResult::Failed) << line;
    EXPECT_EQ(settings_.daysToKeep, 24855) << line;
  }
}

// Only a regular file is read (a FIFO at once); no file is no problem; a failed save keeps all.
TEST_F(ConfigFileTest, OnlyARegularFileIsReadAndAFailedSaveIsReported) {
  EXPECT_EQ(ReadConfiguration(settings_, path_, &problems_), ConfigReadResult::NoFile);
  EXPECT_TRUE(problems_.empty());
  ASSERT_EQ(mkfifo((dir_ / "fifo.txt").c_str(), 0600), 0);
  fs::create_directories(path_ + "/inside");
  for (const std::string& path : {(dir_ / "fifo.txt").string(), path_}) {
    problems_.clear();
    EXPECT_EQ(ReadConfiguration(settings_, path, &problems_), ConfigReadResult::NoFile);
    EXPECT_EQ(problems_,
              std::vector<std::string>{"The configuration file " + path +
                                       " is not a regular file; the defaults are used."});
  }
  EXPECT_FALSE(SaveConfiguration(settings_, path_));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), 2);
  EXPECT_TRUE(fs::is_directory(path_ + "/inside"));
}

// --config PATH: read and save the named file, never the per-user one; "" goes back to it.
TEST(ConfigFileLocationTest, AGivenPathIsReadAndSavedInsteadOfTheUsersFile) {
  test::ScopedHome home;
  test::TempDir other;
  const fs::path userFile = home.home() / ".local/share/Ombrix/config.txt";
  const fs::path named = other / "station.txt";
  Settings settings;
  settings.threshold = 11;
  ASSERT_TRUE(SaveConfiguration(settings));  // the per-user file, its folders made
  test::WriteFileBytes(named, "threshold:44\r\n");
  SetConfigurationPath(named.string());
  ASSERT_EQ(ReadConfiguration(settings), ConfigReadResult::Ok);
  EXPECT_EQ(settings.threshold, 44);
  settings.threshold = 55;
  ASSERT_TRUE(SaveConfiguration(settings));
  EXPECT_NE(test::ReadFileBytes(named).find("threshold:55\r\n"), std::string::npos);
  // A named file in a folder that does not exist is not saved, and its folder is not made.
  SetConfigurationPath((other / "missing/config.txt").string());
  EXPECT_FALSE(SaveConfiguration(settings));
  EXPECT_FALSE(fs::exists(other / "missing"));
  SetConfigurationPath("");
  EXPECT_EQ(ConfigurationPath(), userFile.string());
  ASSERT_EQ(ReadConfiguration(settings), ConfigReadResult::Ok);
  EXPECT_EQ(settings.threshold, 11);
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
