// Exchange version, service packs and roles from a registry the fixture writes; commands, file
// freshness and disk space on the real system.
#include "qmxcommon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "exchange_registry.h"

#include <sddl.h>

using regtest::ScopedTree;

namespace {

using namespace exchtest;

using Exchange = ExchangeRegistry;

TEST_F(Exchange, ReleaseFromTheMajorVersion) {
  struct Case {
    int v14Major;    // -1: no key, 0: key without the value
    int setupMajor;  // the same for Exchange\Setup
    int release;
  } cases[] = {
      {-1, 8, 3}, {14, -1, 5}, {14, 8, 5}, {8, 14, 3}, {15, -1, -1}, {-1, 15, -1},
      {-1, -1, -1}, {0, 8, -1},  // the v14 key wins even when it holds no version
      {-1, 0, -1},
  };
  for (const Case& c : cases) {
    ResetExchangeVersionCaches();
    Clear();
    if (c.v14Major >= 0) Key(kV14Setup);
    if (c.v14Major > 0) regtest::SetDword(kV14Setup, "MsiProductMajor", c.v14Major);
    if (c.setupMajor >= 0) Key(kSetup);
    if (c.setupMajor > 0) regtest::SetDword(kSetup, "MsiProductMajor", c.setupMajor);
    EXPECT_EQ(GetExchangeVersion(), c.release) << c.v14Major << "/" << c.setupMajor;
  }
}

TEST_F(Exchange, ReleaseIsCachedOnceFound) {
  EXPECT_EQ(GetExchangeVersion(), -1);
  Dword(kSetup, "MsiProductMajor", 8);
  EXPECT_EQ(GetExchangeVersion(), 3);  // -1 is looked up again
  regtest::SetDword(kSetup, "MsiProductMajor", 14);
  EXPECT_EQ(GetExchangeVersion(), 3);  // a found release stays
  ResetExchangeVersionCaches();
  EXPECT_EQ(GetExchangeVersion(), 5);
  Dword(kSetup, "LatestRollupInstalled", 4);  // only traced
  ResetExchangeVersionCaches();
  EXPECT_EQ(GetExchangeVersion(), 5);
}

TEST_F(Exchange, ServicePackLevels) {
  struct Case {
    int minor;  // -1: no value
    int level2007;
    int level2010;
  } cases[] = {
      {-1, -1, -1}, {0, -1, -1}, {1, 4, 8}, {2, 9, 8}, {3, 10, 8}, {7, 10, 8},
  };
  for (const Case& c : cases) {
    ResetExchangeVersionCaches();
    Clear();
    Key(kSetup);
    Key(kV14Setup);
    if (c.minor >= 0) {
      regtest::SetDword(kSetup, "MsiProductMinor", c.minor);
      regtest::SetDword(kV14Setup, "MsiProductMinor", c.minor);
    }
    EXPECT_EQ(GetExchange2k7ServicePackLevel(), c.level2007) << c.minor;
    EXPECT_EQ(GetExchange2k10ServicePackLevel(), c.level2010) << c.minor;
  }
  ResetExchangeVersionCaches();
  Clear();
  EXPECT_EQ(GetExchange2k7ServicePackLevel(), -1);  // no keys at all
  EXPECT_EQ(GetExchange2k10ServicePackLevel(), -1);
  Dword(kSetup, "MsiProductMinor", 2);
  EXPECT_EQ(GetExchange2k7ServicePackLevel(), 9);  // looked up again after -1
  regtest::SetDword(kSetup, "MsiProductMinor", 3);
  EXPECT_EQ(GetExchange2k7ServicePackLevel(), 9);  // then cached
}

TEST_F(Exchange, Exchange2003ServicePack) {
  struct Case {
    DWORD admin;
    int sp;  // -1: no value
    int level;
  } cases[] = {{65, 1, 6}, {65, 2, 7}, {65, 3, -1}, {65, -1, -1}, {64, 1, -1}};
  for (const Case& c : cases) {
    ResetExchangeVersionCaches();
    Clear();
    Dword(kSetup, "ExchangeServerAdmin Version", c.admin);
    if (c.sp >= 0) regtest::SetDword(kSetup, "ServicePackNumber", c.sp);
    EXPECT_EQ(GetExchange2k3ServicePackLevel(), c.level) << c.admin << "/" << c.sp;
  }
  ResetExchangeVersionCaches();
  Clear();
  EXPECT_EQ(GetExchange2k3ServicePackLevel(), -1);
}

TEST_F(Exchange, RolesFromTheRoleKeys) {
  Key(std::string(kV14) + "\\ClientAccessRole");
  Key(std::string(kV14) + "\\HubTransportRole");
  EXPECT_EQ(GetExchangeServerRoleInfo(5), 20u);
  EXPECT_EQ(GetExchangeServerRoleInfo(3), 0u);  // 2007 looks under v8.0
  Key(std::string(kV8) + "\\MailboxRole");
  Key(std::string(kV8) + "\\EdgeTransportRole");
  Key(std::string(kV8) + "\\UnifiedMessagingRole");
  EXPECT_EQ(GetExchangeServerRoleInfo(3), 64u + 32u + 8u);
  EXPECT_EQ(GetExchangeServerRoleInfo(1), 64u + 32u + 8u);
  Clear();
  EXPECT_EQ(GetExchangeServerRoleInfo(5), 0u);
}

std::string TempFile(const char* stem);

// A level that cannot be read is asked again at every call, but its failure is traced once per
// process.
TEST_F(Exchange, LevelReadFailureIsTracedOnce) {
  const std::string log = TempFile("qmxlevels") + ".log";
  regtest::SetEnv("JBX_RAS1_LOG", log.c_str());
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(GetExchange2k7ServicePackLevel(), -1);
    EXPECT_EQ(GetExchange2k10ServicePackLevel(), -1);
  }
  Dword(kV14Setup, "MsiProductMajor", 14);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(GetExchange2k10ServicePackLevel(), -1);
  regtest::SetDword(kV14Setup, "MsiProductMinor", 1);
  EXPECT_EQ(GetExchange2k10ServicePackLevel(), 8) << "still asked while unknown";
  regtest::SetEnv("JBX_RAS1_LOG", nullptr);
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  DeleteFileA(log.c_str());
  auto count = [&](const std::string& part) {
    size_t n = 0;
    const std::string t = text.str();
    for (size_t p = t.find(part); p != std::string::npos; p = t.find(part, p + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("GetExchange2k7ServicePackLevel: Could not read MsiProductMajor from Registy."), 1u) << text.str();
  EXPECT_EQ(count("GetExchange2k10ServicePackLevel: Could not read MsiProductMajor from Registy."), 1u);
  EXPECT_EQ(count("GetExchange2k10ServicePackLevel : Could not read MsiProductMinor from Registy."), 0u)
      << "one failure line per level and process, whatever the cause";
}

// Lets everyone read a key and nobody write it, as an account without administrator rights sees
// the Exchange keys; writable again at the end, so that the fixture can remove it.
class ReadOnlyKey {
 public:
  explicit ReadOnlyKey(const std::string& path) : path_(path) { EXPECT_TRUE(Set("D:P(A;;KR;;;WD)")) << path; }
  ~ReadOnlyKey() { Set("D:(A;;KA;;;WD)"); }
  ReadOnlyKey(const ReadOnlyKey&) = delete;
  ReadOnlyKey& operator=(const ReadOnlyKey&) = delete;

 private:
  bool Set(const char* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) return false;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, WRITE_DAC | KEY_WOW64_64KEY, &key);
    if (rc == ERROR_SUCCESS) {
      rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd);
      RegCloseKey(key);
    }
    LocalFree(sd);
    return rc == ERROR_SUCCESS;
  }
  std::string path_;
};

// Keys the agent may only read give the same release, levels and roles as writable ones.
TEST_F(Exchange, ReadOnlyKeysAreRead) {
  const std::string v14Mailbox = std::string(kV14) + "\\MailboxRole";
  const std::string v8Hub = std::string(kV8) + "\\HubTransportRole";
  {
    Dword(kV14Setup, "MsiProductMajor", 14);
    regtest::SetDword(kV14Setup, "MsiProductMinor", 1);
    Key(v14Mailbox);
    ReadOnlyKey setup(kV14Setup), role(v14Mailbox);
    EXPECT_EQ(GetExchangeVersion(), 5);
    EXPECT_EQ(GetExchange2k10ServicePackLevel(), 8);
    EXPECT_EQ(GetExchangeServerRoleInfo(5), 64u);
  }
  ResetExchangeVersionCaches();
  Clear();
  {
    Dword(kSetup, "MsiProductMajor", 8);
    regtest::SetDword(kSetup, "MsiProductMinor", 2);
    regtest::SetDword(kSetup, "ExchangeServerAdmin Version", 65);
    regtest::SetDword(kSetup, "ServicePackNumber", 2);
    Key(v8Hub);
    ReadOnlyKey setup(kSetup), role(v8Hub);
    EXPECT_EQ(GetExchangeVersion(), 3);
    EXPECT_EQ(GetExchange2k7ServicePackLevel(), 9);
    EXPECT_EQ(GetExchange2k3ServicePackLevel(), 7);
    EXPECT_EQ(GetExchangeServerRoleInfo(3), 16u);
  }
}

std::string TempFile(const char* stem) {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  return std::string(dir) + regtest::UniqueName(stem);
}

TEST(ExecuteCommand, LargeOutputDoesNotStallTheWait) {
  std::string big = TempFile("qmxbig") + ".txt";
  {
    std::ofstream out(big, std::ios::binary);
    std::string line(99, 'o');
    for (int i = 0; i < 3000; ++i) out << line << "\n";  // about 300 KiB
  }
  std::string marker = TempFile("qmxdone") + ".txt";
  auto start = std::chrono::steady_clock::now();
  ExecuteCommand(("cmd.exe /c type \"" + big + "\" && echo done> \"" + marker + "\"").c_str());
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(took, 15.0);
  EXPECT_EQ(GetFileAttributesA(marker.c_str()) != INVALID_FILE_ATTRIBUTES, true)
      << "the command ran to its end";
  DeleteFileA(big.c_str());
  DeleteFileA(marker.c_str());
}

TEST(ExecuteCommand, CommandThatCannotStartReturns) {
  auto start = std::chrono::steady_clock::now();
  ExecuteCommand("Z:\\no\\such\\program-qmx.exe");
  ExecuteCommand("");
  ExecuteCommand(nullptr);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
}

class FileAge : public ::testing::Test {
 protected:
  void SetUp() override { path_ = TempFile("qmx-mbxstorestate") + ".log"; }
  void TearDown() override {
    DeleteFileA(path_.c_str());
    regtest::SetEnv("QMX_INTERVAL", nullptr);
  }
  void Write(int minutesAgo) {
    HANDLE h = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart -= static_cast<ULONGLONG>(minutesAgo) * 60 * 10000000ull;
    FILETIME then{t.LowPart, t.HighPart};
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &then));
    CloseHandle(h);
  }
  std::string path_;
};

TEST_F(FileAge, FreshnessOfScriptOutput) {
  struct Case {
    const char* interval;
    int minutesAgo;
    int verdict;
  } cases[] = {
      {"600", 9, 0}, {"600", 10, 1}, {"7200", 61, 1}, {"7200", 50, 0}, {"60x", 0, 1},
      {nullptr, 0, 1}, {"600", -5, 1},  // written in the future: not to be trusted
  };
  for (const Case& c : cases) {
    regtest::SetEnv("QMX_INTERVAL", c.interval);
    Write(c.minutesAgo);
    EXPECT_EQ(CompareFileTime(path_.c_str()), c.verdict)
        << (c.interval ? c.interval : "(unset)") << ", " << c.minutesAgo << " min";
  }
  regtest::SetEnv("QMX_INTERVAL", "600");
  Write(1);
  std::string other = TempFile("qmx-other") + ".log";
  CopyFileA(path_.c_str(), other.c_str(), FALSE);
  EXPECT_EQ(CompareFileTime(other.c_str()), 1);  // not a store state file
  DeleteFileA(other.c_str());
  DeleteFileA(path_.c_str());
  EXPECT_EQ(CompareFileTime(path_.c_str()), 1);  // gone
}

TEST(DiskSpace, TotalAndFreeOrZeros) {
  char total[32] = "x", freeMB[32] = "x";
  EXPECT_EQ(GetDiskSpaceInMB("C:", total, sizeof total, freeMB, sizeof freeMB), 1);
  long long t = std::stoll(total), f = std::stoll(freeMB);
  EXPECT_GT(t, 0);
  EXPECT_LE(f, t);
  ULARGE_INTEGER freeBytes, totalBytes;
  ASSERT_TRUE(GetDiskFreeSpaceExA("C:\\", nullptr, &totalBytes, &freeBytes));
  EXPECT_NEAR(static_cast<double>(t), static_cast<double>(totalBytes.QuadPart >> 20), 1.0 + t / 100);

  std::strcpy(total, "stale");
  std::strcpy(freeMB, "stale");
  EXPECT_EQ(GetDiskSpaceInMB("Q9:", total, sizeof total, freeMB, sizeof freeMB), 1);
  EXPECT_STREQ(total, "0");
  EXPECT_STREQ(freeMB, "0");
}

}  // namespace
