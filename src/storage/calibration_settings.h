#pragma once

#include "calib/calibration.h"
#include "config/settings.h"

namespace ombrix {

// The calibration fields of the settings as they stand, each read once. The fields are separate
// relaxed values, so a dialog changing them meanwhile may give a mix of old and new ones.
Calibration CalibrationFromSettings(const Settings& settings);

}  // namespace ombrix
