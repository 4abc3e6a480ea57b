#include "calib/calibration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace ombrix {
namespace {

TEST(PixelToAzElTest, UpIsNorthRightIsWestAndTheZenithAngleFollowsTheLensLaw) {
  struct Case {
    double apparentLatitude, apparentLongitude, x, y, azimuth, elevation, tolerance;
  };
  // Vertical (0 0), or tilted 1 degree north (1 0) or east (0 1); a nan azimuth may be any.
  for (const Case& c :
       {Case{0, 0, 320, 140, 0, 52.5, 1e-9}, Case{0, 0, 460, 240, 270, 37.5, 1e-9},
        Case{0, 0, 282.5, 240, 90, 75.9375, 1e-9}, Case{0, 0, 320, 240, NAN, 90, 1e-9},
        Case{1, 0, 320, 100, 0, 36.5, 1e-9}, Case{1, 0, 320, 380, 180, 38.5, 1e-9},
        Case{1, 0, 460, 240, 270.8, 37.5, 0.05}, Case{1, 0, 320, 240, NAN, 89, 1e-9},
        Case{0, 1, 180, 240, 90, 36.5, 1e-9}, Case{0, 1, 460, 240, 270, 38.5, 1e-9}}) {
    const Calibration calibration{0, 0, 0.375, 0, 0, c.apparentLatitude, c.apparentLongitude};
    const AzEl p = PixelToAzEl(calibration, c.x, c.y);
    if (!std::isnan(c.azimuth)) {
      EXPECT_LT(std::fabs(std::remainder(p.azimuth - c.azimuth, 360)), c.tolerance)
          << c.x << "," << c.y;
    }
    EXPECT_NEAR(p.elevation, c.elevation, c.tolerance) << c.x << "," << c.y;
  }
  const Calibration cubic{0, 0.5, 0.3, 2e-4, -1e-7, 0, 0, 0, 0, 310.5, 250.25};
  EXPECT_NEAR(PixelToAzEl(cubic, 410.5, 250.25).elevation,
              90 - (0.5 + 0.3 * 100 + 2e-4 * 100 * 100 - 1e-7 * 100 * 100 * 100), 1e-9);
  // Longitude -180 and 180 differ by a rounding tilt, too small to give the azimuth's quadrant:
  // it counts as vertical.
  const Calibration residue{0, 0, 0.375, 0, 0, 52.1, 180, 52.1, -180};
  ASSERT_GT(TiltFromPositions(residue).delta, 0);
  ASSERT_LT(TiltFromPositions(residue).delta, 1e-9);
  for (int i = 0; i < 16 * 12; ++i) {
    const int x = i % 16 * 40, y = i / 16 * 40;
    const AzEl got = PixelToAzEl(residue, x, y), want = PixelToAzEl(Calibration{}, x, y);
    EXPECT_LT(std::fabs(std::remainder(got.azimuth - want.azimuth, 360)), 1e-6) << x << "," << y;
    EXPECT_NEAR(got.elevation, want.elevation, 1e-9) << x << "," << y;
  }
}

TEST(AzElToPixelTest, EveryPixelIsFoundFromItsOwnDirectionAndTheSearchEnds) {
  // Vertical; zenith on pixel (320, 241); and as a real station might be.
  for (const Calibration& calibration :
       {Calibration{}, Calibration{0, 0, 0.375, 0, 0, 0.375},
        Calibration{12.5, 0.1, 0.36, 1e-5, -2e-8, 46.2, 8.5, 45.0, 7.0, 318.4, 243.1}}) {
    int mismatches = 0;
    for (int x = 0; x < 640; x += 8) {
      for (int y = 1; y < 480; y += 8) {
        const AzEl p = PixelToAzEl(calibration, x, y);
        const double own = AngularDistance(calibration, x, y, p.azimuth, p.elevation);
        EXPECT_NEAR(own, 0, 1e-5) << x << "," << y;
        const Pixel found = AzElToPixel(calibration, p.azimuth, p.elevation);
        if (found.x != x || found.y != y) {  // only a neighbour just as near may stand in
          EXPECT_EQ(AngularDistance(calibration, found.x, found.y, p.azimuth, p.elevation), own);
          EXPECT_LE(std::max(std::abs(found.x - x), std::abs(found.y - y)), 1) << x << "," << y;
          ++mismatches;
        }
      }
    }
    EXPECT_LT(mismatches, 5);
  }
  // The search ends for degenerate lens laws: a tiny linear term starts millions of pixels away,
  // a shrinking law steps ever outwards.
  for (const double linear : {1e-9, -0.01}) {
    const Pixel p = AzElToPixel(Calibration{0, 0, linear}, 33, 0);
    EXPECT_TRUE(p.x < 0 || p.x >= 640 || p.y < 0 || p.y >= 480) << p.x << "," << p.y;
  }
  const Calibration flat{0, 0, 0};  // every pixel looks at the zenith; no farther than the centre
  const Pixel p = AzElToPixel(flat, 45, 10);
  EXPECT_LE(AngularDistance(flat, p.x, p.y, 45, 10), AngularDistance(flat, 320, 240, 45, 10));
  EXPECT_LE(std::abs(p.x - 320) + std::abs(p.y - 240), 4);
  const Pixel q = AzElToPixel(Calibration{}, NAN, 45);  // not-a-number in, the centre out
  EXPECT_EQ(q.x * 1000 + q.y, 320240);
}

}  // namespace
}  // namespace ombrix
