// Table loading by Exchange release: which tables the framework learns of, in which order, and the
// counter set definition each counter-backed table was bound to.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "pxr.h"
#include "qmxcommon.h"
#include "zrtglobals.h"

namespace {

// The loading order: group row, framework table name.
const char* kOrder[] = {
    "MSEDB",    "MSEDS",    "MSEIS",     "MSEISPRI", "MSEISPUB", "MSEISPUR", "MSESRVCD", "MSEMTA",
    "MSEMTAC",  "MSESERVR", "MSESGRPD",  "MSEPFLDD", "MSEMBXD",  "MSEREACH", "QMXSMTP",  "MSEKAVEL",
    "MSEDBINS", "MSERCACH", "MSESIDAG",  "MSEADCAH", "MSETRRUL", "MSETRQUE", "MSESMTPR", "MSESMTPS",
    "MSEREPL",  "MSEASYNC", "MSEADACP",  "MSEASSIT", "MSESTRDR", "MSEISCLI", "MSERFA",   "MSESFA",
    "MSEPAA",   "MSECFA",   "MSECONFA",  "MSEAF",    "MSFSSS",   "MSRTOPO",  "MSENLBS",  "MSMBSCS",
    "MSERBS",   "MSEOWA",   "MSEMCD",    "MSEMREPS", "MSERBAC",  "MSEMRSPM", "MSERMS",   "MSEDAG",
    "MSETRSR",  "MSEASSTDB", "MSEAMC",   "MSEAMS",   "MSEAM",    "MSEMS",    "MSET",     "MSETSMTPA",
    "MSEMT",    "MSERS",    "MSERH",     "MSESDD",   "MSESDS",   "MSEMANFA", "MSETRDMP", "MSETRDB",
    "FFEXODS",  "FFEXRTS",  "FFEXSCHS",  "FFEXTRNSS"};

// Counter set definitions bound on every release the tests use, where they do not depend on it.
const std::pair<const char*, int> kFixed[] = {
    {"MSEDS", 805},     {"MSEIS", 810},     {"MSEISPRI", 815},  {"MSEISPUB", 836},  {"MSEISPUR", 841},
    {"QMXSMTP", 820},   {"MSEKAVEL", 846},  {"MSERCACH", 856},  {"MSESIDAG", 861},  {"MSETRRUL", 871},
    {"MSETRQUE", 876},  {"MSESMTPR", 881},  {"MSESMTPS", 886},  {"MSEREPL", 896},   {"MSESTRDR", 916},
    {"MSEISCLI", 921},  {"MSEMANFA", 996},  {"MSETRDMP", 1006}, {"FFEXODS", 1026},  {"FFEXRTS", 1031},
    {"FFEXSCHS", 1036}, {"MSESRVCD", 0},    {"MSESERVR", 0},    {"FFEXTRNSS", 0}};

void DeleteTree(const char* path) { RegDeleteTreeA(HKEY_LOCAL_MACHINE, path); }

void SetDword(const char* path, const char* name, DWORD value) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

class LoadAgentsTest : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override { Clear(); }
  void Clear() {
    // The test machine has no Exchange of its own: whatever is under these keys is ours.
    DeleteTree("SOFTWARE\\Microsoft\\ExchangeServer");
    DeleteTree("SOFTWARE\\Microsoft\\Exchange");
    ResetExchangeVersionCaches();
  }

  // Loads the tables and returns table name -> bound definition, in registration order.
  std::vector<std::pair<std::string, int>> Load() {
    pxr::ResetForTests();
    EXPECT_EQ(LoadAgents(), 0);
    std::vector<std::pair<std::string, int>> loaded = LoadedTables();
    std::vector<TableManager*> tables = pxr::Tables();
    EXPECT_EQ(tables.size(), loaded.size());
    for (size_t i = 0; i < tables.size() && i < loaded.size(); ++i)
      EXPECT_EQ(loaded[i].first, tables[i]->table()) << "registration order at " << i;
    return loaded;
  }

  static std::vector<std::string> Expected(const std::set<std::string>& skipped) {
    std::vector<std::string> out;
    for (const char* name : kOrder)
      if (!skipped.count(name)) out.push_back(name);
    return out;
  }

  static void CheckDefinitions(const std::vector<std::pair<std::string, int>>& loaded,
                               const std::vector<std::pair<std::string, int>>& extra) {
    auto find = [&](const std::string& name) {
      for (const auto& l : loaded)
        if (l.first == name) return l.second;
      return -99;
    };
    for (const auto& f : kFixed) EXPECT_EQ(find(f.first), f.second) << f.first;
    for (const auto& e : extra) EXPECT_EQ(find(e.first), e.second) << e.first;
  }

  static std::vector<std::string> Names(const std::vector<std::pair<std::string, int>>& loaded) {
    std::vector<std::string> out;
    for (const auto& l : loaded) out.push_back(l.first);
    return out;
  }
};

TEST_F(LoadAgentsTest, Exchange2010Sp1) {
  SetDword("SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup", "MsiProductMajor", 14);
  SetDword("SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup", "MsiProductMinor", 1);
  auto loaded = Load();
  EXPECT_EQ(Names(loaded), Expected({"MSEMTA", "MSEMTAC", "MSEMCD"}));
  CheckDefinitions(loaded, {{"MSEDB", 966}, {"MSEDBINS", 971}, {"MSEASSIT", 1021}, {"MSEASYNC", 901},
                            {"MSETRDB", 1016}, {"MSEMT", 1071}, {"MSEMREPS", 976}, {"MSEMRSPM", 1116},
                            {"MSERS", 1076}, {"MSESDS", 1091}, {"MSEADCAH", 866}, {"MSEOWA", 956}});
}

TEST_F(LoadAgentsTest, Exchange2010WithoutServicePack) {
  SetDword("SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup", "MsiProductMajor", 14);
  SetDword("SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup", "MsiProductMinor", 0);
  auto loaded = Load();
  EXPECT_EQ(Names(loaded), Expected({"MSEMTA", "MSEMTAC", "MSEMCD", "MSERS", "MSERH", "MSESDD", "MSESDS"}));
  CheckDefinitions(loaded, {{"MSEDB", 966}, {"MSEMT", 1111}});
}

TEST_F(LoadAgentsTest, Exchange2007Sp2) {
  SetDword("SOFTWARE\\Microsoft\\Exchange\\Setup", "MsiProductMajor", 8);
  SetDword("SOFTWARE\\Microsoft\\Exchange\\Setup", "MsiProductMinor", 2);
  auto loaded = Load();
  std::set<std::string> skipped = {"MSEMTA", "MSEMTAC"};
  for (size_t i = 43; i <= 60; ++i) skipped.insert(kOrder[i]);  // rows 44 to 61
  EXPECT_EQ(Names(loaded), Expected(skipped));
  CheckDefinitions(loaded, {{"MSEDB", 966}, {"MSEDBINS", 971}, {"MSEASSIT", 911}, {"MSETRDB", 1046},
                            {"MSEMCD", 0}, {"MSEADCAH", 866}});
}

TEST_F(LoadAgentsTest, Exchange2007WithoutServicePackKeepsTheOlderDatabaseSets) {
  SetDword("SOFTWARE\\Microsoft\\Exchange\\Setup", "MsiProductMajor", 8);
  SetDword("SOFTWARE\\Microsoft\\Exchange\\Setup", "MsiProductMinor", 0);
  auto loaded = Load();
  CheckDefinitions(loaded, {{"MSEDB", 800}, {"MSEDBINS", 851}, {"MSETRDB", 1046}});
}

TEST_F(LoadAgentsTest, NoExchange) {
  auto loaded = Load();
  std::set<std::string> skipped = {"MSEMTA",  "MSEMTAC", "MSEADCAH", "MSEADACP", "MSERFA", "MSESFA",
                                   "MSEPAA",  "MSECFA",  "MSECONFA", "MSEAF",    "MSFSSS", "MSRTOPO",
                                   "MSENLBS", "MSMBSCS", "MSERBS",   "MSEOWA"};
  for (size_t i = 43; i <= 60; ++i) skipped.insert(kOrder[i]);
  EXPECT_EQ(Names(loaded), Expected(skipped));
  CheckDefinitions(loaded, {{"MSEDB", 800}, {"MSEDBINS", 851}, {"MSETRDB", 1016}, {"MSEASSIT", 911}});
}

TEST_F(LoadAgentsTest, AffinitiesInOrder) {
  Load();
  std::vector<std::string> a = pxr::Affinities();
  ASSERT_GE(a.size(), 5u);
  std::vector<std::string> last(a.end() - 5, a.end());
  EXPECT_EQ(last, (std::vector<std::string>{"AFF_NT_EXCHANGE", "AFF_V8", "AFF_FEAT_INTERNATIONALIZATION",
                                            "AFF_FEAT_DM_PARITY", "AFF_FEAT_AGENT_MGMT"}));
}

}  // namespace
