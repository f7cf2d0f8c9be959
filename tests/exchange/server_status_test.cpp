// Table 9 (MSESERVR) and table 39 (MSERBS) against the real service control manager, registry
// and disks: test services under Exchange service names, Exchange keys written by the test.
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "exchange_services.h"
#include "pxr.h"
#include "qmx09agt.h"
#include "qmxcommon.h"
#include "qmxservices.h"
#include "test_directory.h"
#include "test_env.h"

namespace {

using qmxtest::ExchangeKeys;
using qmxtest::ExchangeServices;
using qmxtest::I32;

// The fields of a table 9 row.
struct ServerRow {
  int32_t status, version, sa, mta, is, res, smtp, www, appFree, logFree;
  std::string roles;  // edgetrans, mailsrvr, clientacc, unifiedmsg, hubtrans: "NYNNN"
};

const char* const kMailboxServices[] = {"MSExchangeADTopology", "MSExchangeMailboxAssistants",
                                        "MSExchangeMailSubmission", "MSExchangeRepl",
                                        "MSExchangeSearch", "MSExchangeSA", "W3Svc"};

// Percent free (hundredths) of a drive, read independently of the agent.
double DrivePercent(const char* root) {
  ULARGE_INTEGER avail, total, free;
  EXPECT_TRUE(GetDiskFreeSpaceExA(root, &avail, &total, &free));
  return static_cast<double>(free.QuadPart >> 20) / static_cast<double>(total.QuadPart >> 20) * 10000.0;
}

class ServerStatusTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ExchangeKeys::Clean()) << "this machine has Exchange keys of its own";
    ResetExchangeVersionCaches();
    qmx::ResetServerStatusForTests();
    qmxtest::SetEnv("QMX_REQD_SERVICES", nullptr);
    pxr::ResetForTests();
    ASSERT_EQ(qmx_mseservr_init(), 0u);
    ASSERT_EQ(qmx_mserbs_init(), 0u);
    unsigned long status = 1;
    request_ = pxr::Request::Open("MSESERVR", {}, &status);
    ASSERT_TRUE(request_);
  }
  void TearDown() override {
    request_.reset();
    qmxtest::ForgetDirectory();
    qmxtest::SetEnv("QMX_EXCH_SERVER", nullptr);
    qmxtest::SetEnv("QMX_REQD_SERVICES", nullptr);
    ResetExchangeVersionCaches();
  }

  ServerRow Sample() {
    EXPECT_EQ(request_->Sample(), 0u);
    EXPECT_EQ(request_->rowCount(), 1);
    if (request_->rowCount() != 1) return {};
    const char* row = request_->row(0);
    EXPECT_EQ(I32(row, 64), 1);
    EXPECT_EQ(I32(row, 68), 1);
    EXPECT_EQ(row[143], '\0');
    ServerRow r{I32(row, 88),  I32(row, 92),  I32(row, 96),  I32(row, 100), I32(row, 104),
                I32(row, 108), I32(row, 112), I32(row, 116), I32(row, 120), I32(row, 124), ""};
    for (int f = 0; f < 5; ++f) {
      const char* field = row + 128 + 3 * f;
      EXPECT_EQ(field[1], '\0');
      EXPECT_EQ(field[2], '\0');
      r.roles += field[0];
    }
    return r;
  }

  // EXMB01 of the test organisation, a mailbox server of Exchange 2010.
  void MailboxServer() {
    qmxtest::UseDirectory("127.0.0.2");
    qmxtest::SetEnv("QMX_EXCH_SERVER", "EXMB01");
    keys_.Release(5, "C:\\Program Files\\Microsoft\\Exchange Server\\V14\\bin");
    keys_.Role("MailboxRole");
    for (const char* name : kMailboxServices) {
      ASSERT_TRUE(services_.Install(name));
      ASSERT_TRUE(services_.Start(name));
    }
    ASSERT_TRUE(services_.Install("MSExchangeIS"));
    ASSERT_TRUE(services_.Start("MSExchangeIS"));
  }

  std::unique_ptr<pxr::Request> request_;
  ExchangeKeys keys_;
  ExchangeServices services_;
};

TEST_F(ServerStatusTable, MailboxServerUpThenDownWhenReplicationStops) {
  ASSERT_NO_FATAL_FAILURE(MailboxServer());
  ServerRow r = Sample();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.version, 3);
  EXPECT_EQ(r.roles, "NYNNN");
  EXPECT_EQ(r.is, 4);
  EXPECT_EQ(r.sa, 4);
  EXPECT_EQ(r.www, 4);
  EXPECT_EQ(r.mta + r.res + r.smtp, 0);
  EXPECT_NEAR(r.appFree, DrivePercent("C:\\"), 20.0);
  EXPECT_GE(r.appFree, 0);
  // The log space of the drive of EXMB01's log files (its databases' log paths on N:).
  EXPECT_NEAR(r.logFree, DrivePercent("N:\\"), 20.0);
  EXPECT_GE(r.logFree, 0);

  ASSERT_TRUE(services_.Control("MSExchangeRepl", SERVICE_CONTROL_STOP, SERVICE_STOPPED));
  r = Sample();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(qmx::ServiceStates().state[qmx::StateIndex(qmx::ServiceFamily::CURRENT, "MSExchangeRepl")], 1);
  EXPECT_EQ(qmx::ServiceStates().valid, 27);
  // A service the store does not need to be up: pausing the store keeps the mailbox role up.
  ASSERT_TRUE(services_.Start("MSExchangeRepl"));
  ASSERT_TRUE(services_.Control("MSExchangeIS", SERVICE_CONTROL_PAUSE, SERVICE_PAUSED));
  r = Sample();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.is, 7);
}

TEST_F(ServerStatusTable, LogSpaceFromTheDirectoryOrNotAvailable) {
  ASSERT_NO_FATAL_FAILURE(MailboxServer());
  struct Case {
    const char* address;
    const char* server;
    bool computed;
  } cases[] = {
      {"127.0.0.2", "EXMB01", true},
      {"127.0.0.2", "EXCAS01", false},  // no databases, no log paths
      {"127.0.0.4", "EXMB01", false},   // the directory does not answer
  };
  for (const Case& c : cases) {
    qmxtest::UseDirectory(c.address);
    qmxtest::SetEnv("QMX_EXCH_SERVER", c.server);
    const ServerRow r = Sample();
    if (c.computed)
      EXPECT_NEAR(r.logFree, DrivePercent("N:\\"), 20.0) << c.server;
    else
      EXPECT_EQ(r.logFree, -1) << c.address << " " << c.server;
  }
}

TEST_F(ServerStatusTable, ConfiguredListDecidesAlone) {
  keys_.Release(5, "C:\\Exchange");
  keys_.Role("MailboxRole");
  keys_.Role("HubTransportRole");
  // None of the roles' services but these two exist; the list makes them the only ones asked.
  ASSERT_TRUE(services_.Install("MSExchangeIS"));
  ASSERT_TRUE(services_.Install("MSExchangeSA"));
  ASSERT_TRUE(services_.Start("MSExchangeIS"));
  ASSERT_TRUE(services_.Start("MSExchangeSA"));
  EXPECT_EQ(Sample().status, 0) << "without the list the 27 missing services make it down";
  qmxtest::SetEnv("QMX_REQD_SERVICES", "MSExchangeIS=1 MSExchangeSA=1");
  EXPECT_EQ(Sample().status, 1);
  ASSERT_TRUE(services_.Control("MSExchangeSA", SERVICE_CONTROL_STOP, SERVICE_STOPPED));
  EXPECT_EQ(Sample().status, 0);
  // Bad lists: only separators count as none (the roles decide); unknown names decide nothing.
  struct Case {
    const char* list;
    int status;
  } cases[] = {{"", 0}, {"==== 1111 =1=1", 0}, {"NoSuchService=1", 1}, {"MSExchangeIS=1 MSExchangeIS=1", 1}};
  for (const Case& c : cases) {
    qmxtest::SetEnv("QMX_REQD_SERVICES", c.list);
    EXPECT_EQ(Sample().status, c.status) << c.list;
  }
  std::string huge;
  while (huge.size() < 100000) huge += "MSExchangeIS=1 ";
  qmxtest::SetEnv("QMX_REQD_SERVICES", huge.c_str());
  EXPECT_EQ(Sample().status, 1);
}

TEST_F(ServerStatusTable, HubMailboxAndClientAccessMakeOneSingleServerPass) {
  ASSERT_NO_FATAL_FAILURE(MailboxServer());
  ASSERT_TRUE(services_.Control("MSExchangeIS", SERVICE_CONTROL_STOP, SERVICE_STOPPED));
  EXPECT_EQ(Sample().status, 1) << "the mailbox role alone does not need the store";
  keys_.Role("HubTransportRole");
  keys_.Role("ClientAccessRole");
  ServerRow r = Sample();
  EXPECT_EQ(r.status, 0) << "the single server pass needs the store";
  EXPECT_EQ(r.roles, "NYYNY");
  ASSERT_TRUE(services_.Start("MSExchangeIS"));
  // Hub Transport's own services are not installed: the single server pass skips them.
  EXPECT_EQ(Sample().status, 1);
}

TEST_F(ServerStatusTable, NoRoleKeysGiveDown) {
  keys_.Release(5, "C:\\Exchange");
  ASSERT_TRUE(services_.Install("MSExchangeIS"));
  ASSERT_TRUE(services_.Start("MSExchangeIS"));
  ServerRow r = Sample();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.roles, "NNNNN");
  EXPECT_EQ(r.logFree, -1);
  EXPECT_EQ(r.is, 4);
  // A service deleted since: its query fails and the state of the last pass stays.
  services_.Remove("MSExchangeIS");
  r = Sample();
  EXPECT_EQ(r.is, 4);
  EXPECT_EQ(r.version, 3);
}

TEST_F(ServerStatusTable, ServicesValueAndReleaseEdges) {
  // The services drive decides the application free space; without a drive it is -1.
  struct Case {
    const char* services;  // null: no value
    bool computed;
  } cases[] = {{nullptr, false}, {"", false}, {"C", false}, {"Z:\\", true}, {"c:", true}};
  for (const Case& c : cases) {
    ResetExchangeVersionCaches();
    ExchangeKeys keys;
    keys.Release(3, c.services);
    keys.Role("EdgeTransportRole");
    unsigned long status = 1;
    auto request = pxr::Request::Open("MSESERVR", {}, &status);
    ASSERT_TRUE(request);
    ASSERT_EQ(request->Sample(), 0u);
    ASSERT_EQ(request->rowCount(), 1) << "the row is always delivered";
    const char* row = request->row(0);
    EXPECT_EQ(I32(row, 92), 2) << "Exchange 2007";
    if (c.computed)
      EXPECT_NEAR(I32(row, 120), DrivePercent(c.services[0] == 'Z' ? "Z:\\" : "C:\\"), 20.0);
    else
      EXPECT_EQ(I32(row, 120), -1) << (c.services ? c.services : "no value");
    EXPECT_EQ(I32(row, 124), -1) << "no mailbox role: log space not computed";
  }
  // No release at all: version -1, no states, still one row.
  ResetExchangeVersionCaches();
  ServerRow r = Sample();
  EXPECT_EQ(r.version, -1);
  EXPECT_EQ(r.appFree, -1);
}

TEST_F(ServerStatusTable, LogSpaceOverRealDrives) {
  // Two groups on C: and one on Z: (both mapped drives of this machine); each drive once.
  ULARGE_INTEGER a, tc, fc, tz, fz;
  ASSERT_TRUE(GetDiskFreeSpaceExA("C:\\", &a, &tc, &fc));
  ASSERT_TRUE(GetDiskFreeSpaceExA("Z:\\", &a, &tz, &fz));
  const double want = static_cast<double>((fc.QuadPart >> 20) + (fz.QuadPart >> 20)) /
                      static_cast<double>((tc.QuadPart >> 20) + (tz.QuadPart >> 20)) * 10000.0;
  EXPECT_NEAR(ServerLogSpaceOfPaths("C:\\logs\\SG1\\E00.log;SG1;Z:\\tmp\\E01.log;SG2;c:\\SG3\\E02.log;SG3"),
              want, 20.0);
  EXPECT_EQ(ServerLogSpaceOfPaths("Q:\\not\\mapped"), -1.0);
  EXPECT_EQ(ServerLogSpaceOfPaths(""), -1.0);
}

TEST_F(ServerStatusTable, ReaderNamesTheFailingCall) {
  ASSERT_TRUE(services_.Install("MSExchangeIS", SERVICE_AUTO_START, "", 6000));
  qmx::ServiceStatusReader reader(nullptr);
  reader.Query("MSExchangeIS");
  EXPECT_EQ(reader.name(), "MSExchangeIS");
  EXPECT_EQ(reader.currentState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(reader.config().dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_GT(std::strlen(reader.config().lpBinaryPathName), 6000u);
  try {
    reader.Query("MSExchangeUM");
    ADD_FAILURE() << "no error for a service that is not installed";
  } catch (const qmx::ServiceQueryError& e) {
    EXPECT_STREQ(e.what(), "OpenService()");
    EXPECT_EQ(e.code(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  }
  // The failure reaches the server status as a failed query, the others as answers.
  uint32_t state = 0;
  qmx::ServiceQuery query = qmx::ReaderQuery(reader);
  EXPECT_FALSE(query("MSExchangeUM", &state));
  EXPECT_TRUE(query("MSExchangeIS", &state));
  EXPECT_EQ(state, static_cast<uint32_t>(SERVICE_STOPPED));
}

// Role-based services rows: (service display name, role) in row order.
std::vector<std::pair<std::string, std::string>> RbsRows(pxr::Request& request) {
  std::vector<std::pair<std::string, std::string>> rows;
  EXPECT_EQ(request.Sample(), 0u);
  int32_t lastSample = 0;
  for (int r = 0; r < request.rowCount(); ++r) {
    const char* row = request.row(r);
    std::string display(row + 212, 332);
    display = display.substr(0, display.find('\0'));
    std::string role(row + 152, 60);
    role = role.substr(0, role.find('\0'));
    EXPECT_EQ(std::string(row + 88, 60), std::string(row + 212, 60)) << "srvname from srvcname";
    EXPECT_GE(I32(row, 80), lastSample) << "sampleno grows";
    lastSample = I32(row, 80);
    EXPECT_EQ(std::string(row + 64, 16).find_first_not_of("0123456789"), std::string::npos);
    rows.emplace_back(display, role);
  }
  return rows;
}

TEST_F(ServerStatusTable, RoleBasedRowsOfAMailboxAndHubServer) {
  ASSERT_NO_FATAL_FAILURE(MailboxServer());
  keys_.Role("HubTransportRole");
  Sample();
  unsigned long status = 1;
  auto rbs = pxr::Request::Open("MSERBS", {}, &status);
  ASSERT_TRUE(rbs);
  using P = std::pair<std::string, std::string>;
  const std::string M = "Mailbox", H = "Hub Transport";
  const std::vector<P> want = {
      {"Microsoft Exchange Active Directory Topology", M}, {"Microsoft Exchange Active Directory Topology", H},
      {"Microsoft Exchange EdgeSync", H},                  {"Microsoft Exchange Anti-spam Update", H},
      {"Microsoft Exchange Information Store", M},         {"Microsoft Exchange Mail Submission Service", M},
      {"Microsoft Exchange Mailbox Assistants", M},        {"Microsoft Exchange Monitoring", M},
      {"Microsoft Exchange Monitoring", H},                {"Microsoft Exchange Replication Service", M},
      {"Microsoft Exchange Search Indexer", M},            {"Microsoft Exchange Service Host", M},
      {"Microsoft Exchange Service Host", H},              {"Microsoft Exchange System Attendant", M},
      {"Microsoft Exchange Transport", H},                 {"Microsoft Exchange Transport Log Search", M},
      {"Microsoft Exchange Transport Log Search", H},      {"Microsoft Exchange Protected Service Host", H},
      {"Microsoft Exchange RPC Client Access", M},         {"Microsoft Exchange Throttling", M},
  };
  EXPECT_EQ(RbsRows(*rbs), want);
  // rowno is the position in the state list, srvstatus its state.
  const char* first = rbs->row(0);
  EXPECT_EQ(I32(first, 84), 1);
  EXPECT_EQ(I32(first, 148), 4);
  const char* store = rbs->row(4);
  EXPECT_EQ(I32(store, 84), 7);
  EXPECT_EQ(I32(store, 148), 4);
  // The next sample sees a stopped service through the table 9 request.
  ASSERT_TRUE(services_.Control("MSExchangeIS", SERVICE_CONTROL_STOP, SERVICE_STOPPED));
  RbsRows(*rbs);
  EXPECT_EQ(I32(rbs->row(4), 148), 1);
}

TEST_F(ServerStatusTable, RoleBasedRowsOfAnEdgeServer) {
  keys_.Release(3, "C:\\Exchange");
  keys_.Role("EdgeTransportRole");
  Sample();
  unsigned long status = 1;
  auto rbs = pxr::Request::Open("MSERBS", {}, &status);
  ASSERT_TRUE(rbs);
  const std::string E = "Edge Transport";
  const std::vector<std::pair<std::string, std::string>> want = {
      {"Microsoft Exchange Credential Service", E}, {"Microsoft Exchange Anti-spam Update", E},
      {"Microsoft Exchange Monitoring", E},         {"Microsoft Exchange Service Host", E},
      {"Microsoft Exchange Transport", E},          {"Microsoft Exchange Transport Log Search", E},
      {"Microsoft Exchange ADAM", E},
  };
  EXPECT_EQ(RbsRows(*rbs), want);
  // Before any table 9 sample of a release there are no rows.
  qmx::ResetServerStatusForTests();
  request_.reset();
  EXPECT_TRUE(RbsRows(*rbs).empty());
}

}  // namespace
