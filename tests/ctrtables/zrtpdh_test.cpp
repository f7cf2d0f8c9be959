// The agent's own PDH readers against the PDH stand-in (pdh.dll beside the test), and table 57,
// the one table that reads its counters itself, through the framework's requests.
#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ctrtable_rules.h"
#include "pxr.h"
#include "qmx_tables.h"
#include "qmxcommon.h"
#include "win_snapshot.h"
#include "zrtPdh.h"

namespace {

const char kObj[] = "Forefront Exchange Transport Scanner";

std::string ScannerLines(const std::string& instance, int base) {
  std::string s;
  for (int k = 0; k < qmx::kTransportScannerCounterCount; ++k)
    s += Line(kObj, instance, qmx::kTransportScannerCounters[k], std::to_string(base + k) + ".75");
  return s;
}

class PdhReader : public ::testing::Test {
 protected:
  CounterSnapshot snap;
};

TEST_F(PdhReader, EnumeratesInstancesAndCounters) {
  ASSERT_TRUE(snap.Write(Line("Obj", "Alpha", "Total", "1") + Line("Obj", "Beta", "Total", "2") +
                         Line("Obj", "Alpha", "Rate/sec", "3") + Line("Plain", "", "Count", "4")));
  qmxPdhCntr p;
  ASSERT_TRUE(p.OpenQuery());
  ASSERT_EQ(p.SetObjectName("Obj"), 1);
  ASSERT_EQ(p.GetInstances(), 1);
  EXPECT_EQ(p.GetInstanceCount(), 2);
  EXPECT_STREQ(p.GetInstanceName(0), "Alpha");
  EXPECT_STREQ(p.GetInstanceName(1), "Beta");
  EXPECT_EQ(p.GetInstanceName(2), nullptr) << "an index equal to the count";
  EXPECT_EQ(p.GetInstanceName(-1), nullptr);
  ASSERT_EQ(p.GetCounterNameCount(), 2);
  EXPECT_STREQ(p.GetCounterName(0), "Total");
  EXPECT_STREQ(p.GetCounterName(1), "Rate/sec");

  // Without a list of its own the enumerated counters are read.
  p.SetCounterList(nullptr, 0);
  p.SetCollectInterval(0);
  ASSERT_EQ(p.AddCounters("Alpha"), 1);
  ASSERT_EQ(p.CollectData(), 1);
  EXPECT_EQ(p.GetValues()[0], 1.0);
  EXPECT_EQ(p.GetValues()[1], 3.0);
  p.FreeLists();
  p.CloseQuery();
}

TEST_F(PdhReader, ObjectWithoutInstancesAndEmptyList) {
  ASSERT_TRUE(snap.Write(Line("Plain", "", "Count", "4") + Line("Plain", "", "Other", "5")));
  qmxPdhCntr p;
  ASSERT_TRUE(p.OpenQuery());
  ASSERT_EQ(p.SetObjectName("Plain"), 1);
  ASSERT_EQ(p.GetInstances(), 1);
  EXPECT_EQ(p.GetInstanceCount(), 0);
  EXPECT_EQ(p.GetInstanceName(0), nullptr);
  const char* list[] = {"Other"};
  p.SetCounterList(list, 1);
  p.SetCollectInterval(0);
  ASSERT_EQ(p.AddCounters(nullptr), 1) << "a path without an instance part";
  ASSERT_EQ(p.CollectData(), 1);
  EXPECT_EQ(p.GetValues()[0], 5.0);

  // Every instance at once: one set, without an instance part.
  ASSERT_EQ(p.AddAllInstances(), 1);
  EXPECT_TRUE(p.SetAdded(0));
  ASSERT_EQ(p.CollectData(), 1);
  EXPECT_TRUE(p.SetRead(0));
  EXPECT_EQ(p.GetValues(0)[0], 5.0);

  p.SetCounterList(list, 0);
  EXPECT_EQ(p.AddCounters(nullptr), 1);
  EXPECT_EQ(p.CollectData(), 1);
}

TEST_F(PdhReader, UnknownObjectFailsToEnumerate) {
  ASSERT_TRUE(snap.Write(Line("Plain", "", "Count", "4")));
  qmxPdhCntr p;
  ASSERT_TRUE(p.OpenQuery());
  ASSERT_EQ(p.SetObjectName("Nothing Here"), 1);
  EXPECT_EQ(p.GetInstances(), 0);
  EXPECT_NE(p.GetStatus(), static_cast<PDH_STATUS>(ERROR_SUCCESS));
  EXPECT_EQ(p.GetInstanceCount(), 0);
  p.FreeLists();
  p.CloseQuery();
  EXPECT_EQ(p.SetObjectName(std::string(600, 'o').c_str()), 0) << "no object name that long";
}

TEST_F(PdhReader, EachInstanceReadsOnlyItsOwnCounters) {
  ASSERT_TRUE(snap.Write(Line("Obj", "Alpha", "Total", "10") + Line("Obj", "Beta", "Total", "20")));
  qmxPdhCntr p;
  ASSERT_TRUE(p.OpenQuery());
  p.SetObjectName("Obj");
  ASSERT_EQ(p.GetInstances(), 1);
  const char* list[] = {"Total"};
  p.SetCounterList(list, 1);
  p.SetCollectInterval(0);
  ASSERT_EQ(p.AddCounters("Alpha"), 1);
  PDH_HCOUNTER alpha = p.GetCounterHandle(0);
  ASSERT_NE(alpha, nullptr);
  ASSERT_EQ(p.CollectData(), 1);
  EXPECT_EQ(p.GetValues()[0], 10.0);
  ASSERT_EQ(p.AddCounters("Beta"), 1);
  ASSERT_EQ(p.CollectData(), 1);
  EXPECT_EQ(p.GetValues()[0], 20.0);
  // Beta's counter loses its value, Alpha's keeps one. The stand-in, like PDH, fails a
  // collection in which no counter of the query has data: so Alpha's counter is no longer there.
  ASSERT_TRUE(snap.Write(Line("Obj", "Alpha", "Total", "11") + Line("Obj", "Beta", "Other", "1")));
  EXPECT_EQ(p.CollectData(), 0);
  EXPECT_EQ(p.GetStatus(), static_cast<PDH_STATUS>(PDH_NO_DATA));
  EXPECT_EQ(p.GetValues()[0], 20.0);
  (void)alpha;
}

// Every instance's counters in one query, read by one CollectData; an instance whose counters
// cannot all be added, or all be read, is told apart and keeps the others from nothing.
TEST_F(PdhReader, AllInstancesInOneQuery) {
  std::string lines;
  for (int i = 0; i < 20; ++i) {
    std::string name = "I" + std::to_string(i);
    lines += Line("Obj", name, "Total", std::to_string(100 + i)) + Line("Obj", name, "Hits/sec", std::to_string(i));
  }
  lines += Line("Obj", "NoRate", "Total", "7");  // "Hits/sec" has no value for it: not read
  ASSERT_TRUE(snap.Write(lines));
  qmxPdhCntr p;
  ASSERT_TRUE(p.OpenQuery());
  p.SetObjectName("Obj");
  ASSERT_EQ(p.GetInstances(), 1);
  ASSERT_EQ(p.GetInstanceCount(), 21);
  const char* list[] = {"Total", "Hits/sec"};
  p.SetCounterList(list, 2);
  p.SetCollectInterval(0);
  ASSERT_EQ(p.AddAllInstances(), 21);
  for (int s = 0; s < 21; ++s) EXPECT_TRUE(p.SetAdded(s)) << s;
  EXPECT_EQ(p.CollectData(), 0) << "NoRate's rate cannot be read";
  for (int s = 0; s < 20; ++s) {
    ASSERT_TRUE(p.SetRead(s)) << s;
    EXPECT_EQ(p.GetValues(s)[0], 100.0 + s);
    EXPECT_EQ(p.GetValues(s)[1], static_cast<double>(s)) << "the rate reads after the two collections";
  }
  EXPECT_FALSE(p.SetRead(20));
  EXPECT_EQ(p.GetValues(20)[0], 7.0) << "what could be read was";
  EXPECT_EQ(p.GetValues(21), nullptr);

  // A counter list the object lacks: no set is added whole, none is read.
  const char* missing[] = {"Total", "Nope"};
  p.SetCounterList(missing, 2);
  ASSERT_EQ(p.AddAllInstances(), 21);
  EXPECT_FALSE(p.SetAdded(0));
  EXPECT_EQ(p.CollectData(), 0);
  EXPECT_FALSE(p.SetRead(0));
  // One set again: the earlier instances' counters are out of the query.
  p.SetCounterList(list, 2);
  ASSERT_EQ(p.AddCounters("I3"), 1);
  EXPECT_FALSE(p.SetAdded(1));
  ASSERT_EQ(p.CollectData(), 1);
  EXPECT_EQ(p.GetValues()[0], 103.0);
}

// The stand-in serves a rate as the snapshot's value once its query was collected twice, so the
// interval itself cannot be seen in a rate. What shows it is when the second collection happens:
// the snapshot is replaced during the wait, and a plain counter read after CollectData holds the
// new value only if the second collection came after a real interval.
TEST_F(PdhReader, TheTwoCollectionsAreARealIntervalApart) {
  auto write = [&](const char* total) {
    return snap.Write(Line("Obj", "Alpha", "Total", total) + Line("Obj", "Alpha", "Hits/sec", "7"));
  };
  struct Case {
    DWORD intervalMs;
    const char* expected;
  } cases[] = {{0, "100"}, {qmxPdhCntr::kDefaultCollectIntervalMs, "123456"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.intervalMs);
    ASSERT_TRUE(write("100"));
    qmxPdhCntr p;
    ASSERT_TRUE(p.OpenQuery());
    p.SetObjectName("Obj");
    ASSERT_EQ(p.GetInstances(), 1);
    const char* list[] = {"Total", "Hits/sec"};
    p.SetCounterList(list, 2);
    if (c.intervalMs == 0) p.SetCollectInterval(0);
    ASSERT_EQ(p.AddCounters("Alpha"), 1);
    std::thread rewrite([&] {
      Sleep(300);
      write("123456");
    });
    auto start = std::chrono::steady_clock::now();
    int ok = p.CollectData();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    rewrite.join();
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(p.GetValues()[0], std::stod(c.expected));
    EXPECT_EQ(p.GetValues()[1], 7.0) << "the rate reads after the two collections";
    if (c.intervalMs) {
      EXPECT_GE(ms, 950);
    }
  }
}

TEST_F(PdhReader, ACounterThatCannotBeReadKeepsItsValue) {
  ASSERT_TRUE(snap.Write(Line("Obj", "Alpha", "One", "1") + Line("Obj", "Alpha", "Two", "2")));
  qmxPdhCntr p;
  ASSERT_TRUE(p.OpenQuery());
  p.SetObjectName("Obj");
  ASSERT_EQ(p.GetInstances(), 1);
  const char* list[] = {"One", "Two"};
  p.SetCounterList(list, 2);
  p.SetCollectInterval(0);
  ASSERT_EQ(p.AddCounters("Alpha"), 1);
  ASSERT_EQ(p.CollectData(), 1);
  // "Two" loses its value for Alpha (another instance still has it).
  ASSERT_TRUE(snap.Write(Line("Obj", "Alpha", "One", "11") + Line("Obj", "Beta", "Two", "22")));
  EXPECT_EQ(p.CollectData(), 0);
  EXPECT_EQ(p.GetValues()[0], 11.0);
  EXPECT_EQ(p.GetValues()[1], 2.0);
}

TEST_F(PdhReader, ListLongerThanTheObjectAndNonAsciiInstance) {
  ASSERT_TRUE(snap.Write(Line("Obj", "Sc\xC3\xA4nner", "One", "5")));
  qmxPdhCntr p;
  ASSERT_TRUE(p.OpenQuery());
  p.SetObjectName("Obj");
  ASSERT_EQ(p.GetInstances(), 1);
  ASSERT_STREQ(p.GetInstanceName(0), "Sc\xC3\xA4nner");
  // Thirteen counters asked of an object that has one: the rest fail, nothing overflows.
  p.SetCounterList(qmx::kTransportScannerCounters, qmx::kTransportScannerCounterCount);
  p.SetCollectInterval(0);
  EXPECT_EQ(p.AddCounters(p.GetInstanceName(0)), 0);
  const char* one[] = {"One"};
  p.SetCounterList(one, 1);
  ASSERT_EQ(p.AddCounters(p.GetInstanceName(0)), 1) << "the UTF-8 name finds its instance";
  ASSERT_EQ(p.CollectData(), 1);
  EXPECT_EQ(p.GetValues()[0], 5.0);
}

TEST_F(PdhReader, SingleCounterByPath) {
  ASSERT_TRUE(snap.Write(Line("Obj", "Alpha", "Ratio", "12.75")));
  {
    PDH pdh("\\Obj(Alpha)\\Ratio");
    EXPECT_EQ(pdh.GetStatus(), static_cast<PDH_STATUS>(ERROR_SUCCESS));
    long l = 0;
    pdh.logData(&l);
    EXPECT_EQ(l, 12);
    float f = 0;
    pdh.logData(&f);
    EXPECT_FLOAT_EQ(f, 12.75f);
    EXPECT_EQ(pdh.GetStatus(), static_cast<PDH_STATUS>(ERROR_SUCCESS));
  }
  for (const char* missing : {"\\Obj(Gamma)\\Ratio", "\\Nothing\\Ratio", "\\Obj(Alpha)\\Nope"}) {
    PDH pdh(missing);
    EXPECT_NE(pdh.GetStatus(), static_cast<PDH_STATUS>(ERROR_SUCCESS)) << missing;
  }
}

// ---------------------------------------------------------------- table 57 and table 41

class OwnCounterTables : public ::testing::Test {
 protected:
  void SetUp() override {
    pxr::ResetForTests();
    ASSERT_EQ(qmx_ffextrnss_init(), 0u);
    ASSERT_EQ(qmx_msemcd_init(), 0u);
  }
  std::unique_ptr<pxr::Request> Open(const char* table) {
    unsigned long status = 1;
    auto r = pxr::Request::Open(table, {}, &status);
    EXPECT_EQ(status, 0u);
    return r;
  }
  static int32_t I32(const char* row, int off) {
    int32_t v;
    std::memcpy(&v, row + off, 4);
    return v;
  }
  CounterSnapshot snap;
};

TEST_F(OwnCounterTables, Table57TwoInstancesOverTwoSamples) {
  ASSERT_TRUE(snap.Write(ScannerLines("Scanner A", 100) + ScannerLines("Scanner B", 200)));
  char host[64];
  ReturnLocalHost(host);
  auto r = Open("FFEXTRNSS");
  int32_t previous = 0;
  for (int sample = 0; sample < 2; ++sample) {
    SCOPED_TRACE(sample);
    EXPECT_EQ(r->Sample(), 0u);
    ASSERT_EQ(r->rowCount(), 2);
    for (int i = 0; i < 2; ++i) {
      const char* row = r->row(i);
      EXPECT_EQ(std::string(row, 64), std::string(host, 64));
      if (sample > 0 || i > 0) {
        EXPECT_EQ(I32(row, 64), previous + 1) << "sample numbers go on";
      }
      previous = I32(row, 64);
      EXPECT_EQ(I32(row, 68), i + 1);
      std::string stamp(row + 72, 16);
      EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << stamp;
      EXPECT_EQ(stamp.substr(13), "000");
      std::string name(row + 88, 600);
      EXPECT_EQ(name.substr(0, name.find('\0')), i == 0 ? "Scanner A" : "Scanner B");
      for (int k = 0; k < 13; ++k)
        EXPECT_EQ(I32(row, 688 + 4 * k), (i == 0 ? 100 : 200) + k) << "counter " << k << ", no scale";
    }
  }
}

// Twenty scanner instances in one sample: one row each, in instance order.
TEST_F(OwnCounterTables, Table57TwentyInstances) {
  std::string lines;
  for (int i = 0; i < 20; ++i) lines += ScannerLines("Scanner " + std::to_string(i), 1000 * i);
  ASSERT_TRUE(snap.Write(lines));
  auto r = Open("FFEXTRNSS");
  EXPECT_EQ(r->Sample(), 0u);
  ASSERT_EQ(r->rowCount(), 20);
  for (int i = 0; i < 20; ++i) {
    const char* row = r->row(i);
    EXPECT_EQ(I32(row, 68), i + 1);
    EXPECT_EQ(std::string(row + 88), "Scanner " + std::to_string(i));
    EXPECT_EQ(I32(row, 64), I32(r->row(0), 64) + i);
    for (int k = 0; k < 13; ++k) EXPECT_EQ(I32(row, 688 + 4 * k), 1000 * i + k) << i << " " << k;
  }
}

TEST_F(OwnCounterTables, Table57HandsOverOnlyTheRowsItRead) {
  // Scanner A lacks one counter's value: its counters cannot all be read.
  std::string lines;
  for (int k = 1; k < 13; ++k) lines += Line(kObj, "Scanner A", qmx::kTransportScannerCounters[k], "1");
  lines += ScannerLines("Scanner B", 300);
  ASSERT_TRUE(snap.Write(lines));
  auto r = Open("FFEXTRNSS");
  EXPECT_EQ(r->Sample(), 0u);
  ASSERT_EQ(r->rowCount(), 1);
  EXPECT_EQ(std::string(r->row(0) + 88), "Scanner B");
  EXPECT_EQ(I32(r->row(0), 68), 2) << "the row keeps its instance's position";
  EXPECT_EQ(I32(r->row(0), 688), 300);

  ASSERT_TRUE(snap.Write(Line("Other", "", "Count", "1")));
  EXPECT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 0) << "no object: no rows";
}

TEST_F(OwnCounterTables, Table41HandsOverNoRows) {
  auto r = Open("MSEMCD");
  EXPECT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 0);
}

}  // namespace
