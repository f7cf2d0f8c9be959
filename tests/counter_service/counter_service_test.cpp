// The counter service through COM, collecting from the PDH stand-in.
#include <algorithm>
#include <atomic>
#include <climits>
#include <sstream>
#include <thread>

#include "service_fixture.h"

namespace cstest {
namespace {

DWORD RunProcess(const std::wstring& commandLine) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = commandLine;
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return ~0u;
  WaitForSingleObject(pi.hProcess, 30000);
  DWORD code = ~0u;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

std::wstring RegText(const std::wstring& key, const wchar_t* name) {
  wchar_t buf[1024];
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return buf;
}

std::wstring Lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
  return s;
}

std::string AmSnapshotText() {
  return "MSExchange Active Manager\tDB1\tDatabase Copy Role Active\t1\n"
         "MSExchange Active Manager\tDB1\tDatabase Mounted\t1\n";
}

TEST(CounterServiceRegistration, Regsvr32RegistersAndUnregistersTheProgId) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  const std::wstring dll = DllPath();
  ASSERT_EQ(RunProcess(L"regsvr32.exe /s /u \"" + dll + L"\""), 0u);
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(L"" QMX_DUZOVEV_PROGID, &clsid), static_cast<HRESULT>(0x800401F3));
  Com<IDuzovev> none;
  EXPECT_EQ(CoCreateInstance(CLSID_Duzovev, nullptr, CLSCTX_ALL, IID_IDuzovev, reinterpret_cast<void**>(&none.p)),
            REGDB_E_CLASSNOTREG);

  ASSERT_EQ(RunProcess(L"regsvr32.exe /s \"" + dll + L"\""), 0u);
  ASSERT_EQ(CLSIDFromProgID(L"" QMX_DUZOVEV_PROGID, &clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_Duzovev));
  wchar_t text[64];
  StringFromGUID2(CLSID_Duzovev, text, 64);
  const std::wstring key = std::wstring(L"CLSID\\") + text;
  EXPECT_EQ(Lower(RegText(key + L"\\InprocServer32", nullptr)), Lower(dll));
  EXPECT_EQ(RegText(key + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_EQ(RegText(key + L"\\ProgID", nullptr), L"" QMX_DUZOVEV_PROGID);

  {
    Com<IDuzovev> svc;
    ASSERT_EQ(CreateService(&svc), S_OK);
    Com<IUnknown> other;
    EXPECT_EQ(svc->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&other.p)), E_NOINTERFACE);
    HMODULE m = GetModuleHandleW(dll.c_str());
    ASSERT_NE(m, nullptr);
    auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(m, "DllCanUnloadNow")));
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_FALSE);
    svc.reset();
    EXPECT_EQ(canUnload(), S_OK);
  }
  CoUninitialize();
}

// The agent creates the service on a single-threaded apartment thread and its framework calls it
// from other threads through the same pointer: "Both" keeps the object unmarshalled.
TEST(CounterServiceApartment, CreatedInAnStaAndCalledFromOtherThreads) {
  SnapshotFile snap;
  ASSERT_TRUE(snap.Write(AmSnapshotText()));
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  ASSERT_EQ(RegisterService(), S_OK);
  {
    Com<IDuzovev> svc;
    ASSERT_EQ(CreateService(&svc), S_OK);
    ULONGLONG h = 0;
    ASSERT_EQ(svc->DescribeSampleI(1061, 240, 0, 0, 0, 1, &h), S_OK);
    ASSERT_EQ(svc->Initialize(5, 0, 0), S_OK);
    ULONG rows = 0;
    std::thread t([&] {  // no COM set-up on this thread, as on the framework's
      WaitFor([&] { return svc->SampleRows(h, &rows) == S_OK && rows == 1; }, 3000);
    });
    t.join();
    EXPECT_EQ(rows, 1u);
    EXPECT_EQ(svc->Terminate(), S_OK);
  }
  CoUninitialize();
}

TEST_F(ServiceTest, UnknownDefinitionsAndHandlesFail) {
  ASSERT_TRUE(snap.Write(""));
  struct Case { ULONG id, header; };
  for (Case c : {Case{835, 240}, Case{99999, 240}, Case{815, 0}, Case{815, 7000}}) {
    ULONGLONG h = 77;
    HRESULT hr = svc->DescribeSampleI(c.id, c.header, 0, 0, 0, 1, &h);
    EXPECT_TRUE(FAILED(hr)) << c.id << "/" << c.header;
    EXPECT_NE(hr, E_ACCESSDENIED);  // that one the agent would accept
    EXPECT_EQ(h, 0u);
  }
  ULONG rows = 0, written = 0;
  BYTE buf[8];
  EXPECT_EQ(svc->SampleRows(12345, &rows), E_HANDLE);
  EXPECT_EQ(svc->SampleCopy(12345, 8, &written, buf), E_HANDLE);
  EXPECT_EQ(svc->SampleData(12345, 8, &written, buf), E_HANDLE);
  EXPECT_EQ(svc->SampleLock(12345, DUZOVEV_LOCK), E_HANDLE);
  ULONGLONG h = Describe(1061);
  EXPECT_TRUE(FAILED(svc->DescribeSampleFixedData(h, "_NOSUCH_", "x", 1)));
  EXPECT_EQ(svc->Initialize(0, 0, 0), E_INVALIDARG);
}

// The snapshot a definition reads: every counter but `omit` for every instance, each value
// distinct, with a fraction wherever the field scales (so rounding matters).
struct Expected {
  std::string text;
  std::map<std::string, double> values;  // instance + "\t" + counter -> value
};

double ValueFor(const qmx::CounterField& f, int k, int inst) {
  if (f.size == 8) return 129700000000000000.0 + 1000 * k + inst;  // a file time: exact via LARGE
  if (f.scale < 0.01) return (k + 3) * 1048576.0 * (inst + 2) + 600000;
  return (k + 1) * 3 + inst * 1000 + (f.scale == 1 ? 0 : 0.37);
}

Expected SnapshotFor(const qmx::CounterSetDefinition& def, const std::vector<std::string>& instances,
                     const std::string& omit) {
  Expected e;
  std::ostringstream out;
  out << "# test snapshot\n";
  for (size_t i = 0; i < instances.size(); ++i)
    for (size_t k = 0; k < def.fields.size(); ++k) {
      const qmx::CounterField& f = def.fields[k];
      if (f.isInstance() || f.name == omit) continue;
      std::string key = instances[i] + "\t" + f.name;
      if (e.values.count(key)) continue;  // a name given twice (1116) has one value
      double v = ValueFor(f, static_cast<int>(k), static_cast<int>(i));
      e.values[key] = v;
      char num[64];
      if (f.size == 8) snprintf(num, sizeof num, "%.0f", v);
      else snprintf(num, sizeof num, "%.2f", v);
      out << def.object << "\t" << instances[i] << "\t" << f.name << "\t" << num << "\n";
    }
  e.text = out.str();
  return e;
}

void ExpectRowsMatch(const qmx::CounterSetDefinition& def, const Fetch& f, const std::vector<std::string>& instances,
                     const Expected& e, const std::string& origin) {
  ASSERT_EQ(f.rows, instances.size());
  SYSTEMTIME now;
  GetLocalTime(&now);
  char today[16];
  snprintf(today, sizeof today, "%03d%02d%02d", now.wYear - 1900, now.wMonth, now.wDay);
  for (size_t r = 0; r < f.rows; ++r) {
    SCOPED_TRACE("row " + std::to_string(r + 1));
    Row row = f.row(r);
    EXPECT_EQ(row.Bytes(0, 64), Padded(origin, 64, ' '));
    EXPECT_EQ(row.rowNo(), static_cast<int32_t>(r + 1));
    EXPECT_EQ(row.sampleNo(), f.sampleNo());
    std::string ts = row.timestamp();
    EXPECT_EQ(ts.find_first_not_of("0123456789"), std::string::npos) << ts;
    EXPECT_EQ(ts.substr(0, 7), today);
    EXPECT_EQ(ts.substr(13), "000");
    const std::string inst = def.multiInstance() ? instances[r] : std::string();
    for (size_t k = 0; k < def.fields.size(); ++k) {
      const qmx::CounterField& fd = def.fields[k];
      SCOPED_TRACE("field " + fd.name + " at " + std::to_string(fd.offset));
      if (fd.isInstance()) {
        EXPECT_EQ(row.Bytes(fd.offset, fd.size), Padded(inst, fd.size, '\0'));
        continue;
      }
      auto it = e.values.find(inst + "\t" + fd.name);
      if (it == e.values.end()) {  // not on this server: the marker, all bits one
        EXPECT_EQ(row.Bytes(fd.offset, fd.size), std::string(fd.size, '\xFF'));
      } else if (fd.size == 8) {
        EXPECT_EQ(row.I64(fd.offset), static_cast<int64_t>(std::llround(it->second * fd.scale)));
      } else {
        // A file time in a 4-byte field (1116) holds at the largest 32-bit value.
        long long want = std::llround(it->second * fd.scale);
        want = std::min<long long>(std::max<long long>(want, INT32_MIN), INT32_MAX);
        EXPECT_EQ(row.I32(fd.offset), static_cast<int32_t>(want));
      }
    }
  }
}

// Multi- and single-instance definitions, a 600-byte instance name, two instance fields (800),
// 8-byte time stamps (976, 1116) and a name given twice (1116).
class DefinitionRows : public ServiceTest, public ::testing::WithParamInterface<int> {};

TEST_P(DefinitionRows, EveryFieldAtItsOffsetScaledWithTheMarkerForAMissingCounter) {
  const int id = GetParam();
  qmx::CounterSetDefinition def = Definition(id);
  ASSERT_FALSE(def.fields.empty());
  std::vector<std::string> instances = def.multiInstance()
                                           ? std::vector<std::string>{"Mailbox Database 01", "SG2-Public \xC3\xA9t\xC3\xA9"}
                                           : std::vector<std::string>{""};
  // The second counter of the definition is not on this server.
  std::string omit;
  for (const auto& f : def.fields)
    if (!f.isInstance() && omit.empty() && &f != &def.fields.front()) omit = f.name;
  if (omit.empty()) omit = def.fields.back().name;
  Expected e = SnapshotFor(def, instances, omit);
  ASSERT_TRUE(snap.Write(e.text));

  ULONGLONG h = Describe(id, "EXHUB01");
  ASSERT_EQ(svc->Initialize(5, 0, 0), S_OK);
  // The second round (about a second after the first) has every rate formed.
  Fetch f;
  ASSERT_TRUE(WaitFor([&] { f = CopyRows(svc.p, h, def.rowSize); return f.sampleNo() >= 2; }, 8000))
      << "rows " << f.rows << " sample " << f.sampleNo();
  ExpectRowsMatch(def, f, instances, e, "EXHUB01");
}

INSTANTIATE_TEST_SUITE_P(Definitions, DefinitionRows, ::testing::Values(815, 800, 810, 976, 1116, 951));

TEST_F(ServiceTest, FirstRoundComesAtOnceWithRatesMarkedThenRatesFollow) {
  const int id = 861;  // MSExchange Sender Id Agent: counts and rates
  qmx::CounterSetDefinition def = Definition(id);
  Expected e = SnapshotFor(def, {""}, "");
  ASSERT_TRUE(snap.Write(e.text));
  ASSERT_EQ(svc->Initialize(60, 0, 0), S_OK);  // rows must not wait for the interval
  ULONGLONG h = Describe(id);
  Fetch first;
  ASSERT_TRUE(WaitFor([&] { first = CopyRows(svc.p, h, def.rowSize); return first.rows == 1; }, 1500));
  Fetch second;
  ASSERT_TRUE(WaitFor([&] { second = CopyRows(svc.p, h, def.rowSize); return second.sampleNo() == 2; }, 3000));
  int rates = 0;
  for (const auto& fd : def.fields) {
    bool rate = fd.name.find("/sec") != std::string::npos;
    rates += rate;
    double v = e.values.at("\t" + fd.name);
    if (first.sampleNo() == 1) {
      EXPECT_EQ(first.row(0).I32(fd.offset), rate ? -1 : std::llround(v * fd.scale)) << fd.name;
    }
    EXPECT_EQ(second.row(0).I32(fd.offset), std::llround(v * fd.scale)) << fd.name;
  }
  EXPECT_GT(rates, 0);
  Sleep(1500);  // nothing more before the interval
  EXPECT_EQ(CopyRows(svc.p, h, def.rowSize).sampleNo(), 2);
}

// MSExchange Active Manager: the instance name and two counters.
const char kAm[] = "MSExchange Active Manager";

std::string AmSnapshot(const std::vector<std::pair<std::string, int>>& rows) {
  std::string s;
  for (const auto& r : rows) {
    s += std::string(kAm) + "\t" + r.first + "\tDatabase Copy Role Active\t" + std::to_string(r.second) + "\n";
    s += std::string(kAm) + "\t" + r.first + "\tDatabase Mounted\t1\n";
  }
  return s;
}

std::vector<std::string> Names(const Fetch& f, int offset, int width) {
  std::vector<std::string> out;
  for (size_t r = 0; r < f.rows; ++r) out.push_back(f.row(r).Bytes(offset, width).c_str());
  return out;
}

TEST_F(ServiceTest, NextRoundFollowsTheSnapshotAndItsInstances) {
  qmx::CounterSetDefinition def = Definition(1061);
  const auto& role = def.fields[1];
  ASSERT_EQ(role.name, "Database Copy Role Active");
  ASSERT_TRUE(snap.Write(AmSnapshot({{"DB1", 5}, {"DB2", 6}})));
  ULONGLONG h = Describe(1061);
  ASSERT_EQ(svc->Initialize(1, 0, 0), S_OK);
  Fetch f;
  ASSERT_TRUE(WaitFor([&] { f = CopyRows(svc.p, h, def.rowSize); return f.rows == 2; }, 3000));
  EXPECT_EQ(f.row(0).I32(role.offset), 5);

  ASSERT_TRUE(snap.Write(AmSnapshot({{"DB1", 7}, {"DB2", 6}, {"DB3", 8}})));
  ASSERT_TRUE(WaitFor([&] { f = CopyRows(svc.p, h, def.rowSize); return f.rows == 3; }, 4000));
  EXPECT_EQ(Names(f, 88, 600), (std::vector<std::string>{"DB1", "DB2", "DB3"}));
  EXPECT_EQ(f.row(0).I32(role.offset), 7);
  EXPECT_EQ(f.row(2).I32(role.offset), 8);
  EXPECT_EQ(f.row(2).rowNo(), 3);

  ASSERT_TRUE(snap.Write(AmSnapshot({{"DB3", 9}})));
  ASSERT_TRUE(WaitFor([&] { f = CopyRows(svc.p, h, def.rowSize); return f.rows == 1; }, 4000));
  EXPECT_EQ(Names(f, 88, 600), (std::vector<std::string>{"DB3"}));
  EXPECT_EQ(f.row(0).I32(role.offset), 9);
  EXPECT_EQ(f.row(0).rowNo(), 1);
}

TEST_F(ServiceTest, AnAbsentObjectGivesNoRowsUntilItAppears) {
  qmx::CounterSetDefinition def = Definition(1076);  // MSExchange Replication Server, one row
  ASSERT_TRUE(snap.Write(AmSnapshot({{"DB1", 1}})));
  ULONGLONG h = Describe(1076);
  ASSERT_EQ(svc->Initialize(1, 0, 0), S_OK);
  Fetch f;
  ASSERT_TRUE(WaitFor([&] { f = CopyRows(svc.p, h, def.rowSize); return f.hr == S_OK && f.bytes.empty(); }, 2000));
  Sleep(1200);
  f = CopyRows(svc.p, h, def.rowSize);
  EXPECT_EQ(f.hr, S_OK);
  EXPECT_EQ(f.rows, 0u);
  ASSERT_TRUE(snap.Write("MSExchange Replication Server\t\tGetCopyStatus Server-Side Calls\t12\n"));
  ASSERT_TRUE(WaitFor([&] { f = CopyRows(svc.p, h, def.rowSize); return f.rows == 1; }, 4000));
  EXPECT_EQ(f.row(0).I32(def.fields[0].offset), 12);
  EXPECT_EQ(f.row(0).I32(def.fields[1].offset), -1);  // the other counter is not there
}

TEST_F(ServiceTest, CopyNeedsRoomAndTheLockedPathHoldsItsRound) {
  qmx::CounterSetDefinition def = Definition(1061);
  const ULONG rs = static_cast<ULONG>(def.rowSize);
  ASSERT_TRUE(snap.Write(AmSnapshot({{"DB1", 1}, {"DB2", 2}})));
  ULONGLONG h = Describe(1061);
  ASSERT_EQ(svc->Initialize(1, 0, 0), S_OK);
  ASSERT_TRUE(WaitFor([&] { return CopyRows(svc.p, h, rs).rows == 2; }, 3000));

  std::vector<BYTE> buf(2 * rs + 10, 0xCC);
  ULONG written = 99;
  HRESULT hr = svc->SampleCopy(h, 2 * rs - 1, &written, buf.data());
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(buf[0], 0xCC);

  // The agent's locked path: lock, rows, data, unlock.
  ASSERT_EQ(svc->SampleLock(h, DUZOVEV_LOCK), S_OK);
  ULONG rows = 0;
  ASSERT_EQ(svc->SampleRows(h, &rows), S_OK);
  EXPECT_EQ(rows, 2u);
  ASSERT_EQ(svc->SampleData(h, 2 * rs, &written, buf.data()), S_OK);
  EXPECT_EQ(written, 2 * rs);
  const int32_t lockedSample = Row{buf.data()}.sampleNo();
  // Too small: whole rows only.
  std::vector<BYTE> small(rs + rs / 2, 0xCC);
  hr = svc->SampleData(h, static_cast<ULONG>(small.size()), &written, small.data());
  EXPECT_TRUE(SUCCEEDED(hr));
  EXPECT_EQ(written, rs);
  EXPECT_EQ(small[rs], 0xCC);
  EXPECT_EQ(Row{small.data()}.rowNo(), 1);

  // While this thread holds the lock its round stays put; others see newer rounds.
  int32_t otherSample = 0;
  ASSERT_TRUE(WaitFor([&] {
    std::thread t([&] { otherSample = CopyRows(svc.p, h, rs).sampleNo(); });
    t.join();
    return otherSample > lockedSample;
  }, 4000));
  ASSERT_EQ(svc->SampleData(h, 2 * rs, &written, buf.data()), S_OK);
  EXPECT_EQ(Row{buf.data()}.sampleNo(), lockedSample);
  EXPECT_EQ(CopyRows(svc.p, h, rs).sampleNo(), lockedSample);

  EXPECT_EQ(svc->SampleLock(h, DUZOVEV_UNLOCK), S_OK);
  EXPECT_GE(CopyRows(svc.p, h, rs).sampleNo(), otherSample);
  EXPECT_TRUE(FAILED(svc->SampleLock(h, DUZOVEV_UNLOCK)));  // not locked any more
  EXPECT_EQ(svc->SampleLock(h, 3), E_INVALIDARG);
}

TEST_F(ServiceTest, ReadersOnManyThreadsOnlySeeWholeRounds) {
  qmx::CounterSetDefinition def = Definition(1061);
  const ULONG rs = static_cast<ULONG>(def.rowSize);
  ASSERT_TRUE(snap.Write(AmSnapshot({{"DB1", 2}, {"DB2", 2}})));
  ULONGLONG h = Describe(1061);
  ASSERT_EQ(svc->Initialize(1, 0, 0), S_OK);
  ASSERT_TRUE(WaitFor([&] { return CopyRows(svc.p, h, rs).rows == 2; }, 3000));

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, reads{0};
  auto check = [&](const std::vector<uint8_t>& bytes, ULONG rows) {
    // Within one round every row has the same sample number and the same counter value (each
    // snapshot gives all instances one value), and rows count from 1.
    for (ULONG r = 0; r < rows; ++r) {
      Row row{bytes.data() + static_cast<size_t>(r) * rs}, first{bytes.data()};
      if (row.sampleNo() != first.sampleNo() || row.rowNo() != static_cast<int32_t>(r + 1) ||
          row.I32(def.fields[1].offset) != first.I32(def.fields[1].offset) || row.I32(def.fields[1].offset) < 2)
        ++bad;
    }
  };
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&, t] {
      while (!stop) {
        if (t % 2) {
          Fetch f = CopyRows(svc.p, h, rs, 8);
          if (FAILED(f.hr)) ++bad;
          else check(f.bytes, f.rows);
        } else {
          ULONG rows = 0, written = 0;
          if (svc->SampleLock(h, DUZOVEV_LOCK) != S_OK) { ++bad; continue; }
          svc->SampleRows(h, &rows);
          std::vector<uint8_t> b(static_cast<size_t>(rows) * rs);
          if (svc->SampleData(h, static_cast<ULONG>(b.size()), &written, b.data()) != S_OK || written != b.size()) ++bad;
          else check(b, rows);
          svc->SampleLock(h, DUZOVEV_UNLOCK);
        }
        ++reads;
      }
    });
  for (int i = 0; i < 6; ++i) {
    std::vector<std::pair<std::string, int>> rows;
    int n = 2 + i % 3;
    for (int k = 0; k < n; ++k) rows.push_back({"DB" + std::to_string(k), n});
    snap.Write(AmSnapshot(rows));
    Sleep(700);
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 20);
}

TEST_F(ServiceTest, TerminateStopsPromptlyAndCollectingCanStartAgain) {
  qmx::CounterSetDefinition def = Definition(1061);
  ASSERT_TRUE(snap.Write(AmSnapshot({{"DB1", 1}})));
  ULONGLONG h = Describe(1061);
  ASSERT_EQ(svc->Initialize(60, 0, 0), S_OK);
  ASSERT_TRUE(WaitFor([&] { return CopyRows(svc.p, h, def.rowSize).sampleNo() >= 2; }, 4000));
  ULONGLONG t0 = GetTickCount64();
  EXPECT_EQ(svc->Terminate(), S_OK);
  EXPECT_LT(GetTickCount64() - t0, 5000u);  // waits on an event, not the 60 s interval

  // Stopped: no more rounds; the last one stays readable.
  ASSERT_EQ(svc->Initialize(1, 0, 0), S_OK);
  EXPECT_EQ(svc->Initialize(1, 0, 0), S_FALSE);  // already collecting
  int32_t before = CopyRows(svc.p, h, def.rowSize).sampleNo();
  ASSERT_TRUE(WaitFor([&] { return CopyRows(svc.p, h, def.rowSize).sampleNo() > before; }, 3000));
  EXPECT_EQ(svc->Terminate(), S_OK);
  int32_t stopped = CopyRows(svc.p, h, def.rowSize).sampleNo();
  Sleep(2200);
  Fetch f = CopyRows(svc.p, h, def.rowSize);
  EXPECT_EQ(f.sampleNo(), stopped);
  EXPECT_EQ(f.rows, 1u);
  EXPECT_EQ(svc->Terminate(), S_OK);  // twice is harmless
}

}  // namespace
}  // namespace cstest
