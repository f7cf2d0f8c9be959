// CheckConfigSettings and its helpers against the real registry and real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "earegenv.h"
#include "jbx.h"
#include "qmxcommon.h"
#include "qmxconfig.h"
#include "regtest_util.h"

using regtest::GetString;
using regtest::ScopedTree;

namespace {

std::string HostName() {
  char name[256];
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNamePhysicalDnsHostname, name, &size)) return "";
  return std::string(name, size);
}

std::string TempDir() {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  return dir;
}

// Everything written to standard error (fd 2) while f runs.
template <class F>
std::string CaptureStderr(F&& f) {
  std::string file = TempDir() + regtest::UniqueName("qmxstderr") + ".txt";
  std::fflush(stderr);
  int saved = _dup(2);
  int fd = _open(file.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  _dup2(fd, 2);
  f();
  std::fflush(stderr);
  _dup2(saved, 2);
  _close(saved);
  _close(fd);
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  in.close();
  DeleteFileA(file.c_str());
  return ss.str();
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

// The 18 variables in table order.
const char* const kVariables[] = {
    "QMX_EXCH_PASSWORD",      "QMX_EXCH_DOMAIN",          "QMX_MAPI_PROFILE",
    "QMX_REACHABILITY_INTERVAL", "QMX_EMAIL_ADDRESSES",   "QMX_MBX_INFO_INTERVAL",
    "QMX_EXCH_USERID",        "QMX_MAILBOX_RUNTIME",      "QMX_INTERVAL",
    "QMX_REACHABILITY_THRESHOLD", "QMX_EXCH_SERVER",      "QMX_REACHABILITY_ENABLED",
    "QMX_MBX_DETAILS_ENABLED", "QMX_REQD_SERVICES",       "VORTA_HOSTNAME",
    "VORTA_SUBSYSTEM_ID",     "VORTA_HIST_DIR",           "QMX_TOPOLOGY_INTERVAL",
};

class Config : public ::testing::Test {
 protected:
  Config()
      : instance_("QMX\\Ver610\\" + regtest::UniqueName("test")),
        env_("SOFTWARE\\Orvel\\" + instance_ + "\\Environment"),
        tree_(env_) {}

  void SetUp() override {
    ResetExchangeVersionCaches();
    SetConfigStoreFailureForTest(-1);
    sit_ = TempDir() + regtest::UniqueName("qmxsit");
    CreateDirectoryA(sit_.c_str(), nullptr);
    regtest::SetEnv("VORTA_SIT_PATH", sit_.c_str());
    regtest::SetEnv("USERDOMAIN", "TESTDOM");
    cfg_ = sit_ + "\\" + HostName().substr(0, 15) + "_ex.cfg";
  }
  void TearDown() override {
    SetConfigStoreFailureForTest(-1);
    DeleteFileA(cfg_.c_str());
    RemoveDirectoryA(cfg_.c_str());
    RemoveDirectoryA(sit_.c_str());
    regtest::SetEnv("VORTA_SIT_PATH", nullptr);
  }
  void WriteConfig(const std::string& text) {
    std::ofstream out(cfg_, std::ios::binary);
    out << text;
  }
  std::string Value(const char* name) const { return GetString(env_, name); }

  std::string instance_, env_;
  ScopedTree tree_;
  std::string sit_, cfg_;
};

const char kFullConfig[] =
    "SECTION=EXCH\r\n"
    "exchange_password=EnC\\\\ipher3d exchange_domain=CORP exchange_profile=prof\r\n"
    "exchange_reach_interval=301 exchange_targets=a@x.com,b@x.com exchange_mailbox_interval=3600\r\n"
    "exchange_user=admin exchange_mailbox_runtime=02:00 exchange_interval=60\r\n"
    "exchange_reach_threshold=30 exchange_server=EXSRV exchange_reach_enable=1\r\n"
    "exchange_mailbox_enable=1 exchange_services=overwritten exchange_topology_interval=900\r\n"
    "SECTION=SERVICES\r\n"
    "exch_service_is=1 exch_service_sa=1 exch_service_pop3=1 exch_service_imap=0 "
    "exch_service_smtp=1\r\n"
    "SECTION=CLUSTER\r\n"
    "exch_cluster_server=VCLUS exch_subsystem=SUB1 exch_history=D:\\\\hist\\\\qmx\r\n";

TEST_F(Config, FileCarriesEverySetting) {
  WriteConfig(kFullConfig);
  ASSERT_EQ(CheckConfigSettings(instance_.c_str()), 0);
  const char* want[] = {"EnCipher3d", "CORP", "prof", "301", "a@x.com,b@x.com", "3600", "admin",
                        "02:00", "60", "30", "EXSRV", "1", "1",
                        "MSExchangeIS=1 MSExchangeSA=1 MSExchangePOP3=1 SMTPSVC", "VCLUS", "SUB1",
                        "D:\\hist\\qmx", "900"};
  for (size_t i = 0; i < 18; ++i) {
    EXPECT_EQ(Value(kVariables[i]), want[i]) << kVariables[i];
    EXPECT_EQ(regtest::GetType(env_, kVariables[i]), static_cast<DWORD>(REG_SZ)) << kVariables[i];
  }
  EXPECT_EQ(regtest::ValueCount(env_), 18u);
  EXPECT_EQ(regtest::Env("QMX_INTERVAL"), "60");  // also in the process environment
}

TEST_F(Config, NoFileWritesTheDefaultsWhateverTheRegistryHeld) {
  regtest::SetString(env_, "QMX_INTERVAL", "999");
  regtest::SetString(env_, "QMX_EXCH_PASSWORD", "old");
  regtest::SetString(env_, "VORTA_HOSTNAME", "old");
  std::string err = CaptureStderr([&] { EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 0); });
  const std::string want[] = {"",    "TESTDOM", "ex_profile", "300", "",  "86400",
                              "administrator", "", "120", "60",  HostName(), "0",
                              "0",   "",        "",           "",    "",  "300"};
  for (size_t i = 0; i < 18; ++i) EXPECT_EQ(Value(kVariables[i]), want[i]) << kVariables[i];
  EXPECT_EQ(regtest::ValueCount(env_), 18u);
  EXPECT_NE(err.find("Configuration file does not exist or error processing file, setting default "
                     "environment\n"),
            std::string::npos);
  EXPECT_NE(err.find("Setting RegKey : QMX_INTERVAL with : 120\n"), std::string::npos);
  EXPECT_NE(err.find("Setting registry key : QMX_INTERVAL, value : 120\n"), std::string::npos);
}

// Only a missing file means defaults. A file that is there but cannot be read (locked by the
// configuration tool, or a directory by its name) leaves the stored settings as they are: the
// password, the targets and the job switches must not be wiped by a passing lock.
TEST_F(Config, AFileThatCannotBeReadKeepsTheRegistry) {
  const char* const kept[][2] = {{"QMX_EXCH_PASSWORD", "stored"},
                                 {"QMX_EMAIL_ADDRESSES", "a@x.com"},
                                 {"QMX_REACHABILITY_ENABLED", "1"}};
  for (const char* what : {"locked file", "directory"}) {
    SCOPED_TRACE(what);
    for (const auto& v : kept) regtest::SetString(env_, v[0], v[1]);
    HANDLE lock = INVALID_HANDLE_VALUE;
    if (std::string(what) == "directory") {
      DeleteFileA(cfg_.c_str());
      ASSERT_TRUE(CreateDirectoryA(cfg_.c_str(), nullptr));
    } else {
      WriteConfig(kFullConfig);
      lock = CreateFileA(cfg_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    }
    std::string err = CaptureStderr([&] { EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 0); });
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    for (const auto& v : kept) EXPECT_EQ(Value(v[0]), v[1]) << v[0];
    EXPECT_EQ(regtest::ValueCount(env_), 3u) << "no default was written";
    EXPECT_NE(err.find("exists but cannot be read"), std::string::npos) << err;
    EXPECT_EQ(err.find("setting default environment"), std::string::npos) << err;
  }
}

TEST_F(Config, IncompleteClusterSectionFails) {
  WriteConfig("SECTION=CLUSTER exch_cluster_server=VCLUS exch_subsystem=S\n");
  EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 1);
  EXPECT_EQ(Value("VORTA_HOSTNAME"), "VCLUS");  // what was there is stored all the same
  WriteConfig("SECTION=CLUSTER exch_history=H\n");
  EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 1);
  WriteConfig("SECTION=CLUSTER exch_history=H exch_subsystem=S exch_cluster_server=C\n");
  EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 0);
}

TEST_F(Config, NumericFilterUnchangedValuesAndForcedStores) {
  regtest::SetString(env_, "QMX_INTERVAL", "120");
  regtest::SetString(env_, "QMX_REACHABILITY_THRESHOLD", "45");
  regtest::SetString(env_, "QMX_MAPI_PROFILE", "EX_PROFILE");
  regtest::SetString(env_, "QMX_REQD_SERVICES", "msexchangeis=1");
  WriteConfig(
      "SECTION=EXCH exchange_interval=abc exchange_reach_threshold= exchange_profile=ex_profile\n"
      "exchange_mailbox_runtime=\n"
      "SECTION=SERVICES exch_service_is=1\nSECTION=CLUSTER\n");
  ASSERT_EQ(CheckConfigSettings(instance_.c_str()), 0);
  EXPECT_EQ(Value("QMX_INTERVAL"), "120");             // abc dropped
  EXPECT_EQ(Value("QMX_REACHABILITY_THRESHOLD"), "");  // empty is stored
  EXPECT_EQ(Value("QMX_MAILBOX_RUNTIME"), "");         // and created when missing
  EXPECT_EQ(Value("QMX_MAPI_PROFILE"), "EX_PROFILE");  // same but for case: left alone
  EXPECT_EQ(Value("QMX_REQD_SERVICES"), "MSExchangeIS=1");  // forced
  EXPECT_EQ(Value("QMX_TOPOLOGY_INTERVAL"), "-1");          // forced default with a cluster section
}

TEST_F(Config, ServicesWithoutClusterAreNotStored) {
  regtest::SetString(env_, "QMX_REQD_SERVICES", "old");
  WriteConfig("SECTION=EXCH exchange_user=u SECTION=SERVICES exch_service_is=1 exch_service_sa=1");
  ASSERT_EQ(CheckConfigSettings(instance_.c_str()), 0);
  EXPECT_EQ(Value("QMX_REQD_SERVICES"), "old");
  EXPECT_EQ(Value("QMX_TOPOLOGY_INTERVAL"), "<missing>");
  EXPECT_EQ(Value("QMX_EXCH_USERID"), "u");
}

TEST_F(Config, AFailedStoreEndsWithOneAndLeavesOldOrNewValues) {
  for (const char* v : {"QMX_EXCH_USERID", "QMX_EXCH_DOMAIN", "QMX_MAPI_PROFILE", "QMX_EMAIL_ADDRESSES"})
    regtest::SetString(env_, v, "old");
  WriteConfig("SECTION=EXCH exchange_user=u1 exchange_domain=d1 exchange_profile=p1 exchange_targets=t1");
  SetConfigStoreFailureForTest(2);
  EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 1);
  EXPECT_EQ(Value("QMX_EXCH_USERID"), "u1");
  EXPECT_EQ(Value("QMX_EXCH_DOMAIN"), "d1");
  EXPECT_EQ(Value("QMX_MAPI_PROFILE"), "old");
  EXPECT_EQ(Value("QMX_EMAIL_ADDRESSES"), "old");

  // The same for the defaults: the loop stops at the failed store.
  DeleteFileA(cfg_.c_str());
  regtest::SetString(env_, "QMX_INTERVAL", "old");
  SetConfigStoreFailureForTest(5);
  std::string err = CaptureStderr([&] { EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 1); });
  EXPECT_EQ(Value("QMX_REACHABILITY_INTERVAL"), "300");
  EXPECT_EQ(Value("QMX_MBX_INFO_INTERVAL"), "<missing>");
  EXPECT_EQ(Value("QMX_INTERVAL"), "old");
  EXPECT_NE(err.find("Reading updating registry failed. Subkey : QMX_MBX_INFO_INTERVAL\n"),
            std::string::npos);
}

TEST_F(Config, MissingSitPathOrEnvironmentKey) {
  regtest::SetEnv("VORTA_SIT_PATH", nullptr);
  EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 1);
  EXPECT_EQ(regtest::ValueCount(env_), 0u);
  EXPECT_FALSE(IsClusterParamSet());

  // Without an Environment key every store is a silent no-op.
  regtest::SetEnv("VORTA_SIT_PATH", sit_.c_str());
  WriteConfig("SECTION=EXCH exchange_user=u");
  std::string other = "QMX\\Ver610\\" + regtest::UniqueName("noenv");
  EXPECT_EQ(CheckConfigSettings(other.c_str()), 0);
  EXPECT_FALSE(regtest::KeyExists("SOFTWARE\\Orvel\\" + other));
}

TEST_F(Config, BinaryAndVeryLargeFileIsReadSafely) {
  std::string text = "SECTION=EXCH exchange_user=bin\n";
  std::mt19937 rng(7);
  while (text.size() < 3 * 1024 * 1024) text += static_cast<char>(rng() & 0xFF);
  text += "\nexchange_domain=late\n";
  WriteConfig(text);
  auto start = std::chrono::steady_clock::now();
  int r = CheckConfigSettings(instance_.c_str());
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r == 0 || r == 1);  // the random bytes may hold an incomplete cluster section
  EXPECT_EQ(Value("QMX_EXCH_USERID"), "bin");
  EXPECT_EQ(Value("QMX_EXCH_DOMAIN"), "<missing>");  // past the part that is read
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(took).count(), 30);
}

TEST_F(Config, PasswordAppearsOnlyInTheLinesThatAlwaysShowedIt) {
  WriteConfig("SECTION=EXCH\nexchange_password=S3CR\\ETPW exchange_user=u\n");
  BSS1_PutEnv("JBX_RAS1=ALL");  // the trace goes to standard error here
  std::string err = CaptureStderr([&] { EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 0); });
  BSS1_PutEnv("JBX_RAS1=ERROR");
  EXPECT_EQ(Value("QMX_EXCH_PASSWORD"), "S3CRETPW");
  // The file record trace, the store trace and the store line on standard error.
  EXPECT_EQ(Count(err, "S3CR\\ETPW"), 1u) << err;
  EXPECT_EQ(Count(err, "S3CRETPW"), 2u) << err;
  EXPECT_NE(err.find("Registry Key : QMX_EXCH_PASSWORD, keyword : exchange_password, value : S3CRETPW\n"),
            std::string::npos);
}

TEST_F(Config, IsClusterParamSet) {
  EXPECT_FALSE(IsClusterParamSet());  // no file
  WriteConfig("SECTION=EXCH exchange_user=u SECTION=CLUSTER exch_subsystem=S");
  EXPECT_FALSE(IsClusterParamSet());
  WriteConfig("exch_cluster_server=V\nSECTION=CLUSTER\n");
  EXPECT_FALSE(IsClusterParamSet());
  WriteConfig("SECTION=CLUSTER\nexch_cluster_server=V\n");
  EXPECT_TRUE(IsClusterParamSet());
}

TEST_F(Config, CopyRegKeyCopiesEveryValueOfBothSubkeys) {
  std::string source = "QMX\\Ver610\\" + regtest::UniqueName("src");
  ScopedTree src("SOFTWARE\\Orvel\\" + source);
  std::string from = "SOFTWARE\\Orvel\\" + source;
  regtest::SetString(from + "\\Configuration", "c1", "x");
  regtest::SetString(from + "\\Environment", "A", "1");
  regtest::SetString(from + "\\Environment", "E", "%X%", REG_EXPAND_SZ);
  regtest::SetDword(from + "\\Environment", "D", 9);
  std::string longName(300, 'n'), longData(5000, 'd');
  regtest::SetString(from + "\\Environment", longName.c_str(), longData);

  std::string dest = "QMX\\Ver610\\" + regtest::UniqueName("dst");
  ScopedTree dst("SOFTWARE\\Orvel\\" + dest);
  EXPECT_EQ(CopyRegKey(source.c_str(), dest.c_str()), 0u);
  std::string to = "SOFTWARE\\Orvel\\" + dest;
  EXPECT_EQ(GetString(to + "\\Configuration", "c1"), "x");
  EXPECT_EQ(GetString(to + "\\Environment", "A"), "1");
  EXPECT_EQ(GetString(to + "\\Environment", "E"), "%X%");
  EXPECT_EQ(regtest::GetType(to + "\\Environment", "E"), static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(regtest::GetType(to + "\\Environment", "D"), static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(GetString(to + "\\Environment", longName.c_str()), longData);

  // No source: the destination keys are made empty and the open failure is reported.
  std::string none = "QMX\\Ver610\\" + regtest::UniqueName("none");
  std::string dest2 = "QMX\\Ver610\\" + regtest::UniqueName("dst");
  ScopedTree dst2("SOFTWARE\\Orvel\\" + dest2);
  EXPECT_EQ(CopyRegKey(none.c_str(), dest2.c_str()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(regtest::KeyExists("SOFTWARE\\Orvel\\" + dest2 + "\\Environment"));
}

TEST_F(Config, NewInstanceKeyIsSeededFromAnotherKey) {
  std::string source = "QMX\\Ver610\\" + regtest::UniqueName("seed");
  ScopedTree src("SOFTWARE\\Orvel\\" + source);
  std::string var = "QMXSEED_" + std::to_string(GetCurrentProcessId());
  regtest::SetString("SOFTWARE\\Orvel\\" + source + "\\Environment", var.c_str(), "seeded");
  std::string fresh = "QMX\\Ver610\\" + regtest::UniqueName("fresh");
  struct RemoveAtEnd {
    std::string path;
    ~RemoveAtEnd() {
      RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
      RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    }
  } remove{"SOFTWARE\\Orvel\\" + fresh};
  EXPECT_NE(SetEnvFromReg(fresh.c_str()), 0u);  // not there yet
  CopyRegKey(source.c_str(), fresh.c_str());
  EXPECT_EQ(SetEnvFromReg(fresh.c_str()), 0u);
  EXPECT_EQ(regtest::Env(var.c_str()), "seeded");
}

// The primary key's path is fixed: what the test adds there, it removes.
class PrimaryKey {
 public:
  static constexpr const char* kPath = "SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment";
  PrimaryKey() : existed_(regtest::KeyExists(kPath)), tree_(kPath) {}
  ~PrimaryKey() {
    if (!existed_) return;  // the tree removes itself
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPath, 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS) return;
    for (const std::string& n : added_) RegDeleteValueA(h, n.c_str());
    RegCloseKey(h);
  }
  void Set(const char* name, const char* value) {
    added_.push_back(name);
    regtest::SetString(kPath, name, value);
  }

 private:
  bool existed_;
  ScopedTree tree_;
  std::vector<std::string> added_;
};

TEST_F(Config, GetOrvelEnvCopiesTheTwoFrameworkSettings) {
  PrimaryKey primary;
  primary.Set("HQ_CMSLIST", "ip.pipe:#10.0.0.1[1918]");
  primary.Set("xnl_families", "ip.pipe");
  primary.Set("OTHER_SETTING", "not copied");
  std::string err = CaptureStderr([&] { EXPECT_EQ(GetOrvelEnv(instance_.c_str()), 0u); });
  EXPECT_EQ(Value("HQ_CMSLIST"), "ip.pipe:#10.0.0.1[1918]");
  EXPECT_EQ(Value("xnl_families"), "ip.pipe");
  EXPECT_EQ(Value("OTHER_SETTING"), "<missing>");
  EXPECT_NE(err.find("Setting registry key : HQ_CMSLIST, value : ip.pipe:#10.0.0.1[1918]\n"),
            std::string::npos);
  EXPECT_NE(err.find("Finished with RegEnumValue, hKey : Software\\Orvel\\QMX\\Ver610\\Primary\\Environment\n"),
            std::string::npos);
  // CheckConfigSettings ends with it too.
  regtest::SetString(env_, "HQ_CMSLIST", "stale");
  EXPECT_EQ(CheckConfigSettings(instance_.c_str()), 0);
  EXPECT_EQ(Value("HQ_CMSLIST"), "ip.pipe:#10.0.0.1[1918]");
}

}  // namespace
