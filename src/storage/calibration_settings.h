#pragma once

#include "calib/calibration.h"
#include "config/settings.h"

namespace ombrix {

// The calibration fields of a settings record.
Calibration CalibrationFromSettings(const Settings& settings);

}  // namespace ombrix
