#pragma once

namespace ombrix {

// Lens and camera-tilt calibration of the fish-eye camera. Pixel coordinates are x to the right
// and y downwards in the 640x480 frame; angles are in degrees.
//  - lens law: the angle from the camera axis is degPerPixel0 + degPerPixel1*r + degPerPixel2*r^2
//    + degPerPixel3*r^3 for a pixel r pixels from the centre of projection (copX, copY);
//  - rotation of the image about that centre;
//  - tilt of the camera axis: the axis points to the zenith of the apparent position, the station
//    stands at the true position.
struct Calibration {
  double rotation = 0;
  double degPerPixel0 = 0;
  double degPerPixel1 = 0.375;
  double degPerPixel2 = 0;
  double degPerPixel3 = 0;
  double apparentLatitude = 0;
  double apparentLongitude = 0;
  double trueLatitude = 0;
  double trueLongitude = 0;
  double copX = 320;
  double copY = 240;
};

// Tilt of the camera axis, in radians: delta is the angle between the axis and the local vertical,
// beta the bearing of the tilt (the initial bearing from the true to the apparent position, plus
// half a turn).
struct Tilt {
  double delta;
  double beta;
};

struct AzEl {
  double azimuth;    // degrees, in [0, 360): 0 north, 90 east
  double elevation;  // degrees above the horizon
};

struct Pixel {
  int x;
  int y;
};

Tilt TiltFromPositions(const Calibration& calibration);

// Direction of a (possibly fractional) pixel position.
AzEl PixelToAzEl(const Calibration& calibration, double x, double y);
// The same with the tilt computed once by the caller (for many points); same result.
AzEl PixelToAzEl(const Calibration& calibration, const Tilt& tilt, double x, double y);

// Angle on the sky, in degrees, between the direction of pixel (x, y) and the given direction.
double AngularDistance(const Calibration& calibration, int x, int y, double azimuthDeg,
                       double elevationDeg);

// The pixel whose direction is nearest to the given one, found by a local search from the pixel
// the linear lens law predicts. The result may lie outside the frame; callers check
// 0 <= x < 640 and 0 <= y < 480 before using it.
Pixel AzElToPixel(const Calibration& calibration, double azimuthDeg, double elevationDeg);

}  // namespace ombrix
