// The parts of qmxcommon that need no operating system: the row time stamp, the managed-system
// name and the age rule for reusing script output files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr size_t kHQTimeStampLen = 16;
constexpr size_t kManagedSystemNameLen = 64;

// 16 characters, no terminator: years since 1900 (3 digits), month, day, hour, minute, second
// (2 each), then "000".
void FormatHQTimeStamp(const std::tm& local, char* out);
// getHQTimeStamp: the stamp of the current local time.
void getHQTimeStamp(char* out);

// Writes text into the 64-byte field: cut at 64 bytes, blank-padded, no terminator.
void PadManagedSystemName(const char* text, char* out);
// ReturnLocalHost: "<VORTA_SUBSYSTEM_ID>:<VORTA_HOSTNAME>:EX", "<VORTA_HOSTNAME>:EX" or
// "<COMPUTERNAME>:EX", padded as above.
void ReturnLocalHost(char* out);

// ReturnLocalHost's 64 bytes, obtained once per process (the tables cache it after their first
// sample).
const char* CachedLocalHost();

// A file time difference (100 ns units) read as a calendar time from 1601-01-01, as the
// system's file time conversion does.
struct AgeAsCalendar {
  int year, month, day, hour, minute, second;
};
AgeAsCalendar AgeToCalendar(uint64_t age100ns);

// The freshness rule for a file of the given age: 0 fresh, 1 stale. interval is QMX_INTERVAL
// (seconds, may be null). Only an age under one hour whose minutes are below the interval in
// minutes counts as fresh.
int FileAgeVerdict(uint64_t age100ns, const char* interval);
