#include "config/config_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/folders.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

// The file of a record with every default in force.
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

TimeOfDay Time(int hour, int minute, int second) {
  TimeOfDay t;
  t.hour = static_cast<uint8_t>(hour);
  t.minute = static_cast<uint8_t>(minute);
  t.second = static_cast<uint8_t>(second);
  return t;
}

class ConfigFileTest : public ::testing::Test {
 protected:
  std::string path() const { return (dir_ / "config.txt").string(); }

  // Writes the text as config.txt and reads it into settings_.
  ConfigReadResult Read(const std::string& text) {
    WriteFileBytes(path(), text);
    return ReadConfiguration(settings_, path());
  }

  TempDir dir_;
  Settings settings_;
};

TEST_F(ConfigFileTest, DefaultRecordSavesThe33LinesWithCrLf) {
  ASSERT_TRUE(SaveConfiguration(settings_, path()));
  EXPECT_EQ(ReadFileBytes(path()), kDefaultFile);
  EXPECT_FALSE(fs::exists(path() + ".tmp"));
}

TEST_F(ConfigFileTest, SavedRecordReadsBackWithDoublesRoundedToSixDigits) {
  // Every field away from its default, so that a field that is not read back shows.
  Settings& s = settings_;
  s.pseudoColor = true;
  s.preferComposites = true;
  s.enabled = true;
  s.minimalArchive = true;
  s.archiveAlways = true;
  s.showTrackingBox = false;
  s.slowdownFactor = 4;
  s.hourlyRate = -3;
  s.pngIntegrationFactor = 7;
  s.diskUsage = 80;
  s.threshold = -2147483647 - 1;
  s.triggerGap = 5;
  s.triggerSumBegin = 2147483647;
  s.triggerSumEnd = 0;
  s.triggerCountBegin = 3;
  s.triggerCountEnd = 9;
  s.maxEventTime = 45;
  s.daysToKeep = 0;
  s.captureDeviceIndex = 4294967295u;
  s.enableTime = Time(21, 30, 0);
  s.disableTime = Time(5, 7, 59);
  s.enableDisableTimeIsLocal = false;
  s.calRotation = 1.23456789;
  s.calDegPerPixel0 = -0.000123456789;
  s.calDegPerPixel1 = 0.5;
  s.calDegPerPixel2 = 1e-7;
  s.calDegPerPixel3 = -2.5e-9;
  s.calApparentLatitude = 89.9999999;
  s.calApparentLongitude = -179.123456;
  s.calTrueLatitude = 45.5;
  s.calTrueLongitude = 123456789.0;
  s.calCOPx = 320.25;
  s.calCOPy = 0.0;
  s.maskFile.set("/home/op/My Masks/mask ünïcode.png");
  s.archiveFolder.set("/mnt/sky disk/Ombrix");
  ASSERT_TRUE(SaveConfiguration(s, path()));
  const std::string saved = ReadFileBytes(path());
  EXPECT_NE(saved.find("\r\nenableTime:21 30 0\r\ndisableTime:5 7 59\r\n"), std::string::npos);
  const std::string tail =
      "calCOPy:0\r\nmaskFile:" + s.maskFile.get() + "\r\narchiveFolder:/mnt/sky disk/Ombrix\r\n";
  EXPECT_EQ(saved.substr(saved.size() - tail.size()), tail);

  // Every field survives: the record read back saves to the same bytes.
  Settings r;
  ASSERT_EQ(ReadConfiguration(r, path()), ConfigReadResult::Ok);
  ASSERT_TRUE(SaveConfiguration(r, path()));
  EXPECT_EQ(ReadFileBytes(path()), saved);
  EXPECT_EQ(r.maskFile.get(), s.maskFile.get());
  EXPECT_EQ(r.calRotation, 1.23457);
  EXPECT_EQ(r.calDegPerPixel0, -0.000123457);
  EXPECT_EQ(r.calDegPerPixel2, 1e-7);
  EXPECT_EQ(r.calApparentLatitude, 90.0);
  EXPECT_EQ(r.calTrueLongitude, 123457000.0);
  EXPECT_EQ(r.threshold, -2147483647 - 1);
  EXPECT_EQ(r.captureDeviceIndex, 4294967295u);
  EXPECT_EQ(r.disableTime.load(), Time(5, 7, 59));
  EXPECT_FALSE(r.showTrackingBox);
}

TEST_F(ConfigFileTest, WronglyCasedAndUnknownKeysAreSkippedAndLaterLinesRead) {
  EXPECT_EQ(Read("Threshold:40\r\n"
                 "colour:blue\r\n"
                 " threshold:41\r\n"
                 "a line without a colon\r\n"
                 "triggerGap:7\r\n" +
                 std::string(150, 'k') + ":3\r\n" + "hourlyRate:20\r\n"),
            ConfigReadResult::Ok);
  EXPECT_EQ(settings_.threshold, 30);
  EXPECT_EQ(settings_.triggerGap, 7);
  EXPECT_EQ(settings_.hourlyRate, 20);
}

TEST_F(ConfigFileTest, TimeOutOfRangeFailsAndLeavesLaterLinesUnread) {
  EXPECT_EQ(Read("threshold:40\r\n"
                 "enableTime:24 0 0\r\n"
                 "triggerGap:7\r\n"),
            ConfigReadResult::Failed);
  EXPECT_EQ(settings_.threshold, 40);
  EXPECT_EQ(settings_.enableTime.load(), Time(0, 0, 0));
  EXPECT_EQ(settings_.triggerGap, 10);

  for (const char* line : {"disableTime:0 60 0\n", "disableTime:0 0 60\n", "disableTime:-1 0 0\n",
                           "enableTime:99999999999999999999999 0 0\n"}) {
    Settings fresh;
    WriteFileBytes(path(), std::string(line) + "daysToKeep:5\n");
    EXPECT_EQ(ReadConfiguration(fresh, path()), ConfigReadResult::Failed) << line;
    EXPECT_EQ(fresh.daysToKeep, 99) << line;
  }
}

TEST_F(ConfigFileTest, PaddedAndPlainTimesAreEqualAndSaveUnpadded) {
  ASSERT_EQ(Read("enableTime:07 05 00\r\ndisableTime:7 5 0\r\n"), ConfigReadResult::Ok);
  EXPECT_EQ(settings_.enableTime.load(), Time(7, 5, 0));
  EXPECT_EQ(settings_.disableTime.load(), settings_.enableTime.load());
  ASSERT_EQ(Read("enableTime:23 59 59 trailing words\r\n"), ConfigReadResult::Ok);
  EXPECT_EQ(settings_.enableTime.load(), Time(23, 59, 59));
  settings_.enableTime = Time(7, 5, 0);
  ASSERT_TRUE(SaveConfiguration(settings_, path()));
  EXPECT_NE(ReadFileBytes(path()).find("\r\nenableTime:7 5 0\r\ndisableTime:7 5 0\r\n"),
            std::string::npos);
}

TEST_F(ConfigFileTest, ValuesThatDoNotParseSkipTheirLineOnly) {
  EXPECT_EQ(Read("enabled:1\n"
                 "pseudoColor:TRUE\n"
                 "showTrackingBox:falsely\n"
                 "threshold:abc\n"
                 "triggerGap:\n"
                 "captureDeviceIndex:-1\n"
                 "slowdownFactor:2147483648\n"
                 "maxEventTime:99999999999999999999999\n"
                 "calRotation:nan\n"
                 "calCOPx:1e999\n"
                 "calCOPy:--3\n"
                 "enableTime:7 5\n"
                 "disableTime:7:5:0\n"
                 "triggerCountEnd:6\n"),
            ConfigReadResult::Ok);
  // Nothing but the last line changed the record.
  std::string expected = kDefaultFile;
  expected.replace(expected.find("triggerCountEnd:2"), 17, "triggerCountEnd:6");
  ASSERT_TRUE(SaveConfiguration(settings_, path()));
  EXPECT_EQ(ReadFileBytes(path()), expected);
}

TEST_F(ConfigFileTest, ValuesAreReadAfterBlanksAndTheRestOfTheLineIsIgnored) {
  ASSERT_EQ(Read("threshold:  +25 pixels\n"
                 "slowdownFactor:\t-2\n"
                 "enabled: true\n"
                 "calRotation:-1.5E+2deg\n"
                 "calCOPx:+3.25\n"),
            ConfigReadResult::Ok);
  EXPECT_EQ(settings_.threshold, 25);
  EXPECT_EQ(settings_.slowdownFactor, -2);
  EXPECT_TRUE(settings_.enabled);
  EXPECT_EQ(settings_.calRotation, -150.0);
  EXPECT_EQ(settings_.calCOPx, 3.25);
}

TEST_F(ConfigFileTest, LimitedFieldsAreClampedAndHourlyRateIsStoredAsRead) {
  ASSERT_EQ(Read("pngIntegrationFactor:0\ndiskUsage:5\ndaysToKeep:-3\nhourlyRate:0\n"),
            ConfigReadResult::Ok);
  EXPECT_EQ(settings_.pngIntegrationFactor, 1u);
  EXPECT_EQ(settings_.diskUsage, 25u);
  EXPECT_EQ(settings_.daysToKeep, 0);
  EXPECT_EQ(settings_.hourlyRate, 0);
  ASSERT_EQ(Read("pngIntegrationFactor:50\ndiskUsage:95\ndaysToKeep:100000\nhourlyRate:1\n"),
            ConfigReadResult::Ok);
  EXPECT_EQ(settings_.pngIntegrationFactor, 10u);
  EXPECT_EQ(settings_.diskUsage, 90u);
  EXPECT_EQ(settings_.daysToKeep, 24855);
  EXPECT_EQ(settings_.hourlyRate, 1);
  // Negative for an unsigned field is outside its type: skipped, not clamped.
  ASSERT_EQ(Read("diskUsage:-60\n"), ConfigReadResult::Ok);
  EXPECT_EQ(settings_.diskUsage, 90u);
}

TEST_F(ConfigFileTest, OverLongLinesAreSkippedWholeAndNeverRunIntoTheNext) {
  const std::string longest(1022, 'p');
  const std::string tooLong = "/" + std::string(1022, 'q');
  ASSERT_EQ(Read("maskFile:" + longest + "\r\n" + "archiveFolder:/keep\r\n" +
                 "archiveFolder:" + tooLong + "\r\n" + "threshold:44\r\n" +
                 "triggerGap:" + std::string(5000, ' ') + "3\r\n" + "triggerSumEnd:8"),
            ConfigReadResult::Ok);
  EXPECT_EQ(settings_.maskFile.get(), longest);
  EXPECT_EQ(settings_.archiveFolder.get(), "/keep");
  EXPECT_EQ(settings_.threshold, 44);
  EXPECT_EQ(settings_.triggerGap, 10);
  EXPECT_EQ(settings_.triggerSumEnd, 8);
}

TEST_F(ConfigFileTest, LastOfDuplicateKeysWins) {
  ASSERT_EQ(Read("threshold:40\nmaskFile:/a.png\nthreshold:50\nmaskFile:/b.png\nthreshold:45\n"),
            ConfigReadResult::Ok);
  EXPECT_EQ(settings_.threshold, 45);
  EXPECT_EQ(settings_.maskFile.get(), "/b.png");
}

TEST_F(ConfigFileTest, LineFeedOnlyAndCarriageReturnsReadAlike) {
  ASSERT_EQ(Read("maskFile: /masks/a mask.png \nthreshold:12\ncalCOPx:100.5"),
            ConfigReadResult::Ok);
  EXPECT_EQ(settings_.maskFile.get(), " /masks/a mask.png ");
  EXPECT_EQ(settings_.threshold, 12);
  EXPECT_EQ(settings_.calCOPx, 100.5);

  // A CR before the LF, or at the very end, is never part of a value; one inside the line is.
  ASSERT_EQ(Read("maskFile:/m.png\r\narchiveFolder:/x\ry\r\nthreshold:13\r"), ConfigReadResult::Ok);
  EXPECT_EQ(settings_.maskFile.get(), "/m.png");
  EXPECT_EQ(settings_.archiveFolder.get(), "/x\ry");
  EXPECT_EQ(settings_.threshold, 13);

  ASSERT_EQ(Read("maskFile:\r\n"), ConfigReadResult::Ok);
  EXPECT_EQ(settings_.maskFile.get(), "");
}

TEST_F(ConfigFileTest, MissingOrUnreadableFileLeavesDefaults) {
  EXPECT_EQ(ReadConfiguration(settings_, path()), ConfigReadResult::NoFile);
  fs::create_directory(path());
  EXPECT_EQ(ReadConfiguration(settings_, path()), ConfigReadResult::NoFile);
  EXPECT_EQ(settings_.threshold, 30);
  EXPECT_EQ(Read(""), ConfigReadResult::NoFile);  // still a folder: nothing written
  fs::remove(path());
  EXPECT_EQ(Read(""), ConfigReadResult::Ok);
  EXPECT_EQ(settings_.calDegPerPixel1, 0.375);
}

TEST_F(ConfigFileTest, SaveReplacesTheFileWholeOrReportsFailure) {
  WriteFileBytes(path(), std::string(5000, '#'));
  ASSERT_TRUE(SaveConfiguration(settings_, path()));
  EXPECT_EQ(ReadFileBytes(path()).rfind("pseudoColor:false\r\n", 0), 0u);
  EXPECT_EQ(ReadFileBytes(path()).find('#'), std::string::npos);

  EXPECT_FALSE(SaveConfiguration(settings_, (dir_ / "no-such-folder/config.txt").string()));
  // A folder in the file's place cannot be replaced; the temporary file does not stay behind.
  const std::string folder = (dir_ / "taken").string();
  fs::create_directories(folder + "/inside");
  EXPECT_FALSE(SaveConfiguration(settings_, folder));
  EXPECT_FALSE(fs::exists(folder + ".tmp"));
  EXPECT_TRUE(fs::is_directory(folder + "/inside"));
}

TEST_F(ConfigFileTest, PathsThatCannotBeReadBackAreLeftOut) {
  settings_.maskFile.set("/masks/one\r\nthreshold:99");
  settings_.archiveFolder.set("/" + std::string(1100, 'a'));
  ASSERT_TRUE(SaveConfiguration(settings_, path()));
  EXPECT_EQ(ReadFileBytes(path()), kDefaultFile);
}

TEST(ConfigFileLocationTest, SaveMakesTheDataFoldersAndReadFindsTheFile) {
  test::ScopedHome home;
  Settings settings;
  EXPECT_EQ(ReadConfiguration(settings), ConfigReadResult::NoFile);
  ASSERT_FALSE(fs::exists(home.home() / ".local"));
  settings.threshold = 77;
  settings.maskFile.set("/m a s k.png");
  ASSERT_TRUE(SaveConfiguration(settings));
  const fs::path file = home.home() / ".local/share/Ombrix/config.txt";
  EXPECT_EQ(LocalDataFolder() + "/config.txt", file.string());
  EXPECT_TRUE(fs::is_regular_file(file));

  Settings loaded;
  ASSERT_EQ(ReadConfiguration(loaded), ConfigReadResult::Ok);
  EXPECT_EQ(loaded.threshold, 77);
  EXPECT_EQ(loaded.maskFile.get(), "/m a s k.png");
}

}  // namespace
}  // namespace ombrix
