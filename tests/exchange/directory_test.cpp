// The directory layer, topology and availability groups against the test directories that the
// fixture starts: the organisation on 127.0.0.2 and a faulty one on 127.0.0.3 (nothing listens
// on 127.0.0.4; the mid-search test relays 127.0.0.7 to the organisation).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hvl.h"
#include "pxr.h"
#include "qmx_tables.h"
#include "qmxactdir.h"
#include "qmxdag.h"
#include "test_directory.h"
#include "test_env.h"
#include "win_process.h"
#include "win_text.h"

using qmxtest::Encipher;
using qmxtest::SetEnv;

namespace {

using qmxtest::Encipher;
using qmxtest::kReader;
using qmxtest::kReaderPassword;
const char* const kAG = qmxtest::kAdminGroup;

// COM is left as it was found: a fresh initialisation on this thread is the first one.
bool ComBalanced() {
  HRESULT hr = CoInitialize(nullptr);
  CoUninitialize();
  return hr == S_OK;
}

class Directory : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = qmxtest::MakeTempDir("qmxdir");
    trace_ = log_ + "\\trace.log";
    SetEnv("JBX_RAS1_LOG", trace_.c_str());
    SetEnv("JBX_RAS1", "ERROR (UNIT:qmxactdir ALL) (UNIT:qmxdag ALL)");
    Use("127.0.0.2");
    SetEnv("QMX_EXCH_DOMAIN", "qmxtest");
    SetEnv("VORTA_LOG_PATH", log_.c_str());
  }
  void TearDown() override {
    for (const char* v : {"QMX_AD_SERVER", "QMX_AD_BIND", "QMX_AD_USER", "QMX_AD_PASSWORD",
                          "QMX_EXCH_DOMAIN", "QMX_EXCH_SERVER", "VORTA_LOG_PATH"})
      SetEnv(v, nullptr);
    SetEnv("JBX_RAS1", "ERROR");
    SetEnv("JBX_RAS1_LOG", "");
    EXPECT_TRUE(ComBalanced());
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA((log_ + "\\*").c_str(), &d);
    if (h != INVALID_HANDLE_VALUE) {
      do DeleteFileA((log_ + "\\" + d.cFileName).c_str());
      while (FindNextFileA(h, &d));
      FindClose(h);
    }
    RemoveDirectoryA(log_.c_str());
  }
  // A simple bind as the reader to the server at `address`.
  void Use(const char* address, const char* password = kReaderPassword) {
    qmxtest::UseDirectory(address, password);
  }
  std::string Trace() { return qmxtest::ReadWholeFile(trace_); }
  std::string log_, trace_;
};

// The servers come in the directory's order.
const char kTopologyHeader[] = "######  Topology Data - Number of Machines ######'6'\n";
const std::set<std::string> kTopologyLines = {
    "EXMB01;qmxtest;Mailbox Role, Client Access Role, Hub Transport Role",
    "EXMB02;qmxtest;Mailbox Role",
    "EXCAS01;qmxtest;Client Access Role, Hub Transport Role",
    "EXUM01;qmxtest;MailBox Role, Client Access Role",
    "EXOLD01;qmxtest;",
    "EXODD01;qmxtest;"};

// True when the file holds the header and exactly those lines, each once.
bool IsTopologyFile(const std::string& text) {
  if (text.compare(0, strlen(kTopologyHeader), kTopologyHeader) != 0) return false;
  std::multiset<std::string> lines;
  std::istringstream in(text.substr(strlen(kTopologyHeader)));
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines == std::multiset<std::string>(kTopologyLines.begin(), kTopologyLines.end()) &&
         text.back() == '\n';
}

TEST_F(Directory, TopologyFileHasTheServersAndRoles) {
  SetEnv("JBX_RAS1", "ALL");  // every line, the decipherment's too
  EXPECT_EQ(TopologyRound(log_), 6);
  EXPECT_TRUE(IsTopologyFile(qmxtest::ReadWholeFile(log_ + "\\topology_details.log")));
  std::string trace = Trace();
  EXPECT_NE(trace.find("Number of Machines: 6"), std::string::npos);
  EXPECT_EQ(trace.find(kReaderPassword), std::string::npos) << "no password in the trace";
  EXPECT_EQ(trace.find(BSS1_GetEnv("QMX_AD_PASSWORD", 0)), std::string::npos);
}

TEST_F(Directory, FailuresKeepThePreviousFile) {
  ASSERT_EQ(TopologyRound(log_), 6);
  struct Case {
    const char* server;
    const char* bind;
    const char* password;
    const char* code;
  } cases[] = {
      {"127.0.0.4", "simple", kReaderPassword, "ADS203A"},  // nothing listens
      {"127.0.0.2", "simple", "wrong", "ADS20A2"},          // wrong password
      {"127.0.0.2", "secure", nullptr, "ADS203B"},          // secure bind refused (Wine)
      {nullptr, "simple", nullptr, "ADS232B"},              // serverless: no domain controller
  };
  for (const Case& c : cases) {
    SetEnv("QMX_AD_SERVER", c.server);
    SetEnv("QMX_AD_BIND", c.bind);
    SetEnv("QMX_AD_USER", c.password ? kReader : nullptr);
    SetEnv("QMX_AD_PASSWORD", c.password ? Encipher(c.password).c_str() : nullptr);
    int count = -1;
    EXPECT_TRUE(GetServerRolesActiveDirectoryData(nullptr, &count).empty());
    EXPECT_EQ(count, 0);
    EXPECT_EQ(TopologyRound(log_), 0);
    EXPECT_TRUE(IsTopologyFile(qmxtest::ReadWholeFile(log_ + "\\topology_details.log"))) << c.code;
    EXPECT_NE(Trace().find(std::string("Return Code: ") + c.code), std::string::npos) << c.code;
  }
  EXPECT_EQ(Trace().find("wrong"), std::string::npos);
}

TEST_F(Directory, AnonymousSimpleBindReads) {
  SetEnv("QMX_AD_USER", nullptr);
  SetEnv("QMX_AD_PASSWORD", nullptr);
  int count = 0;
  EXPECT_EQ(GetServerRolesActiveDirectoryData(nullptr, &count).size(), 6u);
}

TEST_F(Directory, UnusableSettingsAreTracedAndTheDefaultUsed) {
  SetEnv("QMX_AD_SERVER", "not a host/");
  SetEnv("QMX_AD_BIND", "kerberos");
  int count = 0;
  GetServerRolesActiveDirectoryData(nullptr, &count);
  GetServerRolesActiveDirectoryData(nullptr, &count);
  EXPECT_EQ(count, 0);  // serverless and secure: Wine has no domain controller
  std::string trace = Trace();
  size_t first = trace.find("QMX_AD_BIND \"kerberos\" is neither secure nor simple");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(trace.find("QMX_AD_BIND \"kerberos\"", first + 1), std::string::npos) << "traced once";
  EXPECT_NE(trace.find("QMX_AD_SERVER \"not a host/\" is not a host name"), std::string::npos);
}

TEST_F(Directory, RequiredClassDN) {
  char out[512] = "unchanged";
  EXPECT_EQ(getRequiredClassDN(nullptr, "(objectClass=msExchMDBContainer)", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), std::string("CN=Databases,") + kAG);
  std::strcpy(out, "unchanged");
  EXPECT_EQ(getRequiredClassDN(nullptr, "(objectClass=noSuchClass)", out, sizeof out), 0);
  EXPECT_STREQ(out, "unchanged");
  EXPECT_LT(getRequiredClassDN(nullptr, "(objectClass=", out, sizeof out), 0) << "bad filter";
  SetEnv("QMX_AD_SERVER", "127.0.0.4");
  EXPECT_LT(getRequiredClassDN(nullptr, "(objectClass=msExchMDBContainer)", out, sizeof out), 0);
}

TEST_F(Directory, ReadAndChildrenGiveTheSameThroughEitherRoute) {
  qmx::ad::DirectorySession session;
  std::wstring context;
  ASSERT_EQ(session.NamingContext(L"configurationNamingContext", &context), S_OK);  // IADs::Get
  EXPECT_EQ(context, L"CN=Configuration,DC=qmxtest,DC=local");
  std::vector<qmx::ad::Child> children;
  std::wstring dags = L"CN=Database Availability Groups," + qmx::ToWide(kAG);
  ASSERT_EQ(session.Children(dags, &children), S_OK);
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(qmx::ad::CommonName(qmx::FromWide(children[0].dn, CP_ACP)), "DAG01");
  EXPECT_EQ(children[0].className, L"msExchMDBAvailabilityGroup");
  std::vector<qmx::ad::Value> values;
  ASSERT_EQ(session.Read(children[1].dn, {L"msExchMDBAvailabilityGroupBL", L"name", L"absent"}, &values),
            S_OK);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].count(), 3u);
  EXPECT_EQ(values[1].texts.at(0), L"DAG02");
  EXPECT_NE(session.Read(L"CN=Nothing," + dags, {L"name"}, &values), S_OK);
  // Each switch of route is traced once.
  std::string trace = Trace();
  size_t first = trace.find("reading through IDirectorySearch instead");
  if (first != std::string::npos) {
    size_t get = trace.find("IADs::GetEx answered");
    if (get != std::string::npos) {
      EXPECT_EQ(trace.find("IADs::GetEx answered", get + 1), std::string::npos);
    }
  }
}

TEST_F(Directory, AvailabilityGroupIsTheFirstOne) {
  std::string name, witness;
  int members = 0;
  EXPECT_EQ(GetDAGInfo(nullptr, &name, &members, &witness), 0);
  EXPECT_EQ(name, "DAG01");
  EXPECT_EQ(members, 2);  // not DAG02's three
  EXPECT_EQ(witness, "EXCAS01");
}

TEST_F(Directory, CopiesOfEachServer) {
  struct Expect {
    const char* db;
    const char* status;
    int pref;
    int lag;
  };
  struct Case {
    const char* server;
    std::vector<Expect> copies;
  } cases[] = {
      {"EXMB01", {{"DB01", "Active", 1, 0}, {"DB02", "Passive", 3, 959}}},
      {"exmb02", {{"DB01", "Passive", 2, 600}, {"DB02", "Active", 1, 0}, {"DB03", "Active", 1, 0}}},
      {"EXCAS01", {}},
  };
  for (const Case& c : cases) {
    int count = -1;
    std::vector<MailboxCopyRecord> records;
    GetMailboxCopyStatus(nullptr, &count, c.server, &records);
    ASSERT_EQ(records.size(), c.copies.size()) << c.server;
    if (!c.copies.empty()) {
      EXPECT_EQ(count, static_cast<int>(c.copies.size()));
    }
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].database, c.copies[i].db);
      EXPECT_EQ(records[i].status, c.copies[i].status) << c.server << " " << c.copies[i].db;
      EXPECT_EQ(records[i].activationPreference, c.copies[i].pref);
      EXPECT_EQ(records[i].replayLag, c.copies[i].lag);
    }
  }
  int n = 0;
  EXPECT_EQ(GetCopyCount(nullptr, "EXMB01", L"CN=Databases," + qmx::ToWide(kAG), &n), 0);
  EXPECT_EQ(n, 2) << "the public database's copy does not count";
}

TEST_F(Directory, FaultyOrganisation) {
  Use("127.0.0.3");
  int count = 0;
  auto records = GetServerRolesActiveDirectoryData(nullptr, &count);
  ASSERT_EQ(count, 4);
  for (const ServerRoleRecord& r : records) EXPECT_EQ(r.role, "") << r.server;  // -5, huge, none, 0
  std::string name, witness;
  int members = 0;
  EXPECT_EQ(GetDAGInfo(nullptr, &name, &members, &witness), 0);
  EXPECT_EQ(name, "DAGX");
  EXPECT_EQ(witness, "") << "a witness path without backslashes names no server";
  std::vector<MailboxCopyRecord> copies;
  GetMailboxCopyStatus(nullptr, &count, "BADMB01", &copies);
  ASSERT_EQ(copies.size(), 1u) << "the database owned by a DN without CN= is left out";
  EXPECT_EQ(copies[0].database, "GOODDB");
  EXPECT_EQ(count, 1);
  std::string trace = Trace();
  EXPECT_NE(trace.find("msExchReplayLag of the copy of"), std::string::npos);
  EXPECT_NE(trace.find("names no server"), std::string::npos);
  EXPECT_NE(trace.find("owning server of"), std::string::npos);
}

TEST_F(Directory, ComIsBalancedOnOtherThreadsToo) {
  std::thread t([] {
    int count = 0;
    GetServerRolesActiveDirectoryData(nullptr, &count);
    SetEnv("QMX_AD_SERVER", "127.0.0.4");
    GetServerRolesActiveDirectoryData(nullptr, &count);
    EXPECT_TRUE(ComBalanced());
  });
  t.join();
}

// A relay on 127.0.0.7 port 389 in front of the organisation's server. Armed, it passes the
// answers of the connection on until one search has sent `cut` entries, then closes that
// connection on both sides: to the agent the server went away in mid-search.
class CuttingRelay {
 public:
  CuttingRelay() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = Address("127.0.0.7");
    BOOL yes = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    ok_ = bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listener_, 8) == 0;
    if (ok_) thread_ = std::thread([this] { Accept(); });
  }
  ~CuttingRelay() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (std::thread& t : connections_) t.join();
    closesocket(listener_);
    WSACleanup();
  }
  bool ok() const { return ok_; }
  void Arm(int cut) { cut_ = cut; }
  int cuts() const { return cuts_; }

 private:
  static sockaddr_in Address(const char* ip) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(389);
    a.sin_addr.s_addr = inet_addr(ip);
    return a;
  }
  static bool Readable(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{0, 50000};
    return select(0, &set, nullptr, nullptr, &wait) == 1;
  }
  void Accept() {
    while (!stop_) {
      if (!Readable(listener_)) continue;
      SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) continue;
      connections_.emplace_back([this, client] { Relay(client); });
    }
  }
  // Length of the first whole LDAP message in `b` (a BER sequence), 0 while incomplete.
  static size_t MessageLength(const std::string& b) {
    if (b.size() < 2) return 0;
    size_t length = static_cast<unsigned char>(b[1]), head = 2;
    if (length & 0x80) {
      size_t n = length & 0x7f;
      if (b.size() < 2 + n) return 0;
      length = 0;
      for (size_t i = 0; i < n; ++i) length = length << 8 | static_cast<unsigned char>(b[2 + i]);
      head += n;
    }
    return b.size() < head + length ? 0 : head + length;
  }
  // The message id and the operation's tag of a whole message.
  static void Parse(const std::string& m, int* id, int* op) {
    size_t p = 2 + ((static_cast<unsigned char>(m[1]) & 0x80) ? (m[1] & 0x7f) : 0);
    size_t n = static_cast<unsigned char>(m[p + 1]);
    *id = 0;
    for (size_t i = 0; i < n; ++i) *id = *id << 8 | static_cast<unsigned char>(m[p + 2 + i]);
    *op = static_cast<unsigned char>(m[p + 2 + n]);
  }
  void Relay(SOCKET client) {
    SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = Address("127.0.0.2");
    bool up = connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    std::string answer;
    std::map<int, int> entries;  // per search (message id)
    char buffer[16384];
    while (up && !stop_) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(client, &set);
      FD_SET(server, &set);
      timeval wait{0, 50000};
      if (select(0, &set, nullptr, nullptr, &wait) <= 0) continue;
      if (FD_ISSET(client, &set)) {
        int n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0 || send(server, buffer, n, 0) != n) break;
      }
      if (FD_ISSET(server, &set)) {
        int n = recv(server, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, n);
        bool cutNow = false;
        for (size_t length; !cutNow && (length = MessageLength(answer)) != 0;) {
          std::string message = answer.substr(0, length);
          answer.erase(0, length);
          int id = 0, op = 0;
          Parse(message, &id, &op);
          if (op == 0x64 && cut_ > 0 && ++entries[id] == cut_) cutNow = true;  // searchResEntry
          if (send(client, message.data(), static_cast<int>(message.size()), 0) !=
              static_cast<int>(message.size()))
            up = false;
        }
        if (cutNow) {
          cut_ = 0;
          ++cuts_;
          break;
        }
      }
    }
    closesocket(server);
    closesocket(client);
  }
  SOCKET listener_ = INVALID_SOCKET;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> cut_{0}, cuts_{0};
  std::thread thread_;
  std::vector<std::thread> connections_;
};

TEST_F(Directory, ServerGoneInMidSearchKeepsThePreviousFile) {
  CuttingRelay relay;
  ASSERT_TRUE(relay.ok()) << "127.0.0.7 port 389 taken";
  Use("127.0.0.7");
  ASSERT_EQ(TopologyRound(log_), 6);
  const std::string before = qmxtest::ReadWholeFile(log_ + "\\topology_details.log");
  ASSERT_TRUE(IsTopologyFile(before));
  size_t traced = Trace().size();
  relay.Arm(3);  // half of the six servers, then the connection closes
  EXPECT_EQ(TopologyRound(log_), 0);
  EXPECT_EQ(relay.cuts(), 1) << "the search reached the server";
  EXPECT_EQ(qmxtest::ReadWholeFile(log_ + "\\topology_details.log"), before);
  std::string trace = Trace().substr(traced);
  EXPECT_NE(trace.find("GetServerRolesActiveDirectoryData: HResult: 0x"), std::string::npos) << trace;
  // The lost connection, as ExecuteSearch reports it under Wine.
  EXPECT_NE(trace.find("Return Code: ADS203A"), std::string::npos) << trace;
  EXPECT_TRUE(ComBalanced());
  // The server back: the next round reads all of it again.
  EXPECT_EQ(TopologyRound(log_), 6);
  EXPECT_TRUE(IsTopologyFile(qmxtest::ReadWholeFile(log_ + "\\topology_details.log")));
}

// The tables, through the framework's requests.
class DirectoryTables : public Directory {
 protected:
  void SetUp() override {
    Directory::SetUp();
    pxr::ResetForTests();
    qmx_msrtopo_init();
    qmx_msedag_init();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Cluster");
  }
  void TearDown() override {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Cluster");
    Directory::TearDown();
  }
  std::string Field(const pxr::Request& r, int row, const char* table, const char* upper) {
    const qmx::TableLayout* layout = qmx::TableLayoutByName(table);
    const qmx::TableAttribute& a = layout->attributes[layout->Find(upper)];
    const char* p = r.row(row) + a.offset;
    if (a.type == qmx::TYPE_INT32) {
      int32_t v;
      std::memcpy(&v, p, sizeof v);
      return std::to_string(v);
    }
    return std::string(p, strnlen(p, a.width));
  }
};

TEST_F(DirectoryTables, TopologyRowsFromTheFile) {
  unsigned long status = 0;
  auto r = pxr::Request::Open("MSRTOPO", {}, &status);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 0) << "no file yet";
  ASSERT_EQ(TopologyRound(log_), 6);
  EXPECT_EQ(r->Sample(), 0u);
  ASSERT_EQ(r->rowCount(), 6);
  std::set<std::string> rows;
  for (int i = 0; i < 6; ++i) {
    rows.insert(Field(*r, i, "MSRTOPO", "MACHNAME") + ";" + Field(*r, i, "MSRTOPO", "DOMNAME") + ";" +
                Field(*r, i, "MSRTOPO", "ROLES"));
    EXPECT_EQ(Field(*r, i, "MSRTOPO", "ROWNO"), std::to_string(i + 1));
  }
  EXPECT_EQ(rows, kTopologyLines);
}

TEST_F(DirectoryTables, AvailabilityGroupRows) {
  SetEnv("QMX_EXCH_SERVER", "EXMB02");
  unsigned long status = 0;
  auto r = pxr::Request::Open("MSEDAG", {}, &status);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 0) << "no Cluster key";
  EXPECT_NE(Trace().find("No DAG configuration found."), std::string::npos);
  HKEY key;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Cluster", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(r->Sample(), 0u);
  ASSERT_EQ(r->rowCount(), 3);
  const char* expect[3][4] = {{"DB01", "Passive", "2", "10"}, {"DB02", "Active", "1", "0"},
                              {"DB03", "Active", "1", "0"}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Field(*r, i, "MSEDAG", "DAGNAME"), "DAG01");
    EXPECT_EQ(Field(*r, i, "MSEDAG", "MEMCOUNT"), "2");
    EXPECT_EQ(Field(*r, i, "MSEDAG", "WITSERNAME"), "EXCAS01");
    EXPECT_EQ(Field(*r, i, "MSEDAG", "MBDBCOPIES"), expect[i][0]);
    EXPECT_EQ(Field(*r, i, "MSEDAG", "DBCPSTATUS"), expect[i][1]);
    EXPECT_EQ(Field(*r, i, "MSEDAG", "ACTPREF"), expect[i][2]);
    EXPECT_EQ(Field(*r, i, "MSEDAG", "REPLAYLT"), expect[i][3]);
  }
  SetEnv("QMX_AD_SERVER", "127.0.0.4");
  EXPECT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 0) << "directory down: no rows, the table goes on";
}

}  // namespace
