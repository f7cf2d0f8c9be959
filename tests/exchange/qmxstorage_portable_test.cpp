// The storage layer's rules without an operating system: selection of the server's objects,
// record texts both ways, the summary text, group figures, growth and the persisted value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "qmxstorage_portable.h"

namespace qs = qmx::storage;

namespace {

const char kAG[] = "CN=AG,CN=Administrative Groups,CN=Org,CN=Configuration,DC=x";

std::string Owning(const std::string& server) { return "CN=" + server + ",CN=Servers," + kAG; }

// A 2007 database object under a storage group of a server.
qs::DatabaseObject Db2007(const std::string& server, const std::string& group, const std::string& name,
                          const std::string& edb, int mailboxes = 0) {
  qs::DatabaseObject o;
  o.adsPath = "LDAP://dc1/CN=" + name + ",CN=" + group + ",CN=InformationStore,CN=" + server +
              ",CN=Servers," + kAG;
  o.name = name;
  o.edbFile = edb;
  o.hardQuota = "300";
  o.warningQuota = "200";
  o.storageQuota = "100";
  o.owningServer = Owning(server);
  o.mailboxes = mailboxes;
  return o;
}

// A 2010 database object in the Databases container.
qs::DatabaseObject Db2010(const std::string& server, const std::string& name, const std::string& edb,
                          int mailboxes = 0) {
  qs::DatabaseObject o = Db2007(server, "", name, edb, mailboxes);
  o.adsPath = "LDAP://dc1/CN=" + name + ",CN=Databases," + kAG;
  return o;
}

// Drives of known size: M: 1000 MB with 250 free, N: 3000 MB with 300 free; X: cannot be read.
struct Drives {
  std::map<std::string, int> asked;
  qs::DriveSpaceQuery query() {
    return [this](const std::string& drive, double* freeMB, double* totalMB) {
      ++asked[drive];
      if (drive == "M:" || drive == "m:") return *freeMB = 250, *totalMB = 1000, true;
      if (drive == "N:") return *freeMB = 300, *totalMB = 3000, true;
      *freeMB = *totalMB = 0;
      return false;
    };
  }
};

DbFileRecord Rec(const std::string& group, const std::string& name, const std::string& edb,
                 const std::string& stm, double size, char type = 'M', int mailboxes = 0) {
  DbFileRecord r;
  r.storageGroup = group;
  r.name = name;
  r.edbPath = edb;
  r.stmPath = stm;
  r.sizeBytes = size;
  r.type = type;
  r.mailboxes = mailboxes;
  return r;
}

TEST(StorageText, TokenWalk) {
  struct Case {
    const char* text;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a;b", {"a", "b"}},
      {"a;", {"a", ""}},
      {";", {"", ""}},
      {";;a;;", {"", "", "a", "", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(qs::Tokens(c.text), c.tokens) << c.text;
}

TEST(StorageText, NamesAndPaths) {
  struct Case {
    const char* in;
    const char* owning;  // OwningServer
    const char* parent;  // ParentName
    const char* dn;      // DnOfAdsPath
  } cases[] = {
      {"CN=EX01,CN=Servers,DC=x", "EX01", "Servers", "CN=EX01,CN=Servers,DC=x"},
      {"cn= EX01 ,CN=Servers", "EX01", "Servers", "cn= EX01 ,CN=Servers"},
      {"LDAP://dc1.x/CN=DB,CN=SG 1,CN=IS", "", "SG 1", "CN=DB,CN=SG 1,CN=IS"},
      {"LDAP://CN=DB,CN=SG\\,2,CN=IS", "", "SG,2", "CN=DB,CN=SG\\,2,CN=IS"},
      {"CN=A\\,B,OU=x", "A,B", "", "CN=A\\,B,OU=x"},
      {"OU=x,CN=y", "", "y", "OU=x,CN=y"},
      {"CN=only", "only", "", "CN=only"},
      {"", "", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qs::OwningServer(c.in), c.owning) << c.in;
    EXPECT_EQ(qs::ParentName(c.in), c.parent) << c.in;
    EXPECT_EQ(qs::DnOfAdsPath(c.in), c.dn) << c.in;
  }
}

TEST(StorageSelection, ServerMatchIsAWholeComponent) {
  struct Case {
    const char* dn;
    const char* server;
    bool under;
  } cases[] = {
      {"CN=SG,CN=InformationStore,CN=EX1,CN=Servers", "EX1", true},
      {"CN=SG,CN=InformationStore,CN=ex1,CN=Servers", "EX1", true},
      {"CN=SG,CN=InformationStore,CN=EX10,CN=Servers", "EX1", false},  // a substring is not enough
      {"CN=EX1 Group,CN=InformationStore,CN=EX2", "EX1", false},
      {"CN=SG,CN=InformationStore,CN=EX1,CN=Servers", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(qs::UnderServer(c.dn, c.server), c.under) << c.dn;
}

TEST(StorageSelection, RecoveryGroupsLeftOutOn2003And2007Only) {
  const std::vector<qs::StorageGroupObject> groups = {
      {"First", "CN=First,CN=InformationStore,CN=EX1,CN=Servers", "E00"},
      {"Recovery", "CN=Recovery,CN=InformationStore,CN=EX1,CN=Servers", "R00"},
      {"Other", "CN=Other,CN=InformationStore,CN=EX2,CN=Servers", "E00"},
      {"Lower", "CN=Lower,CN=InformationStore,CN=EX1,CN=Servers", " r00 "},
  };
  struct Case {
    int release;
    std::vector<std::string> names;
  } cases[] = {{3, {"First"}}, {1, {"First"}}, {5, {"First", "Recovery", "Lower"}}};
  for (const Case& c : cases) EXPECT_EQ(qs::ServerStorageGroups(groups, "ex1", c.release), c.names) << c.release;
}

TEST(StorageSelection, Release2007RecordText) {
  std::vector<qs::DatabaseObject> objects = {
      Db2007("EX1", "First", "Mailbox Database", "M:\\SG1\\mb.edb", 2),
      Db2007("EX1", "Recovery", "Recovered", "M:\\RSG\\r.edb", 1),  // group not listed
      Db2007("EX2", "First", "Theirs", "M:\\x.edb", 7),             // another server's
      Db2007("EX1", "Second", "Sales", "M:\\SG2\\s.edb", 1),
  };
  objects[3].slvFile = "M:\\SG2\\s.stm";
  qs::DatabaseObject policy = Db2007("EX1", "x", "Policy", "M:\\p.edb");
  policy.adsPath = std::string("LDAP://dc1/CN=Policy,CN=Policies,") + kAG;
  objects.push_back(policy);
  const std::vector<std::string> groups = {"First", "Second", "Third"};
  EXPECT_EQ(qs::DatabaseRecordText(objects, "ex1", 3, 'M', &groups),
            "First;Mailbox Database;M:\\SG1\\mb.edb;;300;200;100;2;M;"
            "Second;Sales;M:\\SG2\\s.edb;M:\\SG2\\s.stm;300;200;100;1;M;"
            "Third;;;;;;;;M");
  // Public databases: no list; the policy object is still left out.
  std::vector<qs::DatabaseObject> pub = {Db2007("EX1", "Second", "Public", "N:\\p.edb"), policy};
  EXPECT_EQ(qs::DatabaseRecordText(pub, "EX1", 3, 'P', nullptr),
            "Second;Public;N:\\p.edb;;300;200;100;P");
}

TEST(StorageSelection, Release2010OneRecordPerDatabase) {
  // DB01 appears in the Databases container and, left from 2007, under a storage group: once.
  std::vector<qs::DatabaseObject> objects = {
      Db2007("EX1", "First Storage Group", "DB01", "M:\\old\\DB01.edb", 9),
      Db2010("EX1", "DB01", "M:\\DB01\\DB01.edb", 1),
      Db2010("EX2", "DB02", "M:\\DB02\\DB02.edb", 4),
      Db2010("EX1", "DB04", "M:\\DB04\\DB04.edb", 2),
      Db2010("EX1", "db04", "M:\\again.edb", 3),  // the same name again
  };
  const std::vector<std::string> groups = {"First Storage Group"};  // ignored on release 5
  EXPECT_EQ(qs::DatabaseRecordText(objects, "EX1", 5, 'M', &groups),
            "EX1;DB01;M:\\DB01\\DB01.edb;;300;200;100;1;M;EX1;DB04;M:\\DB04\\DB04.edb;;300;200;100;2;M");
  // In whichever order the directory gives them.
  std::swap(objects[0], objects[1]);
  EXPECT_EQ(qs::DatabaseRecordText(objects, "EX1", 5, 'M', nullptr).substr(0, 25), "EX1;DB01;M:\\DB01\\DB01.edb");
}

TEST(StorageSelection, BadValuesKeepTheFieldsInPlace) {
  qs::DatabaseObject o = Db2010("EX1", "Legal;Archive=2", "M:\\a;b.edb", 1);
  o.hardQuota = "unlimited";
  o.warningQuota = "99999999999";  // beyond 32 bits
  o.storageQuota = "-5";
  o.owningServer = "CN=EX1;x,CN=Servers";  // not the server
  EXPECT_EQ(qs::DatabaseRecordText({o}, "EX1", 5, 'M', nullptr), "");
  o.owningServer = Owning("EX1");
  const std::string text = qs::DatabaseRecordText({o}, "EX1", 5, 'M', nullptr);
  EXPECT_EQ(text, "EX1;Legal_Archive=2;M:\\a_b.edb;;0;2147483647;-5;1;M");
  std::vector<DbFileRecord> back = qs::ParseRecordText(text, 3);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].name, "Legal_Archive=2");
  EXPECT_EQ(back[0].mailboxes, 1);
  // Names far longer than any row field travel whole; the row cuts them.
  const std::string longName(5000, 'n');
  o.name = longName;
  back = qs::ParseRecordText(qs::DatabaseRecordText({o}, "EX1", 5, 'M', nullptr), 5);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].name, longName);
  EXPECT_EQ(qs::SummaryText(back, [](const std::string&, double*, double*) { return false; }),
            longName + ";0.000000;0.000000;0.000000");
}

TEST(StorageRecords, ParseRecordTexts) {
  struct Case {
    const char* text;
    int release;
    size_t count;
    const char* firstGroup;
    const char* firstName;
    char type;
  } cases[] = {
      {"", 3, 0, "", "", 'M'},
      {"SG;DB;M:\\a.edb;M:\\a.stm;3;2;1;5;M", 3, 1, "SG", "DB", 'M'},
      {"SG;DB;M:\\a.edb;M:\\a.stm;3;2;1;5;M", 5, 1, "Undefined", "DB", 'M'},
      {"SG;PF;N:\\p.edb;;3;2;1;P;SG;PF2;N:\\q.edb;;3;2;1;P", 3, 2, "SG", "PF", 'P'},
      {"SG;;;;;;;;M", 3, 1, "SG", "", 'M'},
      // One field missing in the first record: it and the record after it no longer end with
      // "M" and are left out, never read past the end.
      {"SG;DB;M:\\a.edb;3;2;1;5;M;SG;DB2;M:\\b.edb;;3;2;1;5;M", 3, 0, "", "", 'M'},
      // One field too many: the same.
      {"SG;DB;M:\\a.edb;;;3;2;1;5;M;SG;DB2;M:\\b.edb;;3;2;1;5;M", 3, 0, "", "", 'M'},
      // A trailing ";" and stray fields after whole records: the whole records stay.
      {"SG;DB;M:\\a.edb;;3;2;1;5;M;", 3, 1, "SG", "DB", 'M'},
      {"SG;DB;M:\\a.edb;;3;2;1;5;M;x;y", 3, 1, "SG", "DB", 'M'},
      {";;;;;;;;;;;;;;;;;;", 3, 0, "", "", 'M'},
  };
  for (const Case& c : cases) {
    std::vector<DbFileRecord> r = qs::ParseRecordText(c.text, c.release);
    ASSERT_EQ(r.size(), c.count) << c.text;
    if (r.empty()) continue;
    EXPECT_EQ(r[0].storageGroup, c.firstGroup) << c.text;
    EXPECT_EQ(r[0].name, c.firstName) << c.text;
    EXPECT_EQ(r[0].type, c.type) << c.text;
    EXPECT_EQ(r[0].sizeBytes, 0.0);
  }
  std::vector<DbFileRecord> r = qs::ParseRecordText("SG;DB;M:\\a.edb;M:\\a.stm;3;2;1;5;M", 3);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].edbPath, "M:\\a.edb");
  EXPECT_EQ(r[0].stmPath, "M:\\a.stm");
  EXPECT_EQ(r[0].hardQuota, 3);
  EXPECT_EQ(r[0].warningQuota, 2);
  EXPECT_EQ(r[0].storageQuota, 1);
  EXPECT_EQ(r[0].mailboxes, 5);
}

TEST(StorageSummary, EachDriveCountedOncePerCall) {
  Drives d;
  std::vector<DbFileRecord> records = {
      Rec("SG1", "A", "M:\\a.edb", "M:\\a.stm", 100),
      Rec("SG1", "B", "m:\\b.edb", "", 50),       // M: again, any case
      Rec("SG2", "C", "N:\\c.edb", "X:\\c.stm", 25),  // X: cannot be read: adds nothing
      Rec("SG3", "A", "N:\\a2.edb", "", 5),       // A again: its size joins A's entry
      Rec("SG4", "", "", "", 0),                  // a group without databases
      Rec("SG5", "D", "relative\\d.edb", "\\\\srv\\d.edb", 7),  // no drive
  };
  EXPECT_EQ(qs::SummaryText(records, d.query()),
            "A;105.000000;550.000000;4000.000000;"
            "B;50.000000;0.000000;0.000000;"
            "C;25.000000;0.000000;0.000000;"
            "D;7.000000;0.000000;0.000000");
  EXPECT_EQ(d.asked["M:"] + d.asked["m:"], 1);
  EXPECT_EQ(d.asked["N:"], 1);
  EXPECT_EQ(qs::SummaryText({}, d.query()), "");
}

TEST(StorageGroups, FiguresPerGroup) {
  Drives d;
  std::vector<DbFileRecord> mailbox = {
      Rec("SG1", "A", "M:\\a.edb", "", 100, 'M', 2),
      Rec("SG1", "B", "M:\\b.edb", "M:\\b.stm", 50, 'M', 3),  // same drive: counted once
      Rec("SG2", "C", "N:\\c.edb", "", 25, 'M', 1),
      Rec("SG3", "", "", "", 0, 'M', 0),
  };
  std::vector<DbFileRecord> pub = {Rec("SG2", "P", "M:\\p.edb", "", 10, 'P', 99),
                                   Rec("SG4", "Q", "X:\\q.edb", "", 1, 'P')};
  std::vector<StorageGroupDetails> g = qs::GroupFigures(mailbox, pub, d.query());
  ASSERT_EQ(g.size(), 4u);
  struct Expect {
    const char* name;
    double size;
    int mailboxes;
    double free;
  } expect[] = {
      {"SG1", 150, 5, 250.0 / 1000 * 10000},
      {"SG2", 35, 1, 550.0 / 4000 * 10000},  // public mailboxes do not count
      {"SG3", 0, 0, -1},                     // no drive: not available
      {"SG4", 1, 0, -1},                     // a drive that cannot be read
  };
  for (size_t i = 0; i < g.size(); ++i) {
    EXPECT_EQ(g[i].name, expect[i].name);
    EXPECT_EQ(g[i].sizeBytes, expect[i].size) << g[i].name;
    EXPECT_EQ(g[i].mailboxes, expect[i].mailboxes) << g[i].name;
    EXPECT_DOUBLE_EQ(g[i].freeHundredthsPercent, expect[i].free) << g[i].name;
  }
}

TEST(StorageGroups, MailboxCountsHoldAtTheLimit) {
  Drives d;
  const std::vector<DbFileRecord> mailbox = {
      Rec("SG1", "A", "", "", 0, 'M', INT32_MAX), Rec("SG1", "B", "", "", 0, 'M', INT32_MAX),
      Rec("SG2", "C", "", "", 0, 'M', INT32_MIN), Rec("SG2", "D", "", "", 0, 'M', -5)};
  const std::vector<StorageGroupDetails> g = qs::GroupFigures(mailbox, {}, d.query());
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0].mailboxes, INT32_MAX);
  EXPECT_EQ(g[1].mailboxes, INT32_MIN);
}

TEST(StorageGrowth, GrowthRule) {
  const double mb = 1048576.0;
  struct Case {
    double size, previous, growth;
  } cases[] = {
      {1100 * mb, 1000 * mb, 10},
      {1000 * mb, 1100 * mb, 0},  // shrank
      {1000.5, 1000, 0},          // less than a byte
      {1002, 1000, 0.2},
      {500, 0, 0},                // first sample
      {5 * 1024 * mb, 4 * 1024 * mb, 25},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(qs::Growth(c.size, c.previous), c.growth) << c.size;
}

TEST(StorageGrowth, PersistedValuePerOwner) {
  const std::string t = "Thu Dec 10 17:11:24 2026";
  struct Case {
    const char* stored;
    const char* owner;
    double previous;
  } cases[] = {
      {"", "H:EX/EX1", 0},
      {"1000.000000;0.000000;Thu Dec 10 17:11:24 2026\n", "H:EX/EX1", 1000},  // written before owners
      {"1000.000000;0.000000;no time\n", "H:EX/EX1", 0},                     // no ":" in it
      {"abc;0;Thu Dec 10 17:11:24 2026\n", "H:EX/EX1", 0},                   // not a number
      {"-5;0;Thu Dec 10 17:11:24 2026\n", "H:EX/EX1", 0},
      {"nan;0;Thu Dec 10 17:11:24 2026\n", "H:EX/EX1", 0},
      {"1e400;0;Thu Dec 10 17:11:24 2026\n", "H:EX/EX1", 0},
      {"7.000000;0.000000;Thu Dec 10 17:11:24 2026;H:EX/EX2\n", "H:EX/EX1", 0},  // another's only
      {"7.000000;0.000000;Thu Dec 10 17:11:24 2026;H:EX/EX2\n"
       "9.000000;0.000000;Thu Dec 10 17:11:24 2026;H:EX/EX1\n",
       "H:EX/EX1", 9},
      {"5;0;Thu Dec 10 17:11:24 2026\r\n8;0;Thu Dec 10 17:11:24 2026;H:EX/EX1\r\n", "H:EX/EX1", 8},
  };
  for (const Case& c : cases) EXPECT_EQ(qs::PreviousSize(c.stored, c.owner), c.previous) << c.stored;

  // Two instances writing in turn each find their own size again.
  std::string value;
  value = qs::PersistedValue(value, "H:EX/EX1", 1000, 0, t);
  value = qs::PersistedValue(value, "H:EX/EX2", 50, 0, t);
  value = qs::PersistedValue(value, "H:EX/EX1", 1100, 10, t);
  EXPECT_EQ(qs::PreviousSize(value, "H:EX/EX1"), 1100);
  EXPECT_EQ(qs::PreviousSize(value, "H:EX/EX2"), 50);
  EXPECT_EQ(value.substr(0, value.find('\n') + 1),
            "1100.000000;10.000000;Thu Dec 10 17:11:24 2026;H:EX/EX1\n")
      << "the writer's line first, so a reader of the first field sees the latest";
  // The legacy line is dropped once an owner wrote.
  value = qs::PersistedValue("3;0;Thu Dec 10 17:11:24 2026\n", "H:EX/EX1", 4, 0, t);
  EXPECT_EQ(value.find("3;0;"), std::string::npos);
  // An owner with ";" or a line end cannot split or forge a line.
  value = qs::PersistedValue("", "H;EX\nX", 4, 0, t);
  EXPECT_EQ(value, "4.000000;0.000000;Thu Dec 10 17:11:24 2026;H_EX_X\n");
  EXPECT_EQ(qs::PreviousSize(value, "H;EX\nX"), 4);
}

TEST(StorageGrowth, ValueStaysWithinTheRegistryReadLimit) {
  const std::string t = "Thu Dec 10 17:11:24 2026";
  std::string value;
  for (int i = 0; i < 100; ++i)
    value = qs::PersistedValue(value, "OWNER-" + std::to_string(i) + std::string(100, 'x'), i, 0, t);
  EXPECT_LE(value.size(), 1000u);
  EXPECT_EQ(qs::PreviousSize(value, "OWNER-99" + std::string(100, 'x')), 99);
  const std::string longOwner(5000, 'o');
  value = qs::PersistedValue(value, longOwner, 12, 0, t);
  EXPECT_LE(value.size(), 1000u);
  EXPECT_EQ(qs::PreviousSize(value, longOwner), 12) << "the owner is cut the same way each time";
}

TEST(StorageRows, RowFigure) {
  struct Case {
    double in;
    int32_t out;
  } cases[] = {{10.99, 10}, {-1, -1}, {-0.5, 0}, {1e12, INT32_MAX}, {-1e12, INT32_MIN},
               {NAN, -1}, {INFINITY, INT32_MAX}, {5.0 * 1024 * 100, 512000}};
  for (const Case& c : cases) EXPECT_EQ(qs::RowFigure(c.in), c.out) << c.in;
}

}  // namespace
