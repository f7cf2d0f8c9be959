// Two small tables for the monitoring side's tests, built on the framework classes directly.
//   QMXHTA: standard header, one attribute of each type, rows with padding, NULs, bytes that
//           need escaping, invalid UTF-8 and the not-available marker.
//   QMXHTB: time-first header, two plain rows; its sample can be slowed down or made to fail.
#pragma once

#include <atomic>

#include "pxr.h"

namespace http_test {

// Registers both tables (once per process; again after pxr::ResetForTests).
void RegisterTestTables();

// Behaviour of QMXHTB's TakeSample.
extern std::atomic<int> gTableBDelayMs;
extern std::atomic<bool> gTableBFails;
// TakeSample calls of QMXHTB running at this moment, and the most ever seen at once.
extern std::atomic<int> gTableBRunning;
extern std::atomic<int> gTableBMostAtOnce;

}  // namespace http_test
