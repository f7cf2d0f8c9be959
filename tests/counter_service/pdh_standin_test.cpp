// The PDH stand-in as its callers see it: through pdh.dll, which the test prefix's
// system folder holds (the build installs it there with a native override).
#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "snapshot_file.h"

namespace {

// The stand-in, not Wine's PDH, must be what this process uses: the one the build installed into
// the test prefix's system folder (nothing beside the executable, nothing from the environment).
TEST(PdhStandin, IsLoadedFromThePrefixSystemFolder) {
  HMODULE pdh = GetModuleHandleW(L"pdh.dll");
  ASSERT_NE(pdh, nullptr);
  wchar_t dll[MAX_PATH], system[MAX_PATH];
  GetModuleFileNameW(pdh, dll, MAX_PATH);
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  std::wstring d(dll);
  EXPECT_EQ(_wcsicmp(d.substr(0, d.find_last_of(L'\\')).c_str(), system), 0);
  const char* override = std::getenv("WINEDLLOVERRIDES");
  EXPECT_TRUE(override == nullptr || std::string(override).find("pdh") == std::string::npos)
      << "the prefix's registry, not the environment, chooses the stand-in";
}

std::vector<std::wstring> SplitMulti(const wchar_t* p) {
  std::vector<std::wstring> out;
  while (p && *p) {
    out.emplace_back(p);
    p += out.back().size() + 1;
  }
  return out;
}

struct Query {
  PDH_HQUERY h = nullptr;
  Query() { EXPECT_EQ(PdhOpenQueryW(nullptr, 0, &h), ERROR_SUCCESS); }
  ~Query() {
    if (h) PdhCloseQuery(h);
  }
};

class StandinTest : public ::testing::Test {
 protected:
  SnapshotFile snap;

  PDH_STATUS ReadValue(const std::wstring& path, DWORD format, PDH_FMT_COUNTERVALUE* v, int collections = 1) {
    Query q;
    PDH_HCOUNTER c = nullptr;
    PDH_STATUS s = PdhAddCounterW(q.h, path.c_str(), 0, &c);
    if (s != ERROR_SUCCESS) return s;
    for (int i = 0; i < collections; ++i) PdhCollectQueryData(q.h);
    return PdhGetFormattedCounterValue(c, format, nullptr, v);
  }
};

const char kParsing[] =
    "\xEF\xBB\xBF# comment line\n"
    "\n"
    "Obj A\t\tPlain\t17\r\n"
    "Obj A\t\tFraction\t12.75\n"
    "Obj A\t\tNegative\t-3.5\n"
    "Obj A\t\tPoint Five\t.5\n"
    "Obj A\t\tPadded\t  42  \n"
    "Obj A\t\tBig\t129700000000000123\n"
    "Obj A\t\tHuge\t5000000000\n"
    "   # not a comment: a blank in front, and three fields\n"
    "Obj A\t\tFive Fields\t1\textra\n"
    "Obj A\t\tThree Fields\n"
    "Obj A\t\tExponent\t1e5\n"
    "Obj A\t\tWord\tabc\n"
    "Obj A\t\tTwo Points\t1.2.3\n"
    "Obj A\t\tEmpty\t\n"
    "Obj A\t\tNan\tnan\n"
    "\t\tNo Object\t1\n"
    "Obj A\t\t\t1\n"
    "Obj A\t\tBack\\slash\t1\n"
    "Obj (B)\t\tParen Object\t1\n"
    "Obj A\t\tBad \xC3 UTF-8\t1\n"
    "Obj A\t\tLater Wins\t1\n"
    "obj a\t\tlater wins\t2\n"
    "Multi\tone\tCache Size (MB)\t10\n"
    "Multi\ttwo (2)\tCache Size (MB)\t20\n"
    "Multi\tone\tHits\t1\n";

TEST_F(StandinTest, ParsesValuesAndSkipsWhatDoesNotFit) {
  ASSERT_TRUE(snap.Write(kParsing));
  struct Case { const wchar_t* path; double dbl; LONGLONG large; LONG lng; };
  const Case ok[] = {
      {L"\\Obj A\\Plain", 17, 17, 17},
      {L"\\Obj A\\Fraction", 12.75, 12, 12},
      {L"\\Obj A\\Negative", -3.5, -3, -3},
      {L"\\Obj A\\Point Five", 0.5, 0, 0},
      {L"\\Obj A\\Padded", 42, 42, 42},
      {L"\\Obj A\\Big", 129700000000000123.0, 129700000000000123LL, LONG_MAX},
      {L"\\Obj A\\Huge", 5e9, 5000000000LL, LONG_MAX},
      {L"\\OBJ A\\LATER WINS", 2, 2, 2},
      {L"\\Multi(one)\\Cache Size (MB)", 10, 10, 10},
      {L"\\Multi(two (2))\\Cache Size (MB)", 20, 20, 20},
  };
  for (const Case& c : ok) {
    SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)));
    PDH_FMT_COUNTERVALUE v{};
    ASSERT_EQ(ReadValue(c.path, PDH_FMT_DOUBLE, &v), ERROR_SUCCESS);
    EXPECT_EQ(v.CStatus, PDH_CSTATUS_VALID_DATA);
    EXPECT_DOUBLE_EQ(v.doubleValue, c.dbl);
    ASSERT_EQ(ReadValue(c.path, PDH_FMT_LARGE, &v), ERROR_SUCCESS);
    EXPECT_EQ(v.largeValue, c.large);
    ASSERT_EQ(ReadValue(c.path, PDH_FMT_LONG, &v), ERROR_SUCCESS);
    EXPECT_EQ(v.longValue, c.lng);
  }
  const wchar_t* skipped[] = {L"\\Obj A\\Five Fields", L"\\Obj A\\Three Fields", L"\\Obj A\\Exponent",
                              L"\\Obj A\\Word", L"\\Obj A\\Two Points", L"\\Obj A\\Empty", L"\\Obj A\\Nan",
                              L"\\Obj A\\Bad \u00C3 UTF-8"};
  for (const wchar_t* p : skipped) EXPECT_EQ(PdhValidatePathW(p), PDH_CSTATUS_NO_COUNTER) << p;
  EXPECT_EQ(PdhValidatePathW(L"\\Obj (B)\\Paren Object"), PDH_CSTATUS_NO_OBJECT);
  EXPECT_EQ(PdhValidatePathW(L"\\   # not a comment: a blank in front, and three fields\\x"),
            PDH_CSTATUS_NO_OBJECT);
  // Exactly the good counters, in order of first appearance.
  DWORD cc = 0, ic = 0;
  ASSERT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"Obj A", nullptr, &cc, nullptr, &ic, PERF_DETAIL_WIZARD, 0),
            static_cast<PDH_STATUS>(PDH_MORE_DATA));
  std::vector<wchar_t> counters(cc);
  ASSERT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"Obj A", counters.data(), &cc, nullptr, &ic, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(SplitMulti(counters.data()),
            (std::vector<std::wstring>{L"Plain", L"Fraction", L"Negative", L"Point Five", L"Padded", L"Big",
                                       L"Huge", L"Later Wins"}));
}

TEST_F(StandinTest, WithoutAFileThereAreNoObjects) {
  SetEnvironmentVariableW(L"QMX_PDH_SNAPSHOT", (snap.path() + L".absent").c_str());
  EXPECT_EQ(PdhValidatePathW(L"\\Obj A\\Plain"), PDH_CSTATUS_NO_OBJECT);
  SetEnvironmentVariableW(L"QMX_PDH_SNAPSHOT", nullptr);
  Query q;
  PDH_HCOUNTER c = nullptr;
  EXPECT_EQ(PdhAddCounterW(q.h, L"\\Obj A\\Plain", 0, &c), PDH_CSTATUS_NO_OBJECT);
}

TEST_F(StandinTest, EnumerationTellsTheSizesFirst) {
  ASSERT_TRUE(snap.Write("Multi\tone\tA\t1\nMulti\ttwo\tA\t2\nMulti\tone\tBee\t3\nSingle\t\tX\t1\n"));
  // Counters "A\0Bee\0\0" = 7, instances "one\0two\0\0" = 9 characters.
  DWORD cc = 0, ic = 0;
  EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"Multi", nullptr, &cc, nullptr, &ic, PERF_DETAIL_WIZARD, 0),
            static_cast<PDH_STATUS>(PDH_MORE_DATA));
  EXPECT_EQ(cc, 7u);
  EXPECT_EQ(ic, 9u);
  std::vector<wchar_t> counters(cc), instances(ic);
  DWORD shortIc = ic - 1;
  EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"Multi", counters.data(), &cc, instances.data(), &shortIc,
                                PERF_DETAIL_WIZARD, 0),
            static_cast<PDH_STATUS>(PDH_MORE_DATA));
  EXPECT_EQ(shortIc, 9u);
  ASSERT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"multi", counters.data(), &cc, instances.data(), &ic,
                                PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(SplitMulti(counters.data()), (std::vector<std::wstring>{L"A", L"Bee"}));
  EXPECT_EQ(SplitMulti(instances.data()), (std::vector<std::wstring>{L"one", L"two"}));

  // Single-instance object: no instance list at all.
  cc = ic = 0;
  EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"Single", nullptr, &cc, nullptr, &ic, PERF_DETAIL_WIZARD, 0),
            static_cast<PDH_STATUS>(PDH_MORE_DATA));
  EXPECT_EQ(cc, 3u);
  EXPECT_EQ(ic, 0u);
  std::vector<wchar_t> single(cc);
  EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"Single", single.data(), &cc, nullptr, &ic, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);

  // The ANSI form counts bytes the same way.
  DWORD acc = 0, aic = 0;
  EXPECT_EQ(PdhEnumObjectItemsA(nullptr, nullptr, "Multi", nullptr, &acc, nullptr, &aic, PERF_DETAIL_WIZARD, 0),
            static_cast<PDH_STATUS>(PDH_MORE_DATA));
  std::vector<char> ac(acc), ai(aic);
  ASSERT_EQ(PdhEnumObjectItemsA(nullptr, nullptr, "Multi", ac.data(), &acc, ai.data(), &aic, PERF_DETAIL_WIZARD, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(ai.data(), ai.size()), std::string("one\0two\0\0", 9));

  EXPECT_EQ(PdhEnumObjectItemsW(nullptr, nullptr, L"Nothing", nullptr, &cc, nullptr, &ic, PERF_DETAIL_WIZARD, 0),
            PDH_CSTATUS_NO_OBJECT);
}

TEST_F(StandinTest, FormatsAndStatuses) {
  ASSERT_TRUE(snap.Write("O\ti\tC\t7.9\nO\ti\tMsgs/sec\t2.5\nO\ti\tItems Per Second\t4\n"));
  PDH_FMT_COUNTERVALUE v{};
  EXPECT_EQ(ReadValue(L"\\O(i)\\C", PDH_FMT_DOUBLE | PDH_FMT_1000, &v), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(v.doubleValue, 7900);
  EXPECT_EQ(ReadValue(L"\\O(i)\\C", PDH_FMT_LONG | PDH_FMT_NOCAP100, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 7);
  EXPECT_EQ(ReadValue(L"\\O(i)\\C", PDH_FMT_LONG | PDH_FMT_DOUBLE, &v), PDH_INVALID_ARGUMENT);
  EXPECT_EQ(ReadValue(L"\\O(i)\\C", PDH_FMT_RAW, &v), PDH_INVALID_ARGUMENT);
  // Not collected yet.
  EXPECT_EQ(ReadValue(L"\\O(i)\\C", PDH_FMT_LONG, &v, 0), PDH_INVALID_DATA);
  EXPECT_EQ(v.CStatus, PDH_CSTATUS_INVALID_DATA);
  // Rates need a second collection.
  for (const wchar_t* rate : {L"\\O(i)\\Msgs/sec", L"\\O(i)\\Items Per Second"}) {
    EXPECT_EQ(ReadValue(rate, PDH_FMT_DOUBLE, &v, 1), PDH_INVALID_DATA) << rate;
    EXPECT_EQ(ReadValue(rate, PDH_FMT_DOUBLE, &v, 2), ERROR_SUCCESS) << rate;
  }
  EXPECT_DOUBLE_EQ(v.doubleValue, 4);
  // Unknown instance: adding works, reading says why it has no data; validating refuses it.
  EXPECT_EQ(ReadValue(L"\\O(j)\\C", PDH_FMT_LONG, &v), PDH_INVALID_DATA);
  EXPECT_EQ(v.CStatus, PDH_CSTATUS_NO_INSTANCE);
  EXPECT_EQ(PdhValidatePathW(L"\\O(j)\\C"), PDH_CSTATUS_NO_INSTANCE);
  EXPECT_EQ(PdhValidatePathW(L"\\O(i)\\C"), ERROR_SUCCESS);
  EXPECT_EQ(PdhValidatePathA("\\O(i)\\C"), ERROR_SUCCESS);
  EXPECT_EQ(PdhValidatePathW(L"\\O(i)\\D"), PDH_CSTATUS_NO_COUNTER);
  EXPECT_EQ(PdhValidatePathW(L"O\\C"), PDH_CSTATUS_BAD_COUNTERNAME);
  EXPECT_EQ(PdhValidatePathW(L"\\\\nosuchmachine\\O(i)\\C"), PDH_CSTATUS_NO_MACHINE);
  EXPECT_EQ(PdhValidatePathW(L"\\\\.\\O(i)\\C"), ERROR_SUCCESS);
}

TEST_F(StandinTest, HandlesAreCheckedAndReleased) {
  ASSERT_TRUE(snap.Write("O\t\tC\t1\n"));
  PDH_HQUERY q = nullptr;
  ASSERT_EQ(PdhOpenQueryA(nullptr, 0, &q), ERROR_SUCCESS);
  EXPECT_EQ(PdhCollectQueryData(q), static_cast<PDH_STATUS>(PDH_NO_DATA));
  PDH_HCOUNTER a = nullptr, b = nullptr;
  ASSERT_EQ(PdhAddEnglishCounterA(q, "\\O\\C", 0, &a), ERROR_SUCCESS);
  ASSERT_EQ(PdhAddEnglishCounterW(q, L"\\O\\C", 0, &b), ERROR_SUCCESS);
  EXPECT_EQ(PdhAddCounterW(q, L"\\O(*)\\C", 0, &b), PDH_CSTATUS_BAD_COUNTERNAME);
  EXPECT_EQ(PdhRemoveCounter(a), ERROR_SUCCESS);
  EXPECT_EQ(PdhRemoveCounter(a), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCollectQueryData(q), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE v{};
  EXPECT_EQ(PdhGetFormattedCounterValue(b, PDH_FMT_LONG, nullptr, &v), ERROR_SUCCESS);
  EXPECT_EQ(PdhCloseQuery(q), ERROR_SUCCESS);
  EXPECT_EQ(PdhGetFormattedCounterValue(b, PDH_FMT_LONG, nullptr, &v), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCloseQuery(q), PDH_INVALID_HANDLE);
  EXPECT_EQ(PdhCollectQueryData(q), PDH_INVALID_HANDLE);
}

TEST_F(StandinTest, ReadsTheFileAgainWhenItChanges) {
  ASSERT_TRUE(snap.Write("O\ta\tC\t1\n"));
  Query q;
  PDH_HCOUNTER a = nullptr, b = nullptr;
  ASSERT_EQ(PdhAddCounterW(q.h, L"\\O(a)\\C", 0, &a), ERROR_SUCCESS);
  ASSERT_EQ(PdhAddCounterW(q.h, L"\\O(b)\\C", 0, &b), ERROR_SUCCESS);  // not there yet
  {
    // A query whose counters all lack data says so: how a caller learns an instance is missing.
    Query only;
    PDH_HCOUNTER c = nullptr;
    ASSERT_EQ(PdhAddCounterW(only.h, L"\\O(b)\\C", 0, &c), ERROR_SUCCESS);
    EXPECT_EQ(PdhCollectQueryData(only.h), static_cast<PDH_STATUS>(PDH_NO_DATA));
  }
  ASSERT_EQ(PdhCollectQueryData(q.h), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE v{};
  ASSERT_EQ(PdhGetFormattedCounterValue(a, PDH_FMT_LONG, nullptr, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 1);
  EXPECT_EQ(PdhGetFormattedCounterValue(b, PDH_FMT_LONG, nullptr, &v), PDH_INVALID_DATA);

  ASSERT_TRUE(snap.Write("O\ta\tC\t2\nO\tb\tC\t30\n"));
  ASSERT_EQ(PdhCollectQueryData(q.h), ERROR_SUCCESS);
  ASSERT_EQ(PdhGetFormattedCounterValue(a, PDH_FMT_LONG, nullptr, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 2);
  ASSERT_EQ(PdhGetFormattedCounterValue(b, PDH_FMT_LONG, nullptr, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 30);

  // Same size, new contents: the modification time alone tells.
  Sleep(20);
  ASSERT_TRUE(snap.Write("O\ta\tC\t3\nO\tb\tC\t40\n"));
  ASSERT_EQ(PdhCollectQueryData(q.h), ERROR_SUCCESS);
  ASSERT_EQ(PdhGetFormattedCounterValue(b, PDH_FMT_LONG, nullptr, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 40);

  // The instance goes away again.
  ASSERT_TRUE(snap.Write("O\ta\tC\t4\n"));
  ASSERT_EQ(PdhCollectQueryData(q.h), ERROR_SUCCESS);
  EXPECT_EQ(PdhGetFormattedCounterValue(b, PDH_FMT_LONG, nullptr, &v), PDH_INVALID_DATA);
  EXPECT_EQ(v.CStatus, PDH_CSTATUS_NO_INSTANCE);
}

TEST_F(StandinTest, ExpandsWildcards) {
  ASSERT_TRUE(snap.Write("O\ta\tHits\t1\nO\tb\tHits\t2\nO\tb\tMisses\t3\n"));
  DWORD cch = 0;
  ASSERT_EQ(PdhExpandWildCardPathW(nullptr, L"\\O(*)\\Hits", nullptr, &cch, 0),
            static_cast<PDH_STATUS>(PDH_MORE_DATA));
  std::vector<wchar_t> list(cch);
  ASSERT_EQ(PdhExpandWildCardPathW(nullptr, L"\\O(*)\\Hits", list.data(), &cch, 0), ERROR_SUCCESS);
  EXPECT_EQ(SplitMulti(list.data()), (std::vector<std::wstring>{L"\\O(a)\\Hits", L"\\O(b)\\Hits"}));
  cch = 0;
  ASSERT_EQ(PdhExpandWildCardPathA(nullptr, "\\O(b)\\*", nullptr, &cch, 0), static_cast<PDH_STATUS>(PDH_MORE_DATA));
  std::vector<char> alist(cch);
  ASSERT_EQ(PdhExpandWildCardPathA(nullptr, "\\O(b)\\*", alist.data(), &cch, 0), ERROR_SUCCESS);
  EXPECT_EQ(std::string(alist.data(), alist.size()), std::string("\\O(b)\\Hits\0\\O(b)\\Misses\0\0", 25));
  EXPECT_EQ(PdhExpandWildCardPathW(nullptr, L"\\P(*)\\Hits", nullptr, &cch, 0), PDH_CSTATUS_NO_OBJECT);
}

}  // namespace
