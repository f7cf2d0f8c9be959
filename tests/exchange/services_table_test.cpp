// Table 11 (MSESRVCD) against the real service control manager: test services installed under
// Exchange service names and brought into every state and start type the table knows.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "exchange_services.h"
#include "pxr.h"
#include "qmx11agt.h"
#include "qmxcommon.h"
#include "qmxservices.h"

namespace {

using qmxtest::ExchangeKeys;
using qmxtest::ExchangeServices;
using qmxtest::I32;

struct Codes {
  int state, status, mode;
  bool operator==(const Codes& o) const {
    return state == o.state && status == o.status && mode == o.mode;
  }
};
std::ostream& operator<<(std::ostream& os, const Codes& c) {
  return os << "{" << c.state << ", " << c.status << ", " << c.mode << "}";
}

class ServicesTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ExchangeKeys::Clean()) << "this machine has Exchange keys of its own";
    ResetExchangeVersionCaches();
    pxr::ResetForTests();
    ASSERT_EQ(qmx_msesrvcd_init(), 0u);
  }
  void TearDown() override { ResetExchangeVersionCaches(); }

  // One sample: the rows by service name (trailing blanks cut).
  std::map<std::string, Codes> Sample() {
    unsigned long status = 1;
    auto request = pxr::Request::Open("MSESRVCD", {}, &status);
    EXPECT_EQ(status, 0u);
    std::map<std::string, Codes> rows;
    if (!request) return rows;
    EXPECT_EQ(request->Sample(), 0u);
    for (int r = 0; r < request->rowCount(); ++r) {
      const char* row = request->row(r);
      std::string name(row + 88, 384);
      EXPECT_EQ(name.find('\0'), std::string::npos) << "blank-padded to the full width";
      name.erase(name.find_last_not_of(' ') + 1);
      EXPECT_EQ(rows.count(name), 0u) << name << " twice";
      rows[name] = {I32(row, 472), I32(row, 476), I32(row, 480)};
      EXPECT_NE(std::string(row, 64).find(":EX"), std::string::npos);
      EXPECT_EQ(std::string(row + 72, 16).size(), 16u);
    }
    return rows;
  }

  ExchangeKeys keys_;
  ExchangeServices services_;
};

TEST_F(ServicesTable, EveryStateAndStartTypeThroughTheServiceManager) {
  keys_.Release(5, "C:\\Program Files\\Exchange\\bin");
  struct Case {
    const char* name;
    DWORD start;
    const char* hold;
    DWORD type;
    Codes want;
  } cases[] = {
      {"MSExchangeIS", SERVICE_AUTO_START, "", SERVICE_WIN32_OWN_PROCESS, {3, 0, 1}},           // running
      {"MSExchangeSA", SERVICE_DEMAND_START, "", SERVICE_WIN32_OWN_PROCESS, {0, 0, 2}},         // stopped
      {"MSExchangeRepl", SERVICE_DEMAND_START, "start", SERVICE_WIN32_OWN_PROCESS, {1, 5, 2}},  // start pending
      {"MSExchangeSearch", SERVICE_DEMAND_START, "stop", SERVICE_WIN32_OWN_PROCESS, {2, 6, 2}}, // stop pending
      {"MSExchangeMailSubmission", SERVICE_DEMAND_START, "continue", SERVICE_WIN32_OWN_PROCESS, {4, 5, 2}},
      {"MSExchangeMailboxAssistants", SERVICE_DEMAND_START, "pause", SERVICE_WIN32_OWN_PROCESS, {6, 6, 2}},
      {"W3Svc", SERVICE_AUTO_START, "", SERVICE_WIN32_OWN_PROCESS, {6, 0, 1}},                  // paused
      {"MSExchangeADTopology", SERVICE_DISABLED, "", SERVICE_WIN32_OWN_PROCESS, {0, 0, 3}},
      {"MSExchangeFBA", SERVICE_SYSTEM_START, "", SERVICE_KERNEL_DRIVER, {0, 0, -1}},
  };
  for (const Case& c : cases) ASSERT_TRUE(services_.Install(c.name, c.start, c.hold, 0, c.type));
  ASSERT_TRUE(services_.Start("MSExchangeIS"));
  ASSERT_TRUE(services_.Start("MSExchangeRepl", SERVICE_START_PENDING));
  ASSERT_TRUE(services_.Start("MSExchangeSearch"));
  ASSERT_TRUE(services_.Control("MSExchangeSearch", SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING));
  ASSERT_TRUE(services_.Start("MSExchangeMailSubmission"));
  ASSERT_TRUE(services_.Control("MSExchangeMailSubmission", SERVICE_CONTROL_PAUSE, SERVICE_PAUSED));
  ASSERT_TRUE(services_.Control("MSExchangeMailSubmission", SERVICE_CONTROL_CONTINUE,
                                SERVICE_CONTINUE_PENDING));
  ASSERT_TRUE(services_.Start("MSExchangeMailboxAssistants"));
  ASSERT_TRUE(services_.Control("MSExchangeMailboxAssistants", SERVICE_CONTROL_PAUSE,
                                SERVICE_PAUSE_PENDING));
  ASSERT_TRUE(services_.Start("W3Svc"));
  ASSERT_TRUE(services_.Control("W3Svc", SERVICE_CONTROL_PAUSE, SERVICE_PAUSED));

  std::map<std::string, Codes> rows = Sample();
  // Exactly the installed services; "MSExchangeUM", "MSSpeechService" and the rest give no row.
  EXPECT_EQ(rows.size(), std::size(cases));
  for (const Case& c : cases) {
    ASSERT_EQ(rows.count(c.name), 1u) << c.name;
    EXPECT_EQ(rows[c.name], c.want) << c.name;
  }

  // The held transitions complete; the next sample sees the new states.
  for (const char* held : {"MSExchangeRepl", "MSExchangeSearch", "MSExchangeMailSubmission",
                           "MSExchangeMailboxAssistants"})
    ExchangeServices::Release(held);
  ASSERT_TRUE(services_.WaitFor("MSExchangeRepl", SERVICE_RUNNING));
  ASSERT_TRUE(services_.WaitFor("MSExchangeSearch", SERVICE_STOPPED));
  ASSERT_TRUE(services_.WaitFor("MSExchangeMailboxAssistants", SERVICE_PAUSED));
  ASSERT_TRUE(services_.WaitFor("MSExchangeMailSubmission", SERVICE_RUNNING));
  rows = Sample();
  EXPECT_EQ(rows["MSExchangeRepl"], (Codes{3, 0, 2}));
  EXPECT_EQ(rows["MSExchangeSearch"], (Codes{0, 0, 2}));
  EXPECT_EQ(rows["MSExchangeMailboxAssistants"], (Codes{6, 0, 2}));
  EXPECT_EQ(rows["MSExchangeMailSubmission"], (Codes{3, 0, 2}));
}

TEST_F(ServicesTable, NoServiceInstalledGivesNoRows) {
  keys_.Release(5, nullptr);
  EXPECT_TRUE(Sample().empty());
  // Without a release the current list is used as well.
  ResetExchangeVersionCaches();
  EXPECT_TRUE(Sample().empty());
}

TEST_F(ServicesTable, AServiceWithALargeConfigurationStillGivesItsRow) {
  keys_.Release(3, nullptr);
  ASSERT_TRUE(services_.Install("MSExchangeTransport", SERVICE_DEMAND_START, "", 6000));
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_TRUE(manager);
  SC_HANDLE service = OpenServiceA(manager, "MSExchangeTransport", SERVICE_QUERY_CONFIG);
  ASSERT_TRUE(service);
  DWORD needed = 0;
  std::vector<char> small(4096);
  EXPECT_FALSE(QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(small.data()), 4096, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(needed, 4096u);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  std::map<std::string, Codes> rows = Sample();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows["MSExchangeTransport"], (Codes{0, 0, 2}));
}

TEST_F(ServicesTable, AServiceDeletedBetweenSamplesLeavesTheTable) {
  keys_.Release(5, nullptr);
  ASSERT_TRUE(services_.Install("MSExchangeIS", SERVICE_DEMAND_START));
  ASSERT_TRUE(services_.Install("MSExchangeSA", SERVICE_DEMAND_START));
  ASSERT_TRUE(services_.Start("MSExchangeSA"));
  std::map<std::string, Codes> rows = Sample();
  EXPECT_EQ(rows["MSExchangeSA"], (Codes{3, 0, 2}));
  services_.Remove("MSExchangeSA");
  rows = Sample();
  EXPECT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows.count("MSExchangeIS"), 1u);
}

TEST_F(ServicesTable, ServiceFunctionsAndWords) {
  keys_.Release(5, nullptr);
  ASSERT_TRUE(services_.Install("MSExchangeIS", SERVICE_AUTO_START));
  ASSERT_TRUE(services_.Start("MSExchangeIS"));
  qmx::ScHandle manager(OpenSCManagerA(nullptr, nullptr, qmx::kManagerReadAccess));
  ASSERT_TRUE(manager);
  struct Case {
    const char* name;
    const char* result, *state, *status, *mode;
  } cases[] = {
      {"MSExchangeIS", "0", "3", "0", "1"},
      {"MSExchangeUM", "-1", "0", "3", "3"},
      {"", "-1", "0", "3", "3"},
      {"bad\\name", "-1", "0", "3", "3"},
  };
  for (const Case& c : cases) {
    char result[4] = "x";
    qmx::ScHandle service = GetServiceHandle(nullptr, c.name, manager.get(), result, sizeof result);
    EXPECT_STREQ(result, c.result) << c.name;
    EXPECT_EQ(static_cast<bool>(service), std::strcmp(c.result, "0") == 0);
    char state[16], status[16], mode[16];
    setServiceState(nullptr, c.name, manager.get(), state, status, mode, sizeof state);
    EXPECT_STREQ(state, c.state) << c.name;
    EXPECT_STREQ(status, c.status) << c.name;
    EXPECT_STREQ(mode, c.mode) << c.name;
  }
  // Without a manager every service keeps the defaults.
  char state[16], status[16], mode[16];
  setServiceState(nullptr, "MSExchangeIS", nullptr, state, status, mode, sizeof state);
  EXPECT_STREQ(status, "3");
  // The words of the string table.
  EXPECT_EQ(qmx::ServiceStateWord(SERVICE_RUNNING), "Running");
  EXPECT_EQ(qmx::ServiceStateWord(SERVICE_PAUSE_PENDING), "Pause Pending");
  EXPECT_EQ(qmx::ServiceStateWord(SERVICE_PAUSED), "Paused");
  EXPECT_EQ(qmx::ServiceStateWord(0), "Unknown");
  EXPECT_EQ(qmx::ServiceStartWord(SERVICE_BOOT_START), "Boot");
  EXPECT_EQ(qmx::ServiceStartWord(SERVICE_AUTO_START), "Automatic");
  EXPECT_EQ(qmx::ServiceStartWord(SERVICE_DISABLED), "Disabled");
  EXPECT_EQ(qmx::ServiceStartWord(77), "Unknown");
}

}  // namespace
