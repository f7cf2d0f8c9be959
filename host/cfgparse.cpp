// The agent configuration file, from text to store actions.
#include "cfgparse.h"

#include <algorithm>
#include <cstring>

#include "qmxtrace.h"

namespace qmxcfg {

const Setting kSettings[kSettingCount] = {
    {"exchange_password", "QMX_EXCH_PASSWORD", "", false},
    {"exchange_domain", "QMX_EXCH_DOMAIN", nullptr, false},
    {"exchange_profile", "QMX_MAPI_PROFILE", "ex_profile", false},
    {"exchange_reach_interval", "QMX_REACHABILITY_INTERVAL", "300", true},
    {"exchange_targets", "QMX_EMAIL_ADDRESSES", "", false},
    {"exchange_mailbox_interval", "QMX_MBX_INFO_INTERVAL", "86400", true},
    {"exchange_user", "QMX_EXCH_USERID", "administrator", false},
    {"exchange_mailbox_runtime", "QMX_MAILBOX_RUNTIME", "", false},
    {"exchange_interval", "QMX_INTERVAL", "120", true},
    {"exchange_reach_threshold", "QMX_REACHABILITY_THRESHOLD", "60", true},
    {"exchange_server", "QMX_EXCH_SERVER", nullptr, false},
    {"exchange_reach_enable", "QMX_REACHABILITY_ENABLED", "0", true},
    {"exchange_mailbox_enable", "QMX_MBX_DETAILS_ENABLED", "0", true},
    {"exchange_services", "QMX_REQD_SERVICES", "", false},
    {"exch_cluster_server", "VORTA_HOSTNAME", "", false},
    {"exch_subsystem", "VORTA_SUBSYSTEM_ID", "", false},
    {"exch_history", "VORTA_HIST_DIR", "", false},
    {"exchange_topology_interval", "QMX_TOPOLOGY_INTERVAL", "300", true},
};

// Searched in this order; a token picks the first keyword it contains.
const ServiceWord kServiceWords[] = {
    {"exch_service_edgesync", "MSExchangeEdgeSync=1", nullptr},
    {"exch_service_kavel", "LME-FOLIA=1", nullptr},
    {"exch_service_asu", "MSExchangeAntispamUpdate=1", nullptr},
    {"exch_service_sa", "MSExchangeSA=1", nullptr},
    {"exch_service_translog", "MSExchangeTransportLogSearch=1", nullptr},
    {"exch_service_conncont", "MSExchangeCoCo=1", nullptr},
    {"exch_service_event", "MSExchangeES=1", nullptr},
    {"exch_service_rep", "MSExchangeRepl=1", nullptr},
    {"exch_service_servhost", "MSExchangeServiceHost=1", nullptr},
    {"exch_service_search", "MSFTESQL-Exchange", nullptr},
    {"exch_service_monitor", "MSExchangeMonitoring=1", nullptr},
    {"exch_service_adts", "MSExchangeADTopology=1", nullptr},
    {"exch_service_is", "MSExchangeIS=1", nullptr},
    {"exch_service_mgmt", "MSExchangeMGMT=1", nullptr},
    {"exch_service_fd", "MSExchangeFDS=1", nullptr},
    {"exch_service_srs", "MSExchangeSRS=1", nullptr},
    {"exch_service_pop3", "MSExchangePOP3=1", "POP3Svc=1"},
    {"exch_service_mailassist", "MSExchangeMailboxAssistants=1", nullptr},
    {"exch_service_imap", "MSExchangeIMAP4=1", "IMAP4Svc=1"},
    {"exch_service_mailsub", "MSExchangeMailSubmission=1", nullptr},
    {"exch_service_transport", "MSExchangeTransport=1", nullptr},
    {"exch_service_si", "MSExchangeSearch=1", nullptr},
    {"exch_service_mtastacks", "MSExchangeMTA=1", nullptr},
    {"exch_service_re", "RESvc=1", nullptr},
    {"exch_service_smtp", "SMTPSVC", nullptr},
    {"exch_speech_srv", "MSSpeechService=1", nullptr},
    {"exch_active_dir", "ADAM_MSExchange=1", nullptr},
    {"exch_unified_msg", "MSExchangeUM=1", nullptr},
    {"exch_iis_admin", "IISAdmin=1", nullptr},
    {"exch_www_srv", "W3Svc=1", nullptr},
    {"exch_service_addbook", "MSExchangeAB=1", nullptr},
    {"exch_service_fbauth", "MSExchangeFBA=1", nullptr},
    {"exch_service_mailboxrep", "MSExchangeMailboxReplication=1", nullptr},
    {"exch_service_protservhost", "MSExchangeProtectedServiceHost=1", nullptr},
    {"exch_service_rpcclientaccess", "MSExchangeRPC=1", nullptr},
    {"exch_service_throttling", "MSExchangeThrottling=1", nullptr},
};
const size_t kServiceWordCount = sizeof kServiceWords / sizeof kServiceWords[0];

namespace {

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool Contains(std::string_view s, std::string_view part) { return s.find(part) != s.npos; }

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Length of a cut of s at no more than max bytes, moved back to the start of a UTF-8 sequence.
size_t CutPoint(std::string_view s, size_t max) {
  if (s.size() <= max) return s.size();
  size_t p = max;
  // A sequence is at most 4 bytes: look back no further, so invalid text is cut at max.
  for (int i = 0; i < 3 && p > 0 && IsContinuation(s[p]); ++i) --p;
  return IsContinuation(s[p]) ? max : p;
}

int FindSetting(std::string_view keyword) {
  for (int i = 0; i < kSettingCount; ++i)
    if (keyword == kSettings[i].keyword) return i;
  return -1;
}

StoreAction Action(int setting, std::string_view keyword, std::string value, bool forced) {
  return StoreAction{setting, kSettings[setting].variable, std::string(keyword), std::move(value),
                     forced};
}

void RemoveAll(std::string& s, char c) { s.erase(std::remove(s.begin(), s.end(), c), s.end()); }

void CollapseDoubleBackslashes(std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    out += s[i];
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\\') ++i;
  }
  s.swap(out);
}

template <class F>
void ForEachToken(std::string_view text, F&& f) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSeparator(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !IsSeparator(text[i])) ++i;
    if (i > start && !f(text.substr(start, i - start))) return;
  }
}

}  // namespace

std::string CutUtf8(std::string_view s, size_t maxBytes) {
  return std::string(s.substr(0, CutPoint(s, maxBytes)));
}

bool IsDecimalDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool ParseResult::ClusterConsistent() const {
  if (historySeen) return subsystemSeen && clusterServerSeen;
  return !subsystemSeen && !clusterServerSeen;
}

ParseResult ParseConfigText(std::string_view text, int release, const RecordSink& onRecord) {
  QMX_ENTRY_NAMED("ParseConfigText");
  ParseResult result;
  if (text.size() > kMaxFileBytes) {
    // Keep whole lines only, so that no setting is read cut short.
    size_t end = text.rfind('\n', kMaxFileBytes - 1);
    text = text.substr(0, end == text.npos ? kMaxFileBytes : end + 1);
    result.truncated = true;
  }

  // Records: lines without their line end, NUL read as a blank, long lines in pieces.
  result.joined.reserve(text.size());
  bool firstRecord = true;
  std::string record;
  auto emit = [&](std::string_view piece) {
    if (!firstRecord) result.joined += ' ';
    firstRecord = false;
    result.joined.append(piece.data(), piece.size());
    if (onRecord) onRecord(piece);
  };
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == text.npos ? text.npos : nl - pos);
    pos = nl == text.npos ? text.size() : nl + 1;
    record.assign(line.data(), line.size());
    while (!record.empty() && record.back() == '\r') record.pop_back();
    if (record.find('\0') != std::string::npos) {
      result.hadNul = true;
      std::replace(record.begin(), record.end(), '\0', ' ');
    }
    std::string_view rest = record;
    if (rest.size() > kMaxRecord) ++result.brokenLines;
    do {
      size_t n = CutPoint(rest, kMaxRecord);
      if (n == 0) n = std::min(rest.size(), kMaxRecord);
      emit(rest.substr(0, n));
      rest.remove_prefix(n);
    } while (!rest.empty());
  }

  bool exch = false, services = false, cluster = false;
  std::string serviceList;
  ForEachToken(result.joined, [&](std::string_view token) {
    if (Contains(token, "SECTION=EXCH")) exch = true;
    if (Contains(token, "SECTION=SERVICES")) {
      services = true;
      serviceList.clear();
    }
    if (Contains(token, "SECTION=CLUSTER")) cluster = true;

    if (exch && StartsWith(token, "exchange_")) {
      size_t eq = token.find('=');
      int s = eq == token.npos ? -1 : FindSetting(token.substr(0, eq));
      if (s >= 0) {
        std::string value(token.substr(eq + 1));
        if (s == kExchangePassword) RemoveAll(value, '\\');
        value = CutUtf8(value, kMaxValueLen);
        if (s == kTopologyInterval) result.topologyConfigured = true;
        if (!kSettings[s].numeric || IsDecimalDigits(value))
          result.actions.push_back(Action(s, token.substr(0, eq), std::move(value), false));
      }
    }

    if (services && StartsWith(token, "exch_")) {
      for (size_t i = 0; i < kServiceWordCount; ++i) {
        const ServiceWord& w = kServiceWords[i];
        if (!Contains(token, w.keyword)) continue;
        if (Contains(token, "=1")) {
          if (!serviceList.empty()) serviceList += ' ';
          serviceList += release == 1 && w.textRelease1 ? w.textRelease1 : w.text;
        }
        break;
      }
    }

    // The services list is complete when the cluster section has begun.
    if (services && cluster) {
      result.actions.push_back(
          Action(kExchangeServices, kSettings[kExchangeServices].keyword, serviceList, true));
      services = false;
    }
    if (cluster && !result.topologyConfigured) {
      result.actions.push_back(
          Action(kTopologyInterval, kSettings[kTopologyInterval].keyword, "-1", true));
      result.topologyConfigured = true;
    }

    if (cluster && StartsWith(token, "exch_")) {
      size_t eq = token.find('=');
      int s = eq == token.npos ? -1 : FindSetting(token.substr(0, eq));
      if (s == kClusterServer || s == kSubsystem || s == kHistory) {
        std::string value = CutUtf8(token.substr(eq + 1), kMaxClusterValueLen);
        if (s == kHistory) CollapseDoubleBackslashes(value);
        if (s == kClusterServer) result.clusterServerSeen = true;
        if (s == kSubsystem) result.subsystemSeen = true;
        if (s == kHistory) result.historySeen = true;
        result.actions.push_back(Action(s, token.substr(0, eq), std::move(value), false));
      }
    }
    return true;
  });
  return result;
}

bool ClusterServerConfigured(std::string_view joined) {
  bool cluster = false, found = false;
  ForEachToken(joined, [&](std::string_view token) {
    if (Contains(token, "SECTION=CLUSTER")) cluster = true;
    if (cluster && StartsWith(token, "exch_cluster_server")) found = true;
    return !found;
  });
  return found;
}

std::vector<StoreAction> DefaultActions(const std::string& userDomain, const std::string& hostName) {
  std::vector<StoreAction> out;
  for (int i = 0; i < kSettingCount; ++i) {
    std::string value;
    if (i == kExchangeDomain) value = userDomain;
    else if (i == kExchangeServer) value = hostName;
    else value = kSettings[i].defaultValue;
    out.push_back(Action(i, kSettings[i].keyword, CutUtf8(value, kMaxValueLen), true));
  }
  return out;
}

}  // namespace qmxcfg
