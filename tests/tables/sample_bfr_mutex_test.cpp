// The buffer's named mutex under Wine: the per-process name, a clash, waits and releases.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "sample_bfr.h"

namespace {

std::string MutexName(const char* table) {
  char name[128];
  std::snprintf(name, sizeof name, "%08X.%s.ZrtSampleBfr", static_cast<unsigned>(GetCurrentProcessId()), table);
  return name;
}

TEST(SampleBfrMutex, CreatedUnderThePerProcessName) {
  SampleBfr b(0, 1);
  ASSERT_EQ(b.InitMutex("QMX.MSEDB"), 1);
  ASSERT_NE(b.hMutex, nullptr);
  std::string name = MutexName("QMX.MSEDB");
  EXPECT_EQ(name.size(), 8 + 1 + 9 + 1 + 12u);
  HANDLE other = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
  ASSERT_NE(other, nullptr) << name;
  // The creator gave up its initial ownership: another thread can take the mutex at once.
  DWORD r = WAIT_FAILED;
  std::thread([&] {
    r = WaitForSingleObject(other, 0);
    if (r == WAIT_OBJECT_0) ReleaseMutex(other);
  }).join();
  EXPECT_EQ(r, WAIT_OBJECT_0);
  CloseHandle(other);
  b.Reset();
  EXPECT_EQ(b.hMutex, nullptr);
  EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
}

TEST(SampleBfrMutex, SecondBufferOfTheSameTableHasNone) {
  SampleBfr first(0, 1), second(0, 1);
  ASSERT_EQ(first.InitMutex("QMX.MSEIS"), 1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(second.InitMutex("QMX.MSEIS"), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Mutex " + MutexName("QMX.MSEIS") + " already exists.\n");
  EXPECT_EQ(second.hMutex, nullptr);
}

TEST(SampleBfrMutex, WaitAndRelease) {
  SampleBfr b(0, 1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(b.Wait(), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "No serialization handle established for this resource.\n");
  ASSERT_EQ(b.InitMutex("QMX.MSEAF"), 1);
  void* h = b.Wait();
  EXPECT_EQ(h, b.hMutex);
  EXPECT_EQ(b.Release(h), 1);

  std::ostringstream bad;
  bad << "Invalid mutex handle: " << static_cast<void*>(nullptr) << "\n";
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(b.Release(nullptr), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), bad.str());

  // Not owned by this thread any more: the system refuses.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(b.Release(h), 0);
  std::string refused = ::testing::internal::GetCapturedStdout();
  std::ostringstream start;
  start << "Unable to release mutex with handle: " << h << " Error code: ";
  EXPECT_EQ(refused.rfind(start.str(), 0), 0u) << refused;
}

TEST(SampleBfrMutex, WaitTimesOutWhileAnotherThreadHoldsIt) {
  SampleBfr b(0, 1);
  ASSERT_EQ(b.InitMutex("QMX.MSEOWA"), 1);
  HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr), done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    WaitForSingleObject(static_cast<HANDLE>(b.hMutex), INFINITE);
    SetEvent(taken);
    WaitForSingleObject(done, INFINITE);
    ReleaseMutex(static_cast<HANDLE>(b.hMutex));
  });
  WaitForSingleObject(taken, INFINITE);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(b.Wait(), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Timed out waiting for resource.\nSerialization failed.\n");
  SetEvent(done);
  holder.join();
  CloseHandle(taken);
  CloseHandle(done);
}

TEST(SampleBfrMutex, AbandonedMutexIsReportedAndNotKept) {
  SampleBfr b(0, 1);
  ASSERT_EQ(b.InitMutex("QMX.MSERMS"), 1);
  std::thread([&] { WaitForSingleObject(static_cast<HANDLE>(b.hMutex), INFINITE); }).join();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(b.Wait(), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Resourse's owning thread terminated without releasing the resource.\n"
            "Serialization failed.\n");
  // The wait's ownership was given back: another thread gets the mutex.
  DWORD r = WAIT_FAILED;
  std::thread([&] {
    r = WaitForSingleObject(static_cast<HANDLE>(b.hMutex), 0);
    if (r == WAIT_OBJECT_0) ReleaseMutex(static_cast<HANDLE>(b.hMutex));
  }).join();
  EXPECT_EQ(r, WAIT_OBJECT_0);
}

}  // namespace
