// RectOnMonitor: the offset from the work area's corner kept where the window fits, else 16 pixels in and shrunk.
#include "fixture.h"

#include <climits>

#include "movenewwindowtoactivatemonitor.h"

namespace {

const RECT kWork{600, 40, 990, 700};
const POINT kOrigin{0, 0};

TEST(RectOnMonitor, KeepsOffsetsThatFitAndFallsBackPerAxis) {
  EXPECT_RECT(RectOnMonitor({50, 50, 350, 350}, kOrigin, kWork), 650, 90, 950, 390);
  EXPECT_RECT(RectOnMonitor({90, 0, 390, 660}, kOrigin, kWork), 690, 40, 990, 700) << "edges may meet exactly";
  EXPECT_RECT(RectOnMonitor({20, 100, 520, 900}, kOrigin, kWork), 616, 56, 990, 700) << "inset and shrunk";
  EXPECT_RECT(RectOnMonitor({-30, 20, 270, 320}, kOrigin, kWork), 616, 60, 916, 360) << "negative offset";
  // As wide as the work area less the inset: moves in without shrinking.
  EXPECT_RECT(RectOnMonitor({500, 10, 874, 20}, kOrigin, kWork), 616, 50, 990, 60);
  // The offset counts from the given origin, not from zero.
  EXPECT_RECT(RectOnMonitor({1970, 60, 2070, 160}, POINT{1920, 40}, kWork), 650, 60, 750, 160);
}

TEST(RectOnMonitor, AnyRectangleFromAnotherProgramStaysInsideTheWorkArea) {
  const LONG extremes[] = {INT_MIN, INT_MIN + 1, -1, 0, 1, INT_MAX - 1, INT_MAX};
  for (LONG a : extremes) {
    for (LONG b : extremes) {
      for (POINT origin : {POINT{0, 0}, POINT{INT_MIN, INT_MAX}, POINT{INT_MAX, INT_MIN}}) {
        const RECT r = RectOnMonitor(RECT{a, b, b, a}, origin, kWork);
        EXPECT_TRUE(r.left >= kWork.left && r.left <= kWork.right && r.right >= kWork.left &&
                    r.right <= kWork.right && r.top >= kWork.top && r.top <= kWork.bottom &&
                    r.bottom >= kWork.top && r.bottom <= kWork.bottom)
            << a << " " << b << " -> " << rectText(r);
      }
    }
  }
  // A work area narrower than the inset still gives a rectangle inside it.
  const RECT narrow{0, 0, 10, 10};
  const RECT r = RectOnMonitor(RECT{-5, -5, 100, 100}, POINT{0, 0}, narrow);
  EXPECT_TRUE(r.left >= 0 && r.right <= 10 && r.top >= 0 && r.bottom <= 10) << rectText(r);
}

} // namespace
