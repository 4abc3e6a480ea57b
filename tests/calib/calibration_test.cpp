#include "calib/calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace ombrix {
namespace {

// Camera axis tilted by 1 degree: the apparent position lies 1 degree north of the true one.
Calibration TiltedNorth() {
  Calibration calibration;
  calibration.apparentLatitude = 1;
  return calibration;
}

// A calibration as a real station might have: tilted by about 1.5 degrees towards the south-west,
// rotated, off-centre, with a non-linear lens law that still grows with the radius.
Calibration Realistic() {
  Calibration calibration;
  calibration.rotation = 12.5;
  calibration.degPerPixel0 = 0.1;
  calibration.degPerPixel1 = 0.36;
  calibration.degPerPixel2 = 1e-5;
  calibration.degPerPixel3 = -2e-8;
  calibration.trueLatitude = 45.0;
  calibration.trueLongitude = 7.0;
  calibration.apparentLatitude = 46.2;
  calibration.apparentLongitude = 8.5;
  calibration.copX = 318.4;
  calibration.copY = 243.1;
  return calibration;
}

// Distance between two azimuths on the circle, in degrees.
double AzimuthGap(double a, double b) {
  const double d = std::fabs(a - b);
  return std::min(d, 360 - d);
}

TEST(PixelToAzElTest, UpIsNorthAndRightIsWestWithTheAxisTiltedOneDegree) {
  struct Case {
    double apparentLatitude, apparentLongitude;  // 1 degree north or east of the true position
    double x, y, azimuth, elevation, tolerance;
  };
  const double any = std::nan("");
  for (const Case& c :
       {Case{1, 0, 320, 100, 0, 36.5, 1e-9}, Case{1, 0, 320, 380, 180, 38.5, 1e-9},
        Case{1, 0, 460, 240, 270.8, 37.5, 0.05}, Case{1, 0, 180, 240, 89.2, 37.5, 0.05},
        Case{1, 0, 320, 240, any, 89, 1e-9}, Case{0, 1, 180, 240, 90, 36.5, 1e-9},
        Case{0, 1, 460, 240, 270, 38.5, 1e-9}, Case{0, 1, 320, 240, any, 89, 1e-9}}) {
    Calibration calibration;
    calibration.apparentLatitude = c.apparentLatitude;
    calibration.apparentLongitude = c.apparentLongitude;
    const AzEl p = PixelToAzEl(calibration, c.x, c.y);
    if (!std::isnan(c.azimuth)) {
      EXPECT_LT(AzimuthGap(p.azimuth, c.azimuth), c.tolerance) << c.x << "," << c.y;
    }
    EXPECT_NEAR(p.elevation, c.elevation, c.tolerance) << c.x << "," << c.y;
  }
  // East and west of the centre are mirror images across the meridian of a northward tilt.
  const AzEl west = PixelToAzEl(TiltedNorth(), 460, 240);
  const AzEl east = PixelToAzEl(TiltedNorth(), 180, 240);
  EXPECT_NEAR(west.azimuth + east.azimuth, 360, 1e-9);
  EXPECT_NEAR(west.elevation, east.elevation, 1e-9);
}

TEST(PixelToAzElTest, VerticalCameraFollowsTheLensLawAndTheCompass) {
  // True and apparent positions equal: the defaults, and a station away from the origin.
  Calibration atOrigin;
  Calibration elsewhere;
  elsewhere.trueLatitude = elsewhere.apparentLatitude = -33.9;
  elsewhere.trueLongitude = elsewhere.apparentLongitude = 151.2;
  for (const Calibration& calibration : {atOrigin, elsewhere}) {
    EXPECT_EQ(TiltFromPositions(calibration).delta, 0);
    for (double r : {0.0, 1.0, 37.5, 140.0, 239.5, 240.0, 300.0}) {
      // Up, right, down and left of the centre: north, west, south, east.
      const AzEl compass[] = {
          PixelToAzEl(calibration, 320, 240 - r), PixelToAzEl(calibration, 320 + r, 240),
          PixelToAzEl(calibration, 320, 240 + r), PixelToAzEl(calibration, 320 - r, 240)};
      for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(std::isfinite(compass[i].azimuth)) << r;
        EXPECT_NEAR(compass[i].elevation, 90 - 0.375 * r, 1e-9) << r;
        if (r > 0) {
          EXPECT_LT(AzimuthGap(compass[i].azimuth, 360 - 90 * i), 1e-9) << r << " " << i;
        }
      }
    }
    // Off the axes, fractional: r = 180 towards the north-east.
    const AzEl p = PixelToAzEl(calibration, 320 - 108, 240 - 144);
    EXPECT_NEAR(p.elevation, 90 - 67.5, 1e-9);
    EXPECT_NEAR(p.azimuth, std::atan2(108.0, 144.0) * 180 / M_PI, 1e-6);
  }

  // Every term of the lens law, about an off-centre point.
  Calibration cubic;
  cubic.degPerPixel0 = 0.5;
  cubic.degPerPixel1 = 0.3;
  cubic.degPerPixel2 = 2e-4;
  cubic.degPerPixel3 = -1e-7;
  cubic.copX = 310.5;
  cubic.copY = 250.25;
  for (double r : {0.0, 50.0, 123.25, 200.0}) {
    const double zeta = 0.5 + 0.3 * r + 2e-4 * r * r - 1e-7 * r * r * r;
    EXPECT_NEAR(PixelToAzEl(cubic, 310.5 + r, 250.25).elevation, 90 - zeta, 1e-9) << r;
  }
}

TEST(PixelToAzElTest, TiltLeftByRoundingIsTreatedAsVertical) {
  // -180 and 180 degrees of longitude are the same meridian; the approximate pi leaves a tilt of
  // a few 1e-13 radians, at which the tilted formulas pick the azimuth's quadrant from noise.
  Calibration residue;
  residue.trueLatitude = residue.apparentLatitude = 52.1;
  residue.trueLongitude = -180;
  residue.apparentLongitude = 180;
  const Tilt tilt = TiltFromPositions(residue);
  ASSERT_GT(tilt.delta, 0);
  ASSERT_LT(tilt.delta, 1e-9);

  const Calibration vertical;
  for (int x = 0; x < 640; x += 40) {
    for (int y = 0; y < 480; y += 40) {
      const AzEl got = PixelToAzEl(residue, x, y);
      const AzEl want = PixelToAzEl(vertical, x, y);
      EXPECT_LT(AzimuthGap(got.azimuth, want.azimuth), 1e-6) << x << "," << y;
      EXPECT_NEAR(got.elevation, want.elevation, 1e-9) << x << "," << y;
    }
  }
}

TEST(PixelToAzElTest, PixelExactlyAtTheZenithHasAFiniteAzimuth) {
  // A tilt of 0.375 degrees towards the north puts the zenith exactly one pixel below the centre.
  Calibration calibration;
  calibration.apparentLatitude = 0.375;
  const AzEl zenith = PixelToAzEl(calibration, 320, 241);
  EXPECT_NEAR(zenith.elevation, 90, 1e-9);
  EXPECT_TRUE(std::isfinite(zenith.azimuth));
  EXPECT_GE(zenith.azimuth, 0);
  EXPECT_LT(zenith.azimuth, 360);
  EXPECT_NEAR(AngularDistance(calibration, 320, 241, 123, 90), 0, 1e-6);
  EXPECT_EQ(AzElToPixel(calibration, 0, 90).y, 241);
}

TEST(PixelToAzElTest, AzimuthStaysInRangeForAnyRotation) {
  const AzEl unrotated = PixelToAzEl(TiltedNorth(), 400, 170);
  for (double rotation :
       {-720.0, -360.0, -90.0, -1e-12, 45.0, 359.999, 360.0, 1080.0, 1e7, -1e300, 1e300}) {
    Calibration calibration = TiltedNorth();
    calibration.rotation = rotation;
    const AzEl p = PixelToAzEl(calibration, 400, 170);
    EXPECT_TRUE(p.azimuth >= 0 && p.azimuth < 360 && !std::signbit(p.azimuth)) << rotation;
    if (std::fabs(rotation) < 1e4 && std::fmod(rotation, 360) == 0) {
      EXPECT_NEAR(p.azimuth, unrotated.azimuth, 1e-9) << rotation;  // whole turns change nothing
    }
  }
  Calibration turned;  // a vertical camera turned by 90 degrees has east at the top
  turned.rotation = 90;
  EXPECT_NEAR(PixelToAzEl(turned, 320, 100).azimuth, 90, 1e-9);
}

TEST(AngularDistanceTest, OwnDirectionIsZeroAndTheOppositeIs180) {
  for (const Calibration& calibration : {Calibration{}, TiltedNorth(), Realistic()}) {
    const Tilt tilt = TiltFromPositions(calibration);
    for (int x = 0; x < 640; x += 16) {
      for (int y = 0; y < 480; y += 16) {
        const AzEl p = PixelToAzEl(calibration, tilt, x, y);
        const double own = AngularDistance(calibration, x, y, p.azimuth, p.elevation);
        ASSERT_FALSE(std::isnan(own)) << x << "," << y;
        EXPECT_NEAR(own, 0, 1e-5) << x << "," << y;
        const double opposite = AngularDistance(calibration, x, y, p.azimuth + 180, -p.elevation);
        ASSERT_FALSE(std::isnan(opposite)) << x << "," << y;
        EXPECT_NEAR(opposite, 180, 1e-5) << x << "," << y;
      }
    }
  }
  // Between two pixels of a vertical camera on the same side of the centre: the difference of
  // their angles from the axis.
  const AzEl far = PixelToAzEl(Calibration{}, 320, 40);
  EXPECT_NEAR(AngularDistance(Calibration{}, 320, 140, far.azimuth, far.elevation), 37.5, 1e-9);
}

TEST(AzElToPixelTest, FindsThePixelOfEveryDirectionInTheFrame) {
  for (const Calibration& calibration : {Calibration{}, TiltedNorth(), Realistic()}) {
    const Tilt tilt = TiltFromPositions(calibration);
    int mismatches = 0;
    for (int x = 2; x < 640; x += 9) {
      for (int y = 3; y < 480; y += 9) {
        const AzEl p = PixelToAzEl(calibration, tilt, x, y);
        const Pixel found = AzElToPixel(calibration, p.azimuth, p.elevation);
        if (found.x != x || found.y != y) {
          // Only a neighbour just as near, visited earlier, may stand in for the pixel.
          const double own = AngularDistance(calibration, x, y, p.azimuth, p.elevation);
          const double other =
              AngularDistance(calibration, found.x, found.y, p.azimuth, p.elevation);
          EXPECT_EQ(other, own) << x << "," << y << " -> " << found.x << "," << found.y;
          EXPECT_LE(std::abs(found.x - x), 1);
          EXPECT_LE(std::abs(found.y - y), 1);
          ++mismatches;
        }
      }
    }
    EXPECT_LT(mismatches, 5);
  }
}

TEST(AzElToPixelTest, AnyAzimuthAndResultsOffTheFrame) {
  const Calibration vertical;
  for (double az : {-270.0, 90.0, 450.0}) {  // east is left
    EXPECT_EQ(AzElToPixel(vertical, az, 30).x, 160) << az;
    EXPECT_EQ(AzElToPixel(vertical, az, 30).y, 240) << az;
  }
  EXPECT_EQ(AzElToPixel(vertical, 180, 0).y, 480);  // the southern horizon, just below the frame
}

TEST(AzElToPixelTest, LensLawWithoutALinearTermStartsFromTheCentre) {
  Calibration cubic;
  cubic.degPerPixel1 = 0;
  cubic.degPerPixel3 = 3e-6;  // still grows with the radius
  for (const Pixel pixel : {Pixel{320, 240}, Pixel{400, 300}, Pixel{100, 50}, Pixel{600, 460}}) {
    const AzEl p = PixelToAzEl(cubic, pixel.x, pixel.y);
    const Pixel found = AzElToPixel(cubic, p.azimuth, p.elevation);
    EXPECT_EQ(found.x, pixel.x);
    EXPECT_EQ(found.y, pixel.y);
  }

  // Every pixel looks at the zenith; only rounding tells them apart. The search starts at the
  // centre and cannot get farther from the target than that.
  Calibration flat;
  flat.degPerPixel1 = 0;
  const Pixel found = AzElToPixel(flat, 45, 10);
  EXPECT_LE(AngularDistance(flat, found.x, found.y, 45, 10),
            AngularDistance(flat, 320, 240, 45, 10));
  EXPECT_LE(std::abs(found.x - 320) + std::abs(found.y - 240), 4);
}

TEST(AzElToPixelTest, SearchEndsWhenTheDirectionLiesFarOffTheFrame) {
  // A very small linear term puts the start millions of pixels away, and a lens law that shrinks
  // with the radius makes every step outwards a better one. Both searches must end, off the frame.
  Calibration tiny;
  tiny.degPerPixel1 = 1e-9;
  Calibration shrinking;
  shrinking.degPerPixel1 = -0.01;
  for (const Calibration& calibration : {tiny, shrinking}) {
    for (double az : {0.0, 33.0, 200.0}) {
      const Pixel p = AzElToPixel(calibration, az, 0);
      EXPECT_FALSE(p.x >= 0 && p.x < 640 && p.y >= 0 && p.y < 480) << p.x << "," << p.y;
    }
  }
  // Not-a-number in, some pixel out.
  const Pixel p = AzElToPixel(Calibration{}, std::nan(""), 45);
  EXPECT_EQ(p.x, 320);
  EXPECT_EQ(p.y, 240);
}

}  // namespace
}  // namespace ombrix
