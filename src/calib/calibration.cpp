#include "calib/calibration.h"

#include <algorithm>
#include <cmath>

#include "base/frame.h"

namespace ombrix {
namespace {

// The constants of the sky model, exactly as the station has always used them: results stay
// comparable with time histories written earlier.
constexpr double kPi = 3.14159265359;
constexpr double kDegToRad = 0.017453292519944444;  // kPi / 180
constexpr double kElevationRadToDeg = 57.29577951307855;
constexpr double kRightAngle = 1.570796326795;

// The inverse search starts from the fixed image centre, not the calibrated one.
constexpr double kImageCentreX = 320;
constexpr double kImageCentreY = 240;

// Below this tilt (radians, about 0.2 milliarcseconds) the camera counts as vertical. The tilted
// formulas decide the quadrant of the azimuth from a quotient whose numerator and denominator both
// shrink with the tilt; once the numerator is down at the rounding residue of the cosines its sign
// is noise, and at a tilt of exactly 0 it is 0/0. A tilt that small comes only from rounding, for
// example true and apparent longitudes of -180 and 180, and the vertical camera's answer differs
// from the tilted one by about the tilt itself.
constexpr double kVerticalTiltRad = 1e-9;

// The inverse search stays within the frame and one frame width / height around it, and gives up
// after this many sweeps. A start outside that area is moved to its edge; no start at all (a linear
// lens coefficient of 0) means the image centre.
constexpr int kSearchMinX = -kFrameWidth;
constexpr int kSearchMaxX = 2 * kFrameWidth - 1;
constexpr int kSearchMinY = -kFrameHeight;
constexpr int kSearchMaxY = 2 * kFrameHeight - 1;
constexpr int kMaxSweeps = 2000;

double ToRadians(double degrees) {
  return degrees * kDegToRad;
}

// Degrees in [0, 360) from the azimuth in radians as the tilted-sphere formulas produce it (half a
// turn away from the compass bearing).
double AzimuthDegrees(double radians) {
  double degrees = radians * 180 / kPi - 180;
  if (!std::isfinite(degrees)) {
    return degrees;
  }
  // fmod is exact, so this equals adding or subtracting whole turns one at a time.
  degrees = std::fmod(degrees, 360.0);
  while (degrees < 0) {
    degrees += 360;
  }
  while (degrees >= 360) {
    degrees -= 360;
  }
  return degrees + 0.0;  // never -0
}

double AngularDistance(const Calibration& calibration, const Tilt& tilt, int x, int y,
                       double azimuthDeg, double elevationDeg) {
  const AzEl pixel = PixelToAzEl(calibration, tilt, x, y);
  const double az = ToRadians(pixel.azimuth);
  const double el = ToRadians(pixel.elevation);
  const double a = ToRadians(azimuthDeg);
  const double e = ToRadians(elevationDeg);
  // Rounding can push the cosine of a zero angle just above 1 and of a straight angle just below
  // -1; both are brought back so that neither gives not-a-number.
  const double c = std::clamp(
      std::sin(e) * std::sin(el) + std::cos(e) * std::cos(el) * std::cos(az - a), -1.0, 1.0);
  return std::acos(c) * 180 / kPi;
}

int SearchStart(double value, int low, int high) {
  return static_cast<int>(std::clamp(value, static_cast<double>(low), static_cast<double>(high)));
}

bool InsideSearchArea(int x, int y) {
  return x >= kSearchMinX && x <= kSearchMaxX && y >= kSearchMinY && y <= kSearchMaxY;
}

}  // namespace

Tilt TiltFromPositions(const Calibration& calibration) {
  const double phiT = ToRadians(calibration.trueLatitude);
  const double lambdaT = ToRadians(calibration.trueLongitude);
  const double phiA = ToRadians(calibration.apparentLatitude);
  const double lambdaA = ToRadians(calibration.apparentLongitude);
  const double dPhi = phiA - phiT;
  const double dLambda = lambdaA - lambdaT;
  const double sinHalfPhi = std::sin(dPhi / 2);
  const double sinHalfLambda = std::sin(dLambda / 2);
  const double h =
      sinHalfPhi * sinHalfPhi + std::cos(phiT) * std::cos(phiA) * sinHalfLambda * sinHalfLambda;
  const double delta = 2 * std::atan2(std::sqrt(h), std::sqrt(1 - h));
  const double beta = std::atan2(std::sin(dLambda) * std::cos(phiA),
                                 std::cos(phiT) * std::sin(phiA) -
                                     std::sin(phiT) * std::cos(phiA) * std::cos(dLambda)) +
                      kPi;
  return {delta, beta};
}

AzEl PixelToAzEl(const Calibration& calibration, double x, double y) {
  return PixelToAzEl(calibration, TiltFromPositions(calibration), x, y);
}

AzEl PixelToAzEl(const Calibration& calibration, const Tilt& tilt, double x, double y) {
  const double dx = x - calibration.copX;
  const double dy = y - calibration.copY;
  const double r = std::sqrt(dx * dx + dy * dy);
  // Angle from the camera axis.
  const double zeta =
      ToRadians(calibration.degPerPixel0 + calibration.degPerPixel1 * r +
                calibration.degPerPixel2 * r * r + calibration.degPerPixel3 * r * r * r);
  // Bearing in the camera frame, from the downward image axis towards the right, relative to the
  // tilt bearing.
  const double bearing = std::atan2(dx, dy) + ToRadians(calibration.rotation) - tilt.beta;

  double elevation;
  double azimuth;
  if (tilt.delta < kVerticalTiltRad) {
    // Vertical camera: the limit of the formulas below for a vanishing tilt.
    elevation = kRightAngle - zeta;
    azimuth = bearing + tilt.beta;
  } else {
    const double cosDelta = std::cos(tilt.delta);
    const double sinDelta = std::sin(tilt.delta);
    const double cosZeta = std::cos(zeta);
    const double sinZeta = std::sin(zeta);
    // Zenith distance, and the azimuth from the sine rule with its quadrant from the cosine rule.
    const double z = std::acos(cosDelta * cosZeta - sinDelta * sinZeta * std::cos(bearing));
    const double sinZ = std::sin(z);
    double a;
    if (sinZ == 0) {
      // The pixel looks exactly at the zenith (a tilt that is a whole multiple of the lens law's
      // step puts a pixel there): every azimuth is right and the formulas below give 0/0. Answer
      // as the vertical camera does.
      a = bearing;
    } else {
      a = std::asin(std::sin(bearing) * sinZeta / sinZ);
      const double q = (cosZeta - std::cos(z) * cosDelta) / (sinZ * sinDelta);
      if (q < 0) {
        a = kPi - a;
      }
    }
    elevation = kRightAngle - z;
    azimuth = a + tilt.beta;
  }
  return {AzimuthDegrees(azimuth), elevation * kElevationRadToDeg};
}

double AngularDistance(const Calibration& calibration, int x, int y, double azimuthDeg,
                       double elevationDeg) {
  return AngularDistance(calibration, TiltFromPositions(calibration), x, y, azimuthDeg,
                         elevationDeg);
}

Pixel AzElToPixel(const Calibration& calibration, double azimuthDeg, double elevationDeg) {
  const Tilt tilt = TiltFromPositions(calibration);

  // Start where the linear lens law alone puts the direction.
  const double r0 = (90 - elevationDeg) / calibration.degPerPixel1;
  const double t = ToRadians(azimuthDeg - calibration.rotation);
  const double startX = kImageCentreX - std::sin(t) * r0 + 0.5;
  const double startY = kImageCentreY - std::cos(t) * r0 + 0.5;
  Pixel best{static_cast<int>(kImageCentreX), static_cast<int>(kImageCentreY)};
  if (std::isfinite(startX) && std::isfinite(startY)) {
    best = {SearchStart(startX, kSearchMinX, kSearchMaxX),
            SearchStart(startY, kSearchMinY, kSearchMaxY)};
  }
  double bestDistance =
      AngularDistance(calibration, tilt, best.x, best.y, azimuthDeg, elevationDeg);

  // Move to the nearest of the eight neighbours until none is strictly nearer. Ties keep the
  // pixel visited first (x outer, y inner, both upwards).
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    const Pixel centre = best;
    for (int x = centre.x - 1; x <= centre.x + 1; ++x) {
      for (int y = centre.y - 1; y <= centre.y + 1; ++y) {
        const double distance = AngularDistance(calibration, tilt, x, y, azimuthDeg, elevationDeg);
        if (distance < bestDistance) {
          bestDistance = distance;
          best = {x, y};
        }
      }
    }
    if (best.x == centre.x && best.y == centre.y) {
      break;
    }
    if (!InsideSearchArea(best.x, best.y)) {
      break;  // wandered far off the frame; the caller will not use the result
    }
  }
  return best;
}

}  // namespace ombrix
