#include "storage/calibration_settings.h"

#include <gtest/gtest.h>

namespace ombrix {
namespace {

TEST(CalibrationFromSettingsTest, CopiesEveryFieldToItsPlace) {
  Settings settings;
  settings.calRotation = 1.5;
  settings.calDegPerPixel0 = 2.5;
  settings.calDegPerPixel1 = 3.5;
  settings.calDegPerPixel2 = 4.5;
  settings.calDegPerPixel3 = 5.5;
  settings.calApparentLatitude = 6.5;
  settings.calApparentLongitude = 7.5;
  settings.calTrueLatitude = 8.5;
  settings.calTrueLongitude = 9.5;
  settings.calCOPx = 10.5;
  settings.calCOPy = 11.5;
  const Calibration c = CalibrationFromSettings(settings);
  const double got[] = {c.rotation,
                        c.degPerPixel0,
                        c.degPerPixel1,
                        c.degPerPixel2,
                        c.degPerPixel3,
                        c.apparentLatitude,
                        c.apparentLongitude,
                        c.trueLatitude,
                        c.trueLongitude,
                        c.copX,
                        c.copY};
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(got[i], i + 1.5) << i;
  }
}

}  // namespace
}  // namespace ombrix
