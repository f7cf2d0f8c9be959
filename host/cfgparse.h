// The agent configuration file: records, tokens, sections and the settings they carry, worked out
// from the file's text alone. The registry side (qmxconfig) carries out the store actions.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qmxcfg {

constexpr size_t kMaxRecord = 3072;         // longer lines are read as several records
constexpr size_t kMaxFileBytes = 1u << 20;  // beyond this the file is not read
constexpr size_t kMaxNameLen = 255;
constexpr size_t kMaxValueLen = 1023;
constexpr size_t kMaxClusterValueLen = 127;

struct Setting {
  const char* keyword;
  const char* variable;
  const char* defaultValue;  // nullptr: computed at run time (USERDOMAIN, host name)
  bool numeric;              // stored only when empty or decimal digits
};

enum SettingIndex : int {
  kExchangePassword = 0,
  kExchangeDomain = 1,
  kExchangeServer = 10,
  kExchangeServices = 13,
  kClusterServer = 14,
  kSubsystem = 15,
  kHistory = 16,
  kTopologyInterval = 17,
  kSettingCount = 18,
};

extern const Setting kSettings[kSettingCount];

struct ServiceWord {
  const char* keyword;
  const char* text;
  const char* textRelease1;  // nullptr: the same text on every release
};
extern const ServiceWord kServiceWords[];
extern const size_t kServiceWordCount;

struct StoreAction {
  int setting;           // index into kSettings
  std::string variable;  // kSettings[setting].variable
  std::string keyword;
  std::string value;
  bool forced;           // stored even when the registry holds the same value
};

struct ParseResult {
  std::string joined;                // the records joined with one blank
  std::vector<StoreAction> actions;  // in the order they are to be carried out
  bool clusterServerSeen = false;
  bool subsystemSeen = false;
  bool historySeen = false;
  bool topologyConfigured = false;
  bool truncated = false;    // the text was longer than kMaxFileBytes; only its start was used
  bool hadNul = false;       // NUL bytes were read as blanks
  size_t brokenLines = 0;    // lines longer than kMaxRecord
  // The three cluster keywords appear all together or not at all.
  bool ClusterConsistent() const;
};

using RecordSink = std::function<void(std::string_view record)>;

// Records of the text (each handed to onRecord), joined, tokenised and worked through the
// section rules; release is the Exchange version code (1 selects the older service names).
ParseResult ParseConfigText(std::string_view text, int release, const RecordSink& onRecord = {});

// Whether a cluster section names the cluster server (the joined text of ParseConfigText).
bool ClusterServerConfigured(std::string_view joined);

// The 18 defaults, in table order; entries 14 to 16 get the empty text.
std::vector<StoreAction> DefaultActions(const std::string& userDomain, const std::string& hostName);

// At most maxBytes of s, never ending inside a UTF-8 sequence.
std::string CutUtf8(std::string_view s, size_t maxBytes);
bool IsDecimalDigits(std::string_view s);

}  // namespace qmxcfg
