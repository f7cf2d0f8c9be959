// The Exchange service lists, codes and decisions that need no operating system.
#include "qmxservices_portable.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <cstring>
#include <set>

#include "qmxcommon.h"
#include "qmxtrace.h"

namespace qmx {

namespace {

constexpr ServiceFamily PRE2007 = ServiceFamily::PRE2007;
constexpr ServiceFamily CURRENT = ServiceFamily::CURRENT;

const ServiceInfo kServices[] = {
#define QMX_SERVICE(family, name, state, walk, detail, display, roleClass, required) \
  {family, name, state, walk, detail, display, roleClass, required},
#include "qmxservices.def"
#undef QMX_SERVICE
};

bool EqualNoCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// The role texts of the server status and the services each needs.
struct RoleNeed {
  const char* role;
  uint32_t need;
};
const RoleNeed kRoleNeeds[] = {
    {"MailBoxRole", NEED_MAILBOX},        {"ClientAccessRole", NEED_CAS},
    {"HubTransportRole", NEED_HUB},       {"UnifiedMessagingRole", NEED_UM},
    {"EdgeTransportRole", NEED_EDGE},     {"SingleServer", NEED_SINGLE},
};

uint32_t NeedOfRole(const char* role) {
  for (const RoleNeed& r : kRoleNeeds)
    if (role && std::strcmp(role, r.role) == 0) return r.need;
  return 0;
}

// Role classes of the role-based services rows: blank-separated places, each filled by the first
// installed role of its "|"-separated alternatives. M Mailbox, C Client Access, H Hub Transport,
// U Unified Messaging, E Edge Transport.
const char* const kRoleClasses[] = {
    "M C H U", "E", "H", "C U", "H|E", "C", "M", "M C H U E", "M C", "U", "M H|E", "C H",
};

struct RowRole {
  char letter;
  uint32_t flag;
  const char* text;
};
const RowRole kRowRoles[] = {
    {'M', kRoleMailbox, "Mailbox"},
    {'C', kRoleClientAccess, "Client Access"},
    {'H', kRoleHubTransport, "Hub Transport"},
    {'U', kRoleUnifiedMessaging, "Unified Messaging"},
    {'E', kRoleEdgeTransport, "Edge Transport"},
};

}  // namespace

bool FamilyOfRelease(int release, ServiceFamily* family) {
  if (release == kExchange2003 || release == kExchangePre2007) {
    *family = PRE2007;
    return true;
  }
  if (release == kExchange2007 || release == kExchange2010) {
    *family = CURRENT;
    return true;
  }
  return false;
}

ServiceFamily DetailFamily(int release) {
  return release == kExchange2003 || release == kExchangePre2007 ? PRE2007 : CURRENT;
}

const std::vector<const ServiceInfo*>& Services(ServiceFamily family, ServiceList list) {
  static const auto lists = [] {
    std::array<std::vector<const ServiceInfo*>, 6> out;
    for (int f = 0; f < 2; ++f) {
      for (int l = 0; l < 3; ++l) {
        std::vector<const ServiceInfo*>& v = out[static_cast<size_t>(f * 3 + l)];
        auto position = [l](const ServiceInfo* s) {
          return l == 0 ? s->state : l == 1 ? s->walk : s->detail;
        };
        for (const ServiceInfo& s : kServices)
          if (static_cast<int>(s.family) == f && position(&s) >= 0) v.push_back(&s);
        std::sort(v.begin(), v.end(), [&](const ServiceInfo* a, const ServiceInfo* b) {
          return position(a) < position(b);
        });
      }
    }
    return out;
  }();
  return lists[static_cast<size_t>(static_cast<int>(family) * 3 + static_cast<int>(list))];
}

int StateIndex(ServiceFamily family, const char* name) {
  const auto& list = Services(family, ServiceList::STATE);
  for (size_t i = 0; i < list.size(); ++i)
    if (std::strcmp(list[i]->name, name) == 0) return static_cast<int>(i);
  return -1;
}

ServiceCodes CodesOfService(uint32_t currentState, uint32_t startType) {
  // srvcstate and srvcstatus by state 1 to 7; a pause pending counts as paused already.
  static const int kCodes[8][2] = {{0, 3}, {0, 0}, {1, 5}, {2, 6}, {3, 0}, {4, 5}, {6, 6}, {6, 0}};
  ServiceCodes c = kServiceNotQueried;
  if (currentState >= 1 && currentState <= 7) {
    c.srvcstate = kCodes[currentState][0];
    c.srvcstatus = kCodes[currentState][1];
  }
  switch (startType) {
    case 2: c.startmode = 1; break;  // automatic
    case 3: c.startmode = 2; break;  // on demand
    case 4: c.startmode = 3; break;  // disabled
    default: c.startmode = -1; break;
  }
  return c;
}

int32_t StoredState(uint32_t currentState) {
  return currentState >= 1 && currentState <= 7 ? static_cast<int32_t>(currentState) : 0;
}

int StateWordId(uint32_t currentState, int stateWords) {
  // 9001 "Unknown", then the seven states in their order.
  return stateWords > 0 && currentState >= 1 && currentState < static_cast<uint32_t>(stateWords)
             ? 9001 + static_cast<int>(currentState)
             : 9001;
}

int StartWordId(uint32_t startType, int startWords) {
  // Boot, System, Automatic, Manual, Disabled; then "Unknown".
  if (startWords < 0) startWords = 0;
  return startType < static_cast<uint32_t>(startWords) ? 9010 + static_cast<int>(startType)
                                                       : 9010 + startWords;
}

std::vector<std::string> ConfiguredServiceTokens(const std::string& configured) {
  std::vector<std::string> tokens;
  std::string token;
  for (char c : configured) {
    if (c == ' ' || c == '=' || c == '1') {
      if (!token.empty()) tokens.push_back(token);
      token.clear();
    } else {
      token += c;
    }
  }
  if (!token.empty()) tokens.push_back(token);
  return tokens;
}

bool DecideServerUp(int release, const char* configured, const char* role,
                    const ServiceQuery& query) {
  QMX_ENTRY();
  ServiceFamily family;
  if (!FamilyOfRelease(release, &family)) QMX_RETURN(true);
  std::vector<std::string> tokens;
  if (configured) tokens = ConfiguredServiceTokens(configured);
  // A list that names no service at all cannot mean "every server is up": it counts as none.
  if (configured && tokens.empty()) {
    QMX_ERROR("ServerStatus: Configured services \"%.200s\" name no service; using the role's services",
              configured);
    configured = nullptr;
  }
  const uint32_t need = NeedOfRole(role);
  if (family == PRE2007) {
    for (const ServiceInfo* s : Services(family, ServiceList::WALK)) {
      bool counted = configured ? std::strstr(configured, s->name) != nullptr
                                : (s->required & NEED_DEFAULT) != 0;
      if (!counted) continue;
      uint32_t state = 0;
      if (!query(s->name, &state)) {
        QMX_DETAIL("ServerStatus: GetData( \"%s\") failed! ", s->name);
        QMX_RETURN(false);
      }
      if (state != 4) QMX_RETURN(false);
    }
    QMX_RETURN(true);
  }
  if (configured) QMX_DETAIL("reqdServices = %s", configured);
  int failed = 0;
  for (const ServiceInfo* s : Services(family, ServiceList::WALK)) {
    bool listed = false;
    for (const std::string& t : tokens) listed = listed || EqualNoCase(t, s->name);
    if (configured && !listed) continue;
    uint32_t state = 0;
    if (!query(s->name, &state)) {
      QMX_DETAIL("TakeSample: GetData( \"%s\") failed! ", s->name);
      // Many services are simply not installed; only a server where almost none answers is down.
      if (++failed == 27) QMX_RETURN(false);
      continue;
    }
    bool required = configured || (s->required & need) != 0;
    if (required && state != 4) {
      QMX_DETAIL("ServerStatus: required service \"%s\" is in state %d", s->name,
                 static_cast<int>(state));
      QMX_RETURN(false);
    }
  }
  QMX_RETURN(true);
}

std::vector<const char*> RowRolesOfClass(int roleClass, uint32_t roles) {
  std::vector<const char*> out;
  if (roleClass < 0 || roleClass >= static_cast<int>(std::size(kRoleClasses))) {
    out.push_back("Unknown");
    return out;
  }
  const char* p = kRoleClasses[roleClass];
  bool placeFilled = false;
  for (; *p; ++p) {
    if (*p == ' ') {
      placeFilled = false;
      continue;
    }
    if (*p == '|' || placeFilled) continue;
    for (const RowRole& r : kRowRoles) {
      if (r.letter == *p && (roles & r.flag)) {
        out.push_back(r.text);
        placeFilled = true;
      }
    }
  }
  return out;
}

double PercentFree(uint64_t freeMB, uint64_t totalMB) {
  // Without a total there is no share: the not-available marker, never a division by zero.
  if (totalMB == 0) return -1.0;
  return static_cast<double>(freeMB) / static_cast<double>(totalMB) * 10000.0;
}

double LogSpaceOfPaths(const std::string& paths, const DiskSpaceQuery& diskSpace) {
  QMX_ENTRY();
  std::set<std::string> seen;
  uint64_t freeSum = 0, totalSum = 0;
  size_t start = 0;
  while (start <= paths.size()) {
    size_t end = paths.find(';', start);
    if (end == std::string::npos) end = paths.size();
    std::string drive = paths.substr(start, std::min<size_t>(2, end - start));
    start = end + 1;
    if (drive.size() < 2 || drive[1] != ':') continue;
    std::string key(1, static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0]))));
    if (!seen.insert(key).second) continue;
    uint64_t freeMB = 0, totalMB = 0;
    if (diskSpace(drive, &freeMB, &totalMB)) {
      freeSum += freeMB;
      totalSum += totalMB;
    }
  }
  double result = PercentFree(freeSum, totalSum);
  QMX_DETAIL("GetServerLogSpace: %.2f", result);
  QMX_RETURN(result);
}

}  // namespace qmx
