// The parts of the reachability test that need no operating system: the ";" tokenizer, the mail
// tool's output, the send/reply time comparison, the per-target record lists, the results file
// (written and read) and the settings' number rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qmxstorage_portable.h"

namespace qmx::reach {

// Splits at each ";": an empty text has no pieces, a trailing ";" gives a last empty piece (the
// agent's one ";" token walk).
inline std::vector<std::string> SplitFields(const std::string& text) { return storage::Tokens(text); }

// QMX_EMAIL_ADDRESSES: the pieces trimmed of blanks; empty pieces (";;", blanks only) are left
// out, so the mail tool is never started for an empty target.
std::vector<std::string> TargetAddresses(const char* setting);

// A time the mail tool prints: month/day/year, blanks, hour:minute:second.
struct MailTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// False for anything but a valid calendar date and time of day.
bool ParseMailTime(const std::string& text, MailTime* out);
// The row time stamp: years since 1900 in three digits, month, day, hour, minute, second, "000".
std::string StampOf(const MailTime& t);
// Seconds since 1970-01-01 of the date and time (no time zone: both sides are the tool's).
long long SecondsOf(const MailTime& t);
long MillisecondsOfDay(const MailTime& t);

// Whether a reply counts and its response time: the whole date and time of the reply must be at
// or after the send time; the difference is taken over the whole dates, so a reply just after
// midnight to a mail sent just before it counts with its true delay.
bool ReplyCounts(const MailTime& sent, const MailTime& received, double* seconds);

// What one run of the mail tool printed. Lines are read as at most 1023 characters (a longer
// line goes on as the next), recognised by the first of "SentTime:", "ReceivedTime:", "Name:"
// that they contain; the value is the text after the line's first ":", trimmed of blanks.
struct ToolOutput {
  bool sentSeen = false;      // a "SentTime:" line with a valid time
  bool replySeen = false;     // a "ReceivedTime:" line with a valid time
  MailTime sent, received;    // the last valid time of each kind
  std::string replyFrom;      // the last "Name:" value
  std::vector<std::string> lines;  // every line read, for the trace
};
ToolOutput ReadToolOutput(const std::string& output);

// 0 when every address of the ";" list occurs (ignoring case) in the found list, else 99.
int CheckReplies(const std::string& addresses, const std::string& found);
// The found list completed with "ADDRESS;N;0.00;<sent stamp>;unknown" for each address (upper
// case) without a record of its own.
std::string CheckResponsesComplete(const std::string& sentStamp, const std::string& addresses,
                                   const std::string& found);

// The text of a response time ("%f").
std::string ResponseText(double seconds);
// The server part of a directory answer: after its last "="; "unknown" when there is none.
std::string TargetServer(const std::string& userData);
// The DNS domain of a distinguished name: each "DC=" part upper-cased and preceded by ".".
std::string DnsDomainOf(const std::string& dn);

// A value for an LDAP search filter: "*", "(", ")", backslash and NUL written as "\2a", "\28", ...
// so that an address or user id never widens or breaks the filter.
std::string EscapeFilterValue(const std::string& value);

// One record of the results file, in the file's field order.
struct ReachRecord {
  std::string server, address, reachable, response, runTime;
};
// The cycle's records from the joined per-target results (address, reachable, response, run
// time, server per record), each field cut to the width it is held in.
std::vector<ReachRecord> RecordsOfResult(const std::string& result);
// The results file: one "server;address;reachable;response;run time" line per record.
std::string FormatResultsFile(const std::vector<ReachRecord>& records);

// One row of the reachability table.
struct ReachRow {
  std::string server, address;
  int32_t reachable = 0;  // 1 when the third field is exactly "Y"
  int32_t responseHundredths = 0;
  std::string runTime;
};
// The rows of a results file: lines that begin with "#" after blanks, and empty lines, give no
// row; a line is read up to its first NUL and at most 1023 characters; missing fields are empty,
// extra fields are ignored; a response that is not a number is 0, one out of range is clamped.
std::vector<ReachRow> ParseResultsFile(const std::string& text);
// The response time in hundredths, truncated, clamped to 32 bits (0 for no number).
int32_t ResponseHundredths(const std::string& text);

// QMX_REACHABILITY_INTERVAL in seconds: -1 unless it is a whole number of at least 1; large
// values are held at what one wait can take.
long ReachabilityInterval(const char* setting);
// QMX_REACHABILITY_THRESHOLD in milliseconds: 60 s when missing, 0, negative or not a number.
long long ThresholdMs(const char* setting);

}  // namespace qmx::reach
