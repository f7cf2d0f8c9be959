// The parts of the directory layer that need no operating system: result code texts, role texts,
// the topology file (written and read), the interval rule, and the small text rules for names,
// witness paths and database copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One Exchange server of the topology.
struct ServerRoleRecord {
  std::string server;
  std::string domain;
  std::string role;
};

// Writes "ADS" + the last four hex digits of the code (upper case, at most 14 characters with the
// terminator) and the message text (at most 4095 characters). Returns 0.
int ADsErrorText(long code, char* codeText, size_t codeTextSize, char* message, size_t messageSize);

namespace qmx::ad {

// The text of a msExchCurrentServerRoles value; empty for a value that names no role set.
const char* RoleText(long long roles);

// Splits the ";"-separated list (empty fields kept) into records of three fields.
std::vector<ServerRoleRecord> SplitRoleList(const std::string& list);

// The topology file: header with the count, then one "server;domain;role" line per record.
std::string FormatTopology(const std::vector<ServerRoleRecord>& records);

// Reads a topology file's text: the count after the header's first "'", then up to that many
// records from the lines that follow (leading blanks trimmed, "#" lines skipped). Only filled
// records are returned, so a count above the lines read (or a negative or huge one) gives no
// empty rows and reserves nothing for them.
std::vector<ServerRoleRecord> ParseTopology(const std::string& text);

// Seconds between topology rounds: -1 when the setting is missing or below 1, at least 300.
long TopologyInterval(const char* setting);

// The value of the first "CN=" (any case) relative name of a distinguished name or path, up to
// the first unescaped ","; empty when the text does not begin with "CN=".
std::string CommonName(const std::string& dnOrRdn);

// The server of a witness share "\\server\share": the text after the two leading characters up
// to the next backslash; empty when the path does not begin with two backslashes.
std::string WitnessServer(const std::string& share);

// A whole decimal number with an optional sign that fits 64 bits (integers given as text).
bool ParseDecimal(const std::string& text, long long* out);

// Activation preference from the directory value (2^28 units), truncated toward zero, clamped
// to 32 bits.
int32_t ActivationPreference(long long value);
// Replay lag in minutes from seconds, truncated toward zero, clamped to 32 bits.
int32_t ReplayLagMinutes(long long seconds);

// QMX_AD_BIND: "secure" or empty gives false, "simple" true; anything else *usable = false.
bool SimpleBind(const char* setting, bool* usable);
// QMX_AD_SERVER: a host name (letters, digits, "-", "." labels) or an IPv4 or bracketed IPv6
// address. Empty is usable (serverless).
bool UsableServerName(const std::string& name);

}  // namespace qmx::ad
