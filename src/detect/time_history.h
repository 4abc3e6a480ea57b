#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/utc_time.h"

namespace ombrix {

// One line of a time-history (.csv) file: the capture time of a frame and its detection figures.
struct TimeHistoryRow {
  UtcTime time{};  // the frame's capture time, written as its Stamp
  int32_t pixelCount = 0;
  int32_t excessSum = 0;
  double centroidX = 0;
  double centroidY = 0;
};

// The one formatter and parser of time-history lines. A line is
//   stamp,pixelCount,excessSum,centroidX,centroidY
// with the numbers right-aligned to minimum widths 6, 8, 6 and 6 ("%6d", "%8d", "%6.1f", "%6.1f"),
// no space after a comma and no line end; files add "\r\n". Numbers are printed and read with '.'
// as the decimal point whatever the process locale is.

// Writes the line and a terminating NUL into out; returns its length (49 for every clip line), or
// 0 when it does not fit into size bytes or the time is one that no Stamp can hold.
int FormatTimeHistoryLine(char* out, size_t size, const TimeHistoryRow& row);

// The same line followed by ",azimuth,elevation", each "%7.2f".
int FormatEventTimeHistoryLine(char* out, size_t size, const TimeHistoryRow& row, double azimuth,
                               double elevation);

// Write the line with its CR LF to a file; false when it was not written whole.
bool WriteTimeHistoryLine(std::FILE* file, const TimeHistoryRow& row);
bool WriteEventTimeHistoryLine(std::FILE* file, const TimeHistoryRow& row, double azimuth,
                               double elevation);

// Reads a line as a Stamp (ParseStamp, after any leading white space) and "," followed by
// "%d,%d,%lf,%lf"; whatever follows (the sky coordinates of an event line, CR, LF) is ignored.
// False when the line does not parse; row is then unspecified.
bool ParseTimeHistoryLine(const char* line, TimeHistoryRow& row);

}  // namespace ombrix
