#pragma once

namespace ombrix {

// True when the kernel considers the system clock synchronised to a time source. Every file name
// is a UTC capture time, so an unsynchronised clock misfiles the night; the station reports a
// false result at start-up and hourly.
bool SystemClockSynchronised();

// The decision on the kernel's answer: adjtimex's return value and its status bits.
bool ClockStateSynchronised(int adjtimexResult, int status);

}  // namespace ombrix
