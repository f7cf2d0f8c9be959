// The 68 tables as the catalogue describes them, and the lookup the loader uses.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "table_catalogue.h"

namespace {

struct Listed {
  int number;
  const char* stem;
  const char* name;
  const char* group;
  int attributes;
  int rowSize;
  int step;
};

const Listed kListed[] = {
    {1, "msedb", "MSEDB", "MS Exchange Database", 29, 572, 1},
    {2, "mseds", "MSEDS", "MS Exchange Directory Service", 22, 160, 1},
    {3, "mseis", "MSEIS", "MS Exchange Information Store", 75, 372, 1},
    {4, "mseispri", "MSEISPRI", "MS Exchange Information Store Private", 42, 836, 2},
    {5, "mseispub", "MSEISPUB", "MS Exchange Information Store Public", 42, 836, 2},
    {6, "mseispur", "MSEISPUR", "MS Exchange IS Public Replication", 21, 752, 2},
    {7, "msemta", "MSEMTA", "MS Exchange Message Transfer Agent", 26, 176, 1},
    {8, "msemtac", "MSEMTAC", "MS Exchange Message Transfer Agent Connections", 23, 492, 4},
    {9, "mseservr", "MSESERVR", "MS Exchange Server", 19, 144, 1},
    {10, "qmxsmtp", "QMXSMTP", "SMTP Server", 71, 416, 2},
    {11, "msesrvcd", "MSESRVCD", "MS Exchange Services Detail", 8, 484, 1},
    {12, "msesgrpd", "MSESGRPD", "SG Details", 9, 488, 1},
    {13, "msembxd", "MSEMBXD", "Mailbox Details", 12, 1652, 1},
    {14, "msepfldd", "MSEPFLDD", "Public Folder Details", 10, 1264, 2},
    {15, "msereach", "MSEREACH", "Mailbox Reachability", 9, 880, 2},
    {16, "msekavel", "MSEKAVEL", "Kavel Connector", 18, 144, 2},
    {17, "msedbins", "MSEDBINS", "Database Instance", 25, 552, 1},
    {18, "msercach", "MSERCACH", "Recipient Cache", 9, 488, 4},
    {19, "msesidag", "MSESIDAG", "Sender ID Agent", 11, 116, 1},
    {20, "mseadcah", "MSEADCAH", "ADAcess Caches", 32, 580, 2},
    {21, "msetrrul", "MSETRRUL", "Transport Rules", 9, 488, 1},
    {22, "msetrque", "MSETRQUE", "Transport Queue", 31, 576, 4},
    {23, "msesmtpr", "MSESMTPR", "SMTP Receive Service Exchange 2007", 21, 536, 1},
    {24, "msesmtps", "MSESMTPS", "SMTP Send Service Exchange 2007", 19, 528, 2},
    {25, "msestrdr", "MSESTRDR", "MS Exchange Store Driver - Exchange 2007", 23, 760, 2},
    {26, "mseassit", "MSEASSIT", "MS Exchange Assistants - Exchange 2007", 23, 760, 2},
    {27, "mseadacp", "MSEADACP", "MS Exchange ADAccess Processes - Exchange 2007", 21, 752, 2},
    {28, "mserepl", "MSEREPL", "MS Exchange Replication - Exchange 2007", 19, 148, 2},
    {29, "mseasync", "MSEASYNC", "MS Exchange Async - Exchange 2007", 67, 340, 2},
    {30, "mseiscli", "MSEISCLI", "MS Exchange IS Client", 11, 172, 2},
    {31, "mserfa", "MSERFA", "MS Exchange Recipient Filter Agent", 8, 104, 2},
    {32, "msesfa", "MSESFA", "MS Exchange Sender Filter Agent", 8, 104, 2},
    {33, "msepaa", "MSEPAA", "MS Exchange Protocol Analysis Agent", 13, 124, 2},
    {34, "msecfa", "MSECFA", "MS Exchange Connection Filtering Agent", 13, 124, 2},
    {35, "mseconfa", "MSECONFA", "MS Exchange Content Filter Agent", 25, 172, 2},
    {36, "mseaf", "MSEAF", "MS Exchange Attachment Filtering", 7, 100, 2},
    {37, "mseowa", "MSEOWA", "MS Exchange OWA", 26, 176, 2},
    {38, "msfsss", "MSFSSS", "Microsoft Forefront Server Security Scan", 17, 196, 2},
    {39, "mserbs", "MSERBS", "MS Exchange Role Based Services", 8, 544, 2},
    {40, "msrtopo", "MSRTOPO", "Exchange Topology", 7, 812, 2},
    {41, "msemcd", "MSEMCD", "MS Exchange MAPI Connectivity Detail", 7, 212, 2},
    {42, "msmbscs", "MSMBSCS", "Mailbox Server Cluster State", 7, 812, 2},
    {43, "msenlbs", "MSENLBS", "MS Exchange NLB Status", 6, 152, 2},
    {44, "msemreps", "MSEMREPS", "MS Exchange Mailbox Replication Service", 10, 116, 2},
    {45, "mserbac", "MSERBAC", "MS Exchange Control Panel (RBAC)", 19, 148, 2},
    {46, "msemrspm", "MSEMRSPM", "MSExchange Mailbox Replication Service per Mdb", 40, 564, 2},
    {47, "mserms", "MSERMS", "MS Exchange Rights Management Service", 34, 208, 2},
    {48, "msedag", "MSEDAG", "MS Exchange Database Availability Group", 11, 612, 2},
    {49, "msemanfa", "MSEMANFA", "MS Exchange Managed Folder Assistant", 9, 108, 2},
    {50, "msetrsr", "MSETRSR", "MS Exchange Transport Shadow Redundancy", 8, 432, 2},
    {51, "msetrdmp", "MSETRDMP", "MS Exchange Transport Dumpster", 11, 116, 2},
    {52, "mseasstdb", "MSEASSTDB", "MS Exchange Assistants - Per Database", 16, 732, 2},
    {53, "msetrdb", "MSETRDB", "MS Exchange Transport Database", 37, 816, 2},
    {54, "ffexods", "FFEXODS", "Forefront Exchange On Demand Scanner", 18, 740, 2},
    {55, "ffexrts", "FFEXRTS", "Forefront Exchange Realtime Scanner", 18, 740, 2},
    {56, "ffexschs", "FFEXSCHS", "Forefront Exchange Scheduled Scanner", 18, 740, 2},
    {57, "ffextrnss", "FFEXTRNSS", "Forefront Exchange Transport Scanner", 18, 740, 2},
    {58, "mseamc", "MSEAMC", "MS Exchange Active Manager Client", 17, 736, 2},
    {59, "mseams", "MSEAMS", "MS Exchange Active Manager Server", 9, 108, 2},
    {60, "mseam", "MSEAM", "MS Exchange Active Manager", 7, 696, 2},
    {61, "msems", "MSEMS", "MS Exchange Mail Submission", 14, 724, 2},
    {62, "msers", "MSERS", "MS Exchange Replication Server", 6, 96, 2},
    {63, "mserh", "MSERH", "MS Exchange Resource Health", 20, 748, 2},
    {64, "msesdd", "MSESDD", "MS Exchange Store Driver Database", 7, 696, 2},
    {65, "msesds", "MSESDS", "MS Exchange Store Driver Server", 7, 696, 2},
    {66, "mset", "MSET", "MS Exchange Throttling", 36, 812, 2},
    {67, "msetsmtpa", "MSETSMTPA", "MS Exchange Transport SMTP Availability", 14, 724, 2},
    {68, "msemt", "MSEMT", "MS Exchange Mail Tips", 28, 184, 2},
};

TEST(Catalogue, EveryTableAsListed) {
  ASSERT_EQ(qmx::TableLayouts().size(), 68u);
  for (const Listed& l : kListed) {
    SCOPED_TRACE(l.name);
    const qmx::TableLayout* t = qmx::TableLayoutByNumber(l.number);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->stem, l.stem);
    EXPECT_STREQ(t->name, l.name);
    EXPECT_STREQ(t->group, l.group);
    EXPECT_EQ(t->attributeCount(), l.attributes);
    EXPECT_EQ(t->rowSize, l.rowSize);
    EXPECT_EQ(t->step, l.step);
    EXPECT_EQ(t->bufferName, std::string("QMX.") + l.name);
    EXPECT_EQ(t->attributes[4].offset, 88);
    // Packed without gaps, each name lower case and at most ten characters.
    for (size_t i = 1; i < t->attributes.size(); ++i)
      EXPECT_EQ(t->attributes[i].offset, t->attributes[i - 1].offset + t->attributes[i - 1].width)
          << t->attributes[i].name;
    std::set<std::string> names;
    for (const qmx::TableAttribute& a : t->attributes) {
      EXPECT_LE(a.name.size(), 10u) << a.name;
      EXPECT_TRUE(names.insert(a.upper).second) << a.name;
    }
    const qmx::TableAttribute& last = t->attributes.back();
    EXPECT_LE(last.offset + last.width, t->rowSize);
    EXPECT_GT(last.offset + last.width, t->rowSize - 4);
  }
}

TEST(Catalogue, HeaderOrder) {
  for (const qmx::TableLayout& t : qmx::TableLayouts()) {
    bool timeFirst = t.number == 39 || t.number == 41 || t.number == 43;
    EXPECT_EQ(t.header, timeFirst ? qmx::HEADER_TIME_FIRST : qmx::HEADER_STANDARD) << t.name;
    const char* expected[4][2] = {{"originnode", "0"}, {"sampleno", "64"}, {"rowno", "68"},
                                  {"timestamp", "72"}};
    const char* timeFirstOrder[4][2] = {{"originnode", "0"}, {"timestamp", "64"},
                                        {"sampleno", "80"}, {"rowno", "84"}};
    for (int i = 0; i < 4; ++i) {
      const char* const* e = timeFirst ? timeFirstOrder[i] : expected[i];
      EXPECT_EQ(t.attributes[static_cast<size_t>(i)].name, e[0]) << t.name;
      EXPECT_EQ(t.attributes[static_cast<size_t>(i)].offset, std::atoi(e[1])) << t.name;
    }
  }
}

TEST(Catalogue, Table09RoundsItsRow) {
  const qmx::TableLayout* t = qmx::TableLayoutByNumber(9);
  ASSERT_NE(t, nullptr);
  const qmx::TableAttribute& last = t->attributes.back();
  EXPECT_EQ(last.name, "hubtrans");
  EXPECT_EQ(last.offset + last.width, 143);
  EXPECT_EQ(t->rowSize, 144);
  int rounded = 0;
  for (const qmx::TableLayout& x : qmx::TableLayouts()) {
    const qmx::TableAttribute& a = x.attributes.back();
    rounded += a.offset + a.width != x.rowSize;
  }
  EXPECT_EQ(rounded, 1);
}

TEST(Catalogue, AttributeTypes) {
  const qmx::TableLayout* t = qmx::TableLayoutByNumber(46);
  int i = t->Find("LSCNTIM");
  ASSERT_GE(i, 0);
  EXPECT_EQ(t->attributes[static_cast<size_t>(i)].type, qmx::TYPE_INT64);
  EXPECT_EQ(t->attributes[static_cast<size_t>(i)].offset, 552);
  EXPECT_EQ(t->attributes[static_cast<size_t>(i)].width, 8);
  const qmx::TableLayout* smtp = qmx::TableLayoutByNumber(10);
  EXPECT_EQ(smtp->attributes[4].type, qmx::TYPE_TEXT);
  EXPECT_EQ(smtp->attributes[4].width, 64);
  EXPECT_EQ(qmx::TableLayoutByNumber(1)->attributes[4].type, qmx::TYPE_UTF8);
  EXPECT_EQ(qmx::TableLayoutByNumber(1)->attributes[5].type, qmx::TYPE_INT32);
  EXPECT_EQ(t->Find("lscntim"), -1);
  EXPECT_EQ(t->Find("LSCNTI"), -1);
  EXPECT_EQ(t->Find(""), -1);
  for (const qmx::TableLayout& x : qmx::TableLayouts())
    for (size_t k = 0; k < x.attributes.size(); ++k)
      EXPECT_EQ(x.Find(x.attributes[k].upper.c_str()), static_cast<int>(k)) << x.name;
}

TEST(Catalogue, AttributeListReader) {
  std::vector<qmx::TableAttribute> out;
  std::string error;
  EXPECT_TRUE(qmx::ParseAttributeList("a, b text 3, c utf8 10, d int64", 88, &out, &error));
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[3].offset, 88 + 4 + 3 + 10);
  for (const char* bad : {"", "a,, b", "A", "a text", "a text x", "a utf8 0", "a int32", "a b c d",
                          "a text 70000"}) {
    out.clear();
    EXPECT_FALSE(qmx::ParseAttributeList(bad, 88, &out, &error)) << bad;
  }
}

// Binding of definitions and sources as the loader needs them.
TEST(Catalogue, DefinitionsAndBuffers) {
  struct Ids {
    int number;
    int definition;
    int alternate;
  } choices[] = {{1, 800, 966}, {17, 851, 971}, {26, 911, 1021}, {29, 901, 1106},
                 {53, 1016, 1046}, {68, 1111, 1071}, {10, 820, 0}, {46, 1116, 0}, {57, 1041, 0},
                 {9, 0, 0}, {41, 0, 0}};
  for (const Ids& c : choices) {
    const qmx::TableEntry* e = qmx::FindTableByNumber(c.number);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->layout->definitionId, c.definition) << c.number;
    EXPECT_EQ(e->layout->alternateId, c.alternate) << c.number;
  }
  int counterTables = 0;
  std::set<const SampleBfr*> buffers;
  for (const qmx::TableEntry& e : qmx::TableCatalogue()) {
    SCOPED_TRACE(e.layout->name);
    ASSERT_NE(e.init, nullptr);
    ASSERT_NE(e.eventArrived, nullptr);
    bool counter = e.layout->source == qmx::SOURCE_COUNTER_SERVICE;
    EXPECT_EQ(e.buffer != nullptr, counter);
    EXPECT_EQ(counter, e.layout->definitionId != 0 && e.layout->number != 57);
    if (!e.buffer) continue;
    ++counterTables;
    EXPECT_TRUE(buffers.insert(e.buffer).second);
    // Built empty before main: row size 0, so no rows and no storage.
    EXPECT_STREQ(e.buffer->szEyeBall, "ZrtSampleBfr");
    EXPECT_EQ(e.buffer->nVersion, 3u);
    EXPECT_EQ(e.buffer->nRowSize, 0u);
    EXPECT_EQ(e.buffer->nRowsInBuffer, 0u);
    EXPECT_EQ(e.buffer->pBuffer, nullptr);
  }
  EXPECT_EQ(counterTables, 55);
  EXPECT_EQ(qmx::TableLayoutByNumber(57)->source, qmx::SOURCE_OWN_COUNTERS);
  EXPECT_EQ(qmx::TableLayoutByNumber(9)->variation, qmx::SERVER_STATUS);
}

TEST(Catalogue, Lookup) {
  const qmx::TableEntry* e = qmx::FindTableByStem("ffextrnss");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->layout->number, 57);
  EXPECT_EQ(qmx::FindTableByName("FFEXTRNSS"), e);
  EXPECT_EQ(qmx::FindTableByNumber(57), e);
  EXPECT_EQ(qmx::FindTableByStem("FFEXTRNSS"), nullptr);
  EXPECT_EQ(qmx::FindTableByName("ffextrnss"), nullptr);
  EXPECT_EQ(qmx::FindTableByNumber(0), nullptr);
  EXPECT_EQ(qmx::FindTableByNumber(69), nullptr);
  EXPECT_EQ(qmx::FindTableByStem(nullptr), nullptr);
  EXPECT_STREQ(qmx::FindTableByNumber(20)->layout->group, "ADAcess Caches");
}

}  // namespace
