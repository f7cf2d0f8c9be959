// Script table, script text, rewrite decision, output condensing and the readers of tables 42 and
// 43: no operating system needed.
#include "qmxscripts_portable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "qmxrows.h"
#include "table_layout.h"

using namespace qmx;

namespace {

const char kStoreLine1[] =
    R"(get-mailboxdatabase -Server SRV1 -status | ? { $_.Recovery -eq $false } | format-list objectclass, storagegroupname, name, mounted | out-file "C:\logs\mbxstorestate2010.log" -encoding UTF8 -width 250)";
const char kStoreLine2[] =
    R"(get-publicfolderdatabase -Server SRV1 -status | format-list objectclass, storagegroupname, name, mounted | out-file "C:\logs\mbxstorestate2010.log" -encoding UTF8 -append -width 250)";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::string RightTrimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// A format-list object as the shell writes it.
std::string Object(const std::vector<std::pair<const char*, const char*>>& props) {
  std::string s;
  for (auto& p : props) s += std::string(p.first) + std::string(std::strlen(p.first) < 18 ? 18 - std::strlen(p.first) : 1, ' ') + ": " + p.second + "\r\n";
  return s + "\r\n";
}

std::string MailboxDb(const char* group, const char* name, const char* mounted) {
  return Object({{"ObjectClass", "{top, msExchMDB, msExchPrivateMDB}"},
                 {"StorageGroupName", group},
                 {"Name", name},
                 {"Mounted", mounted}});
}

std::string PublicDb(const char* group, const char* name, const char* mounted) {
  return Object({{"ObjectClass", "{top, msExchMDB, msExchPublicMDB}"},
                 {"StorageGroupName", group},
                 {"Name", name},
                 {"Mounted", mounted}});
}

const std::string kBom = "\xEF\xBB\xBF";

}  // namespace

TEST(ScriptTable, SevenScriptsEachEndingWithTheMarker) {
  const char* names[] = {"mbxstorestate2003", "mbxstorestate2007",    "mbxstorestate2010",
                         "clustermbxstatus2007", "nlbStatus",        "mbxdetails2010",
                         "PublicFolderDetails2010"};
  ASSERT_EQ(ScriptTable().size(), 7u);
  for (const char* n : names) {
    const ScriptEntry* s = FindScript(n);
    ASSERT_NE(s, nullptr) << n;
    const char* const* l = s->lines;
    while (l[1]) ++l;
    EXPECT_STREQ(*l, kEndOfScript) << n;
  }
  EXPECT_EQ(FindScript("mbxstorestate2007")->lines, FindScript("mbxstorestate2010")->lines);
  EXPECT_EQ(FindScript("nothere"), nullptr);
}

TEST(ScriptTable, StoredLinesArePaddedAndNamed) {
  const ScriptEntry& s = *FindScript("clustermbxstatus2007");
  std::string stored = StoredLine(s, "abc");
  EXPECT_EQ(stored.size(), kStoredLineWidth + 1);
  EXPECT_EQ(stored.substr(0, 25), "clustermbxstatus2007 abc ");
  EXPECT_EQ(stored.back(), '\n');
  // Every script line fits the width.
  for (const ScriptEntry& script : ScriptTable())
    for (const char* const* l = script.lines; *l; ++l)
      EXPECT_LE(std::strlen(script.name) + 1 + std::strlen(*l), kStoredLineWidth) << *l;
}

TEST(ScriptPaths, ExtensionAndOutputByScriptAndRelease) {
  struct Case {
    const char* name;
    int release;
    const char* script;
    const char* output;
  } cases[] = {
      {"mbxstorestate2010", 5, "D:\\l\\mbxstorestate2010.ps1", "D:\\l\\mbxstorestate2010.log"},
      {"mbxstorestate2007", 3, "D:\\l\\mbxstorestate2007.ps1", "D:\\l\\mbxstorestate2007.log"},
      {"mbxstorestate2003", 1, "D:\\l\\mbxstorestate2003.vbs", "D:\\l\\mbxstorestate2003.log"},
      {"clustermbxstatus2007", 2, "D:\\l\\clustermbxstatus2007.vbs", "D:\\l\\clustermbxstatus2007.log"},
      {"nlbStatus", 3, "D:\\l\\nlbStatus.vbs", "D:\\l\\nlbStatus.log"},
      {"mbxdetails2010", 5, "D:\\l\\mbxdetails2010.ps1", "D:\\l\\MailBox_Details.log"},
      {"PublicFolderDetails2010", 5, "D:\\l\\PublicFolderDetails2010.ps1",
       "D:\\l\\PublicFolderDetails2010.log"},
  };
  for (const Case& c : cases) {
    const ScriptEntry& s = *FindScript(c.name);
    EXPECT_EQ(ScriptPath(s, c.release, "D:\\l"), c.script);
    EXPECT_EQ(ScriptOutputPath(s, "D:\\l"), c.output);
  }
}

TEST(ScriptText, StoreScriptIsThePartsTwoLinesFilledIn) {
  const ScriptEntry& s = *FindScript("mbxstorestate2010");
  std::string text = BuildScriptText(s, 5, "SRV1", "C:\\logs\\mbxstorestate2010.log");
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(RightTrimmed(lines[0]), kStoreLine1);
  EXPECT_EQ(RightTrimmed(lines[1]), kStoreLine2);
  // Written as stored: the padding stays, the name and its blank are gone, and the placeholders
  // are replaced inside it.
  const size_t server = std::strlen("SRV1") - std::strlen("servername");
  const size_t output = std::strlen("\"C:\\logs\\mbxstorestate2010.log\"") - std::strlen("outputfilename");
  EXPECT_EQ(lines[0].size(), kStoredLineWidth - std::strlen(s.name) - 1 + server + output);
}

TEST(ScriptText, OnlyTheLowerCasePlaceholdersAreReplaced) {
  std::string cluster = BuildScriptText(*FindScript("clustermbxstatus2007"), 3, "CMS1", "C:\\o.log");
  EXPECT_EQ(RightTrimmed(Lines(cluster)[0]),
            R"(Get-ClusteredMailboxServerStatus -identity CMS1 | format-list ClusteredMailboxServerName, State, OperationalMachines | out-file "C:\o.log" -encoding UTF8 -width 250)");
  std::string pf = BuildScriptText(*FindScript("PublicFolderDetails2010"), 5, "S", "C:\\p.log");
  EXPECT_EQ(RightTrimmed(Lines(pf)[0]),
            R"(Get-PublicFolderStatistics  -server S | format-list Name, DatabaseName, ItemCount, TotalItemSize, @{n="LastAccessTime"; e ={$_.LastAccessTime.tostring("1yyMMddHHmmss000")}} | out-file "C:\p.log" -encoding UTF8 -width 250)");
  std::string mbx = BuildScriptText(*FindScript("mbxdetails2010"), 5, "S", "C:\\m.log");
  ASSERT_EQ(Lines(mbx).size(), 1u);
  EXPECT_EQ(RightTrimmed(Lines(mbx)[0]).substr(0, 52), "Get-Mailbox -server S -ResultSize Unlimited | format");
  EXPECT_NE(mbx.find(R"(| out-file "C:\m.log" -encoding UTF8 -width 250)"), std::string::npos);
}

TEST(ScriptText, VBScriptsCarryServerAndOutputPath) {
  std::string nlb = BuildScriptText(*FindScript("nlbStatus"), 3, "SRV1", "C:\\l\\nlbStatus.log");
  std::vector<std::string> lines = Lines(nlb);
  EXPECT_GT(lines.size(), 60u);
  EXPECT_EQ(RightTrimmed(lines.back()), "Call nlbscript()");
  EXPECT_NE(nlb.find(R"(blnOpenFile("C:\l\nlbStatus.log", objFile))"), std::string::npos);
  EXPECT_NE(nlb.find(R"(SELECT * FROM MicrosoftNLB_Node)"), std::string::npos);
  EXPECT_NE(nlb.find(R"("{impersonationLevel=impersonate}!\\" & strComputer & "\" & "root\MicrosoftNLB")"),
            std::string::npos);
  EXPECT_EQ(nlb.find("outputfilename"), std::string::npos);

  // The pre-2007 form: the line holding the server placeholder ends right after the server.
  std::string sg = BuildScriptText(*FindScript("mbxstorestate2003"), 1, "EX03", "C:\\l\\s.log");
  lines = Lines(sg);
  EXPECT_EQ(lines[0], "strServer=\"EX03\"");
  EXPECT_EQ(RightTrimmed(lines[1]), "SGReport strServer");
  EXPECT_NE(sg.find(R"(blnOpenFile("C:\l\s.log", objFile))"), std::string::npos);
  for (const char* fn : {"Function blnOpenFile", "Function blnErrorOccurred", "Sub WriteLine",
                         "Sub SGReport(strServer)", "\"Storage Group=\"", "\"Status=\""})
    EXPECT_NE(sg.find(fn), std::string::npos) << fn;
  EXPECT_EQ(sg.find("xxxxxxxx"), std::string::npos);
}

TEST(ServerName, OnlyHostNamesAreAccepted) {
  for (const char* good : {"srv1", "MAIL-01.corp.example.com", "a", "10.0.0.1"})
    EXPECT_TRUE(IsSafeServerName(good)) << good;
  for (const char* bad : {"", "srv; Remove-Item C:\\ -Recurse", "srv x", "srv$(calc)", "srv`n",
                          "srv\"", "srv'", "s|x", "s&x", "s\nx", "s\xC3\xA9"})
    EXPECT_FALSE(IsSafeServerName(bad)) << bad;
  EXPECT_TRUE(IsSafeServerName(std::string(253, 'a')));
  EXPECT_FALSE(IsSafeServerName(std::string(254, 'a')));
}

TEST(ScriptDirectory, QuotesAndExpansionsAreRefused) {
  EXPECT_TRUE(IsSafeScriptDirectory("C:\\Program Files\\QMX\\logs"));
  for (const char* bad : {"", "C:\\a\"b", "C:\\a'b", "C:\\$(x)", "C:\\%TEMP%", "C:\\a`b", "C:\\a\nb"})
    EXPECT_FALSE(IsSafeScriptDirectory(bad)) << bad;
}

TEST(ScriptRewrite, ServerWordComparedAfterTheKeyword) {
  const ScriptEntry& store = *FindScript("mbxstorestate2007");
  std::string written = BuildScriptText(store, 3, "SRV1", "C:\\o.log");
  EXPECT_FALSE(ExistingScriptServerDiffers(store, 3, written, "srv1"));
  EXPECT_TRUE(ExistingScriptServerDiffers(store, 3, written, "SRV2"));
  EXPECT_TRUE(ExistingScriptServerDiffers(store, 3, written, "SRV"));
  EXPECT_TRUE(ExistingScriptServerDiffers(store, 3, "garbage\n", "SRV1"));  // not ours: rewritten
  const ScriptEntry& cluster = *FindScript("clustermbxstatus2007");
  std::string other = BuildScriptText(cluster, 3, "OTHER", "C:\\o.log");
  EXPECT_TRUE(ExistingScriptServerDiffers(cluster, 3, other, "CMS1"));
  EXPECT_FALSE(ExistingScriptServerDiffers(cluster, 3, other, "other"));
  const ScriptEntry& sg = *FindScript("mbxstorestate2003");
  std::string sgText = BuildScriptText(sg, 1, "EX03", "C:\\o.log");
  EXPECT_FALSE(ExistingScriptServerDiffers(sg, 1, sgText, "ex03"));
  EXPECT_TRUE(ExistingScriptServerDiffers(sg, 1, sgText, "EX04"));
  // The load-balancing script names no server.
  EXPECT_FALSE(ExistingScriptServerDiffers(*FindScript("nlbStatus"), 3, "anything", "X"));
  // Only the first 63 characters of the word are compared.
  std::string longName(70, 'a');
  std::string longText = BuildScriptText(store, 3, longName, "C:\\o.log");
  EXPECT_TRUE(ExistingScriptServerDiffers(store, 3, longText, longName));
}

TEST(OutputKind, FromReleaseAndScriptPath) {
  EXPECT_EQ(OutputKindFor(1, "C:\\l\\mbxdetails2010.ps1"), OutputKind::kLines2003);
  EXPECT_EQ(OutputKindFor(5, "C:\\l\\mbxdetails2010.ps1"), OutputKind::kMailboxCount);
  EXPECT_EQ(OutputKindFor(5, "C:\\l\\PublicFolderDetails2010.ps1"), OutputKind::kPublicFolderCount);
  EXPECT_EQ(OutputKindFor(3, "C:\\l\\clustermbxstatus2007.ps1"), OutputKind::kClusteredServer);
  EXPECT_EQ(OutputKindFor(3, "C:\\l\\mbxstorestate2007.ps1"), OutputKind::kStoreStatus);
  EXPECT_EQ(OutputKindFor(3, "C:\\l\\nlbStatus.vbs"), OutputKind::kNotCondensed);
  EXPECT_EQ(CondenseScriptOutput(OutputKind::kNotCondensed, "1008\nweb01\nName : x\n"), "");
}

TEST(StoreStatus, ThePartsFourLinesGiveThreeItems) {
  std::string out = "ObjectClass : {top, msExchMDB, msExchPrivateMDB}\nStorageGroupName : SG1\n"
                    "Name : DB1\nMounted : True\n";
  EXPECT_EQ(CondenseScriptOutput(OutputKind::kStoreStatus, out),
            "Storage Group=SG1;Mailbox Store=DB1;Status=0;");
}

TEST(StoreStatus, MountedAndDismountedMailboxAndPublicStores) {
  // 2007: storage groups; the second command appends the public stores.
  std::string out2007 = kBom + "\r\n" + MailboxDb("First Storage Group", "Mailbox Database", "True") +
                        MailboxDb("Second Storage Group", "Archive", "False") + kBom +
                        "\r\n" + PublicDb("Second Storage Group", "Public Folder Database", "True");
  EXPECT_EQ(CondenseScriptOutput(OutputKind::kStoreStatus, out2007),
            "Storage Group=First Storage Group;Mailbox Store=Mailbox Database;Status=0;"
            "Storage Group=Second Storage Group;Mailbox Store=Archive;Status=1;"
            "Storage Group=Second Storage Group;Public Store=Public Folder Database;Status=0;");
  // 2010: databases have no storage group.
  std::string out2010 = kBom + "\r\n" + MailboxDb("", "DB01", "False") + PublicDb("", "PF01", "False");
  EXPECT_EQ(CondenseScriptOutput(OutputKind::kStoreStatus, out2010),
            "Storage Group=;Mailbox Store=DB01;Status=1;Storage Group=;Public Store=PF01;Status=1;");
}

TEST(StoreStatus, BadInputGivesPartialResultsOnly) {
  const std::string good = MailboxDb("SG", "DB1", "True");
  const std::string goodItems = "Storage Group=SG;Mailbox Store=DB1;Status=0;";
  struct Case {
    const char* what;
    std::string output;
    std::string result;
  } cases[] = {
      {"empty", "", ""},
      {"cut inside the Mounted line", good + "ObjectClass : Private\r\nStorageGroupName : SG\r\nName : DB2\r\nMounted : Tr",
       goodItems + "Storage Group=SG;"},
      {"cut after the Name line", good + "ObjectClass : Private\r\nName : DB2\r\n", goodItems},
      {"Name without Mounted, next object follows",
       "ObjectClass : Private\nName : DB0\n\n" + good, goodItems},
      {"Mounted before any Name", "Mounted : True\n" + good, goodItems},
      {"Name before any ObjectClass", "Name : X\nMounted : True\n" + good, goodItems},
      {"missing colon", "ObjectClass : Private\nStorageGroupName SG\nName DB1\nMounted True\n" + good,
       goodItems},
      {"binary line", std::string("Name : \0x\n", 10) + good, goodItems},
      {"overlong line", std::string(kMaxOutputLine + 10, 'N') + "\n" + good, goodItems},
      {"UTF-16", std::string("\xFF\xFEN\0a\0m\0e\0", 10) + good, ""},
      {"short lines and comments", "Name\n# Name : x\n" + good, goodItems},
  };
  for (const Case& c : cases) EXPECT_EQ(CondenseScriptOutput(OutputKind::kStoreStatus, c.output), c.result) << c.what;
}

TEST(StoreStatus, ChunksOfAnySizeGiveTheSameResult) {
  std::string out = kBom + "\r\n" + MailboxDb("SG1", "DB1", "True") + PublicDb("SG1", "PF", "False") +
                    std::string(300, 'x') + "\r\n" + MailboxDb("SG2", "DB2", "False");
  std::string whole = CondenseScriptOutput(OutputKind::kStoreStatus, out);
  for (size_t step : {1u, 2u, 3u, 7u, 64u}) {
    OutputCondenser c(OutputKind::kStoreStatus);
    for (size_t i = 0; i < out.size(); i += step) c.Feed(out.data() + i, std::min(step, out.size() - i));
    EXPECT_EQ(c.Finish(), whole) << step;
  }
}

TEST(OtherOutputs, ClusterCountsAnd2003Lines) {
  std::string cluster = kBom + "\r\n" +
                        Object({{"ClusteredMailboxServerName", "CMS1.corp.example.com"},
                                {"State", "Online"},
                                {"OperationalMachines", "{NODE1 <Active, Quorum Owner>, NODE2}"}});
  EXPECT_EQ(CondenseScriptOutput(OutputKind::kClusteredServer, cluster),
            "Mailbox Server Name=CMS1.corp.example.com;State=Online;"
            "OperationalMachines={NODE1 <Active, Quorum Owner>, NODE2};");
  std::string mailboxes = Object({{"Name", "Ann"}, {"Items", "3"}}) + Object({{"Name", "Bob"}}) + "Name\r\n";
  EXPECT_EQ(CondenseScriptOutput(OutputKind::kMailboxCount, mailboxes),
            "######    MailBox Details - Number Mailboxes:'2'");
  std::string folders = Object({{"Name", "F1"}, {"DatabaseName", "PF"}}) + Object({{"DatabaseName", "PF"}});
  EXPECT_EQ(CondenseScriptOutput(OutputKind::kPublicFolderCount, folders),
            "######    Public Folder Details - Total Public Folders:'2'");
  EXPECT_EQ(CondenseScriptOutput(OutputKind::kMailboxCount, ""), "");
  EXPECT_EQ(CondenseScriptOutput(OutputKind::kLines2003,
                                 "  Storage Group=SG;Mailbox Store=M;Status=0;  \r\n# note\n"),
            "Storage Group=SG;Mailbox Store=M;Status=0;");
}

TEST(ClusterText, ItemsOfTheCondensedText) {
  ClusteredServerItems items;
  ASSERT_TRUE(ParseClusteredServerText(
      "Mailbox Server Name=CMS1.corp.example.com;State=Online;OperationalMachines={NODE1, NODE2};", &items));
  EXPECT_EQ(items.name, "CMS1");
  EXPECT_EQ(items.state, "Online");
  EXPECT_EQ(items.nodes, "{NODE1, NODE2}");
  EXPECT_FALSE(ParseClusteredServerText("x", &items));
  ASSERT_TRUE(ParseClusteredServerText("State=Offline;", &items));  // first item is no name
  EXPECT_EQ(items.name, "");
  EXPECT_EQ(items.state, "");
}

TEST(NlbOutput, StatusAndUpperCasedNodeName) {
  struct Case {
    const char* text;
    int32_t status;
    const char* name;
  } cases[] = {
      {"0\r\nfirst\r\n1\r\nsecond.corp.example.com\r\nEnd of file\r\n", 1, "SECOND"},
      {"", 0, "Undefined"},
      {"0\nnode1\nEnd of file\n", 0, "Undefined"},
      {"1008\nweb01\n1007\nweb02\n", 1008, "WEB01"},
      {"End of file\n1008\nweb01\n", 0, "Undefined"},
      {"1008\n", 1008, ""},
      {"99999999999999\nx\n", 0, "Undefined"},
  };
  for (const Case& c : cases) {
    NlbNodeStatus n = ParseNlbOutput(c.text);
    EXPECT_EQ(n.status, c.status) << c.text;
    EXPECT_EQ(n.name, c.name) << c.text;
  }
}

TEST(RowFields, TextIsCutInsideTheWidthAndHeaderFollowsTheTable) {
  const TableLayout& nlb = *TableLayoutByNumber(43);
  std::vector<char> row(static_cast<size_t>(nlb.rowSize), 'x');
  char name[64];
  std::memset(name, ' ', sizeof name);
  std::memcpy(name, "HOST:EX", 7);
  PutRowHeader(row.data(), nlb, name, 1, 1, "1261210120000000");
  PutRowInt32(row.data(), nlb, "NLBSTATUS", 1008);
  PutRowText(row.data(), nlb, "MACHNAME", std::string(59, 'a') + "\xC3\xA9");
  EXPECT_EQ(std::string(row.data(), 7), "HOST:EX");
  EXPECT_EQ(std::string(row.data() + 64, 16), "1261210120000000");  // time first
  int32_t v;
  std::memcpy(&v, row.data() + 80, 4);
  EXPECT_EQ(v, 1);
  std::memcpy(&v, row.data() + 88, 4);
  EXPECT_EQ(v, 1008);
  // The two bytes of the last character do not fit: the text stops before it, zero-filled.
  EXPECT_EQ(std::string(row.data() + 92), std::string(59, 'a'));
  EXPECT_EQ(row[92 + 59], '\0');
}
