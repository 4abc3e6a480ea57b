#include "storage/calibration_settings.h"

namespace ombrix {

Calibration CalibrationFromSettings(const Settings& settings) {
  Calibration calibration;
  calibration.rotation = settings.calRotation;
  calibration.degPerPixel0 = settings.calDegPerPixel0;
  calibration.degPerPixel1 = settings.calDegPerPixel1;
  calibration.degPerPixel2 = settings.calDegPerPixel2;
  calibration.degPerPixel3 = settings.calDegPerPixel3;
  calibration.apparentLatitude = settings.calApparentLatitude;
  calibration.apparentLongitude = settings.calApparentLongitude;
  calibration.trueLatitude = settings.calTrueLatitude;
  calibration.trueLongitude = settings.calTrueLongitude;
  calibration.copX = settings.calCOPx;
  calibration.copY = settings.calCOPy;
  return calibration;
}

}  // namespace ombrix
