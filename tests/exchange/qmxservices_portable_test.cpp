// The Exchange service lists, the services table's codes, the server status decision, the
// role-based rows' roles and the free space sums, without an operating system.
#include "qmxservices_portable.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "qmxcommon.h"

namespace qmx {
namespace {

std::vector<std::string> Names(ServiceFamily f, ServiceList l) {
  std::vector<std::string> out;
  for (const ServiceInfo* s : Services(f, l)) out.push_back(s->name);
  return out;
}

TEST(ServiceLists, SizesAndPositions) {
  using F = ServiceFamily;
  using L = ServiceList;
  struct Case {
    F family;
    L list;
    size_t size;
    std::map<size_t, std::string> at;
  } cases[] = {
      {F::PRE2007, L::STATE, 13, {{0, "MSExchangeChat"}, {4, "MSExchangeIS"}, {11, "W3SVC"}, {12, "MSExchangeSRS"}}},
      {F::PRE2007, L::WALK, 13, {{0, "MSExchangeIS"}, {9, "MSExchangeCoCo"}, {10, "LME-FOLIA"}, {12, "W3Svc"}}},
      {F::PRE2007, L::DETAIL, 13, {{0, "MSExchangeChat"}, {8, "RESvc"}, {12, "MSExchangeSRS"}}},
      {F::CURRENT, L::STATE, 27, {{0, "MSExchangeADTopology"}, {6, "MSExchangeIS"}, {11, "MSExchangeRepl"},
                                  {15, "MSExchangeSA"}, {20, "W3Svc"}, {26, "MSExchangeThrottling"}}},
      {F::CURRENT, L::WALK, 29, {{0, "MSExchangeAntispamUpdate"}, {4, "IISAdmin"}, {14, "MSFTESQL-Exchange"},
                                 {22, "MSExchangeMonitoring"}, {28, "MSExchangeThrottling"}}},
      {F::CURRENT, L::DETAIL, 27, {{0, "MSSpeechService"}, {3, "IISAdmin"}, {13, "MSFTESQL-Exchange"},
                                   {15, "W3Svc"}, {21, "MSExchangeAB"}, {26, "MSExchangeThrottling"}}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names = Names(c.family, c.list);
    ASSERT_EQ(names.size(), c.size);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), c.size) << "no repeats";
    for (const auto& a : c.at) EXPECT_EQ(names[a.first], a.second);
    // Positions run 0, 1, 2, ... without gaps.
    const auto& list = Services(c.family, c.list);
    for (size_t i = 0; i < list.size(); ++i) {
      int pos = c.list == L::STATE ? list[i]->state : c.list == L::WALK ? list[i]->walk : list[i]->detail;
      EXPECT_EQ(pos, static_cast<int>(i)) << list[i]->name;
    }
  }
  // The services table's current list is the walk without the two services it never lists.
  std::vector<std::string> walk = Names(F::CURRENT, L::WALK);
  walk.erase(walk.begin() + 22);
  walk.erase(walk.begin());
  EXPECT_EQ(Names(F::CURRENT, L::DETAIL), walk);
  EXPECT_EQ(StateIndex(F::CURRENT, "W3Svc"), 20);
  EXPECT_EQ(StateIndex(F::PRE2007, "W3Svc"), -1);
  EXPECT_EQ(StateIndex(F::PRE2007, "W3SVC"), 11);
  EXPECT_EQ(DetailFamily(kExchangeUnknown), F::CURRENT);
  EXPECT_EQ(DetailFamily(kExchangePre2007), F::PRE2007);
}

TEST(ServiceCodes, StateAndStartType) {
  struct Case {
    uint32_t state, start;
    ServiceCodes want;
  } cases[] = {
      {1, 2, {0, 0, 1}}, {2, 2, {1, 5, 1}}, {3, 3, {2, 6, 2}}, {4, 2, {3, 0, 1}}, {5, 3, {4, 5, 2}},
      {6, 3, {6, 6, 2}}, {7, 4, {6, 0, 3}}, {1, 3, {0, 0, 2}}, {4, 0, {3, 0, -1}}, {4, 1, {3, 0, -1}},
      {4, 9, {3, 0, -1}}, {0, 2, {0, 3, 1}}, {8, 2, {0, 3, 1}},
  };
  for (const Case& c : cases) {
    ServiceCodes got = CodesOfService(c.state, c.start);
    EXPECT_EQ(got.srvcstate, c.want.srvcstate) << c.state;
    EXPECT_EQ(got.srvcstatus, c.want.srvcstatus) << c.state;
    EXPECT_EQ(got.startmode, c.want.startmode) << c.start;
  }
  EXPECT_EQ(StoredState(7), 7);
  EXPECT_EQ(StoredState(0), 0);
  EXPECT_EQ(StoredState(8), 0);
  EXPECT_EQ(StoredState(0xFFFFFFFFu), 0);
  EXPECT_EQ(StateWordId(4, 8), 9005);
  EXPECT_EQ(StateWordId(7, 8), 9008);
  EXPECT_EQ(StateWordId(8, 8), 9001);
  EXPECT_EQ(StateWordId(0, 8), 9001);
  EXPECT_EQ(StateWordId(0xFFFFFFFFu, 8), 9001);
  EXPECT_EQ(StateWordId(4, 0), 9001);
  EXPECT_EQ(StartWordId(2, 5), 9012);
  EXPECT_EQ(StartWordId(5, 5), 9015);
  EXPECT_EQ(StartWordId(0xFFFFFFFFu, 5), 9015);
}

TEST(ServerStatus, ConfiguredTokens) {
  EXPECT_EQ(ConfiguredServiceTokens("MSExchangeIS=1 MSExchangeSA=1"),
            (std::vector<std::string>{"MSExchangeIS", "MSExchangeSA"}));
  EXPECT_EQ(ConfiguredServiceTokens("==11  1="), std::vector<std::string>{});
  EXPECT_EQ(ConfiguredServiceTokens(""), std::vector<std::string>{});
  // "1" splits even inside a name, as the list's notation has it.
  EXPECT_EQ(ConfiguredServiceTokens("MSExchangePOP31=1"), (std::vector<std::string>{"MSExchangePOP3"}));
}

// A server whose services have these states; a service not named is not installed.
struct FakeServer {
  std::map<std::string, uint32_t> states;
  std::vector<std::string> asked;
  ServiceQuery Query() {
    return [this](const char* name, uint32_t* state) {
      asked.push_back(name);
      auto it = states.find(name);
      if (it == states.end()) return false;
      *state = it->second;
      return true;
    };
  }
};

std::map<std::string, uint32_t> Running(std::initializer_list<const char*> names) {
  std::map<std::string, uint32_t> m;
  for (const char* n : names) m[n] = 4;
  return m;
}

const std::initializer_list<const char*> kMailboxServices = {
    "MSExchangeADTopology", "MSExchangeMailboxAssistants", "MSExchangeMailSubmission",
    "MSExchangeRepl", "MSExchangeSearch", "MSExchangeSA", "W3Svc"};

TEST(ServerStatus, RoleRulesWithoutAList) {
  struct Case {
    const char* what;
    int release;
    const char* role;
    std::map<std::string, uint32_t> states;
    bool up;
  } cases[] = {
      {"mailbox running", 5, "MailBoxRole", Running(kMailboxServices), true},
      {"no role needs the store", 5, "MailBoxRole",
       [] { auto m = Running(kMailboxServices); m["MSExchangeIS"] = 1; return m; }(), true},
      {"replication stopped", 5, "MailBoxRole",
       [] { auto m = Running(kMailboxServices); m["MSExchangeRepl"] = 1; return m; }(), false},
      {"paused is not running", 3, "MailBoxRole",
       [] { auto m = Running(kMailboxServices); m["W3Svc"] = 7; return m; }(), false},
      {"single server needs the store", 5, "SingleServer",
       [] { auto m = Running(kMailboxServices); m["MSExchangeIS"] = 1; return m; }(), false},
      {"hub needs transport", 5, "HubTransportRole",
       [] { auto m = Running(kMailboxServices); m["MSExchangeTransport"] = 2; return m; }(), false},
      {"edge does not need topology", 5, "EdgeTransportRole",
       [] { auto m = Running({"MSExchangeTransport", "ADAM_MSExchange"}); m["MSExchangeADTopology"] = 1;
            m["MSExchangeIS"] = 1; return m; }(), true},
      // 26 of 29 missing: tolerated; 27 missing: down.
      {"three services answer", 5, "ClientAccessRole", Running({"MSExchangeAB", "MSExchangeRPC", "IISAdmin"}), true},
      {"two services answer", 5, "ClientAccessRole", Running({"MSExchangeAB", "MSExchangeRPC"}), false},
      {"unknown release decides nothing", -1, "MailBoxRole", {}, true},
  };
  for (const Case& c : cases) {
    FakeServer server{c.states, {}};
    EXPECT_EQ(DecideServerUp(c.release, nullptr, c.role, server.Query()), c.up) << c.what;
  }
  // The walk queries every service in its order and ends at the first required one not running.
  FakeServer all{Running(kMailboxServices), {}};
  EXPECT_TRUE(DecideServerUp(5, nullptr, "MailBoxRole", all.Query()));
  ASSERT_EQ(all.asked.size(), 29u);
  EXPECT_EQ(all.asked.front(), "MSExchangeAntispamUpdate");
  FakeServer stopped{Running(kMailboxServices), {}};
  stopped.states["MSExchangeADTopology"] = 1;
  EXPECT_FALSE(DecideServerUp(5, nullptr, "MailBoxRole", stopped.Query()));
  EXPECT_EQ(stopped.asked.back(), "MSExchangeADTopology");
}

TEST(ServerStatus, ConfiguredListDecidesAlone) {
  struct Case {
    const char* list;
    std::map<std::string, uint32_t> states;
    bool up;
    size_t asked;
  } cases[] = {
      {"MSExchangeIS=1 MSExchangeSA=1", Running({"MSExchangeIS", "MSExchangeSA"}), true, 2},
      {"msexchangeis=1 MSEXCHANGESA=1", Running({"MSExchangeIS", "MSExchangeSA"}), true, 2},
      {"MSExchangeIS=1 MSExchangeSA=1",
       [] { auto m = Running(kMailboxServices); m["MSExchangeIS"] = 1; return m; }(), false, 1},
      // A listed service that is not installed is skipped; an unknown name decides nothing.
      {"MSExchangeIS=1 MSExchangeUM=1", Running({"MSExchangeIS"}), true, 2},
      {"NoSuchService=1", {}, true, 0},
      {"MSExchangeIS=1 MSExchangeIS=1 MSExchangeIS", Running({"MSExchangeIS"}), true, 1},
      // A list without any name counts as none: the role's rule applies.
      {"== 11 =", Running(kMailboxServices), true, 29},
      {"== 11 =", {}, false, 27},
  };
  for (const Case& c : cases) {
    FakeServer server{c.states, {}};
    EXPECT_EQ(DecideServerUp(5, c.list, "MailBoxRole", server.Query()), c.up) << c.list;
    EXPECT_EQ(server.asked.size(), c.asked) << c.list;
  }
  std::string huge;
  for (int i = 0; i < 5000; ++i) huge += "MSExchangeIS=1 ";
  FakeServer server{Running({"MSExchangeIS"}), {}};
  EXPECT_TRUE(DecideServerUp(5, huge.c_str(), "MailBoxRole", server.Query()));
}

TEST(ServerStatus, Pre2007Walk) {
  auto defaults = Running({"MSExchangeIS", "MSExchangeMTA", "RESvc", "MSExchangeSA", "SMTPSVC", "W3Svc"});
  struct Case {
    const char* list;  // null: none configured
    std::map<std::string, uint32_t> states;
    bool up;
  } cases[] = {
      {nullptr, defaults, true},
      {nullptr, [&] { auto m = defaults; m.erase("RESvc"); return m; }(), false},
      {nullptr, [&] { auto m = defaults; m["SMTPSVC"] = 7; return m; }(), false},
      // Entries 5 to 11 do not count without a list.
      {nullptr, [&] { auto m = defaults; m["POP3Svc"] = 1; return m; }(), true},
      // With a list a service counts when its name occurs in the text.
      {"MSExchangeIS POP3Svc", Running({"MSExchangeIS", "POP3Svc"}), true},
      {"xxMSExchangeISxx", Running({"MSExchangeIS"}), true},
      {"MSExchangeIS POP3Svc", Running({"MSExchangeIS"}), false},
  };
  for (const Case& c : cases) {
    FakeServer server{c.states, {}};
    EXPECT_EQ(DecideServerUp(1, c.list, "", server.Query()), c.up) << (c.list ? c.list : "none");
    FakeServer server2{c.states, {}};
    EXPECT_EQ(DecideServerUp(2, c.list, "MailBoxRole", server2.Query()), c.up);
  }
}

TEST(RoleBasedRows, RolesOfEachClass) {
  const uint32_t all = kRoleMailbox | kRoleClientAccess | kRoleHubTransport | kRoleUnifiedMessaging |
                       kRoleEdgeTransport;
  const uint32_t mbxHub = kRoleMailbox | kRoleHubTransport;
  using V = std::vector<std::string>;
  struct Case {
    int roleClass;
    uint32_t roles;
    V want;
  } cases[] = {
      {0, all, {"Mailbox", "Client Access", "Hub Transport", "Unified Messaging"}},
      {0, mbxHub, {"Mailbox", "Hub Transport"}},
      {1, all, {"Edge Transport"}},
      {1, mbxHub, {}},
      {2, mbxHub, {"Hub Transport"}},
      {3, all, {"Client Access", "Unified Messaging"}},
      {4, all, {"Hub Transport"}},
      {4, kRoleEdgeTransport, {"Edge Transport"}},
      {4, kRoleMailbox, {}},
      {5, kRoleClientAccess, {"Client Access"}},
      {6, mbxHub, {"Mailbox"}},
      {7, all, {"Mailbox", "Client Access", "Hub Transport", "Unified Messaging", "Edge Transport"}},
      {7, kRoleEdgeTransport, {"Edge Transport"}},
      {8, all, {"Mailbox", "Client Access"}},
      {9, all, {"Unified Messaging"}},
      {10, mbxHub, {"Mailbox", "Hub Transport"}},
      {10, kRoleMailbox | kRoleEdgeTransport, {"Mailbox", "Edge Transport"}},
      {10, all, {"Mailbox", "Hub Transport"}},
      {11, all, {"Client Access", "Hub Transport"}},
      {12, all, {"Unknown"}},
      {-1, 0, {"Unknown"}},
  };
  for (const Case& c : cases) {
    V got;
    for (const char* r : RowRolesOfClass(c.roleClass, c.roles)) got.push_back(r);
    EXPECT_EQ(got, c.want) << "class " << c.roleClass << " roles " << c.roles;
  }
}

TEST(FreeSpace, PercentAndLogDrives) {
  EXPECT_DOUBLE_EQ(PercentFree(25, 100), 2500.0);
  EXPECT_DOUBLE_EQ(PercentFree(0, 0), -1.0);
  EXPECT_DOUBLE_EQ(PercentFree(5, 0), -1.0);
  std::map<std::string, std::pair<uint64_t, uint64_t>> drives = {
      {"C", {10, 100}}, {"D", {30, 100}}, {"E", {0, 0}}};
  std::vector<std::string> asked;
  DiskSpaceQuery disk = [&](const std::string& drive, uint64_t* f, uint64_t* t) {
    asked.push_back(drive);
    auto it = drives.find(std::string(1, static_cast<char>(std::toupper(drive[0]))));
    if (it == drives.end() || it->second.second == 0) return false;
    *f = it->second.first;
    *t = it->second.second;
    return true;
  };
  struct Case {
    const char* paths;
    double want;
    size_t asked;
  } cases[] = {
      // Two storage groups on D: count it once.
      {"C:\\logs\\E00.log;SG1;D:\\sg2\\E01.log;SG2;D:\\sg3\\E02.log;SG3", 2000.0, 2},
      {"d:\\a;D:\\b", 3000.0, 1},
      {"", -1.0, 0},
      {"SG1;x;;\\\\server\\share", -1.0, 0},
      {"E:\\logs", -1.0, 1},
      {"E:\\logs;C:\\x", 1000.0, 2},
      {"C", -1.0, 0},
  };
  for (const Case& c : cases) {
    asked.clear();
    EXPECT_DOUBLE_EQ(LogSpaceOfPaths(c.paths, disk), c.want) << c.paths;
    EXPECT_EQ(asked.size(), c.asked) << c.paths;
  }
}

}  // namespace
}  // namespace qmx
