// HqMain in this process, for the start-up failures that need a hand on the thread's COM state or a
// counter service that throws: both run here, where the test's class object and HqMain share one
// run-time library.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "test_counter_service.h"
#include "win_process.h"
#include "zrtcoi.h"
#include "zrtglobals.h"

namespace {

// How the test hands the agent a new shutdown event while another thread may be reading it.
void PublishShutdownEvent(HANDLE event) {
  AcquireSRWLockExclusive(&terminateEventLock);
  hTerminateEvent = event;
  ReleaseSRWLockExclusive(&terminateEventLock);
}

// What one HqMain run gave: its result or what it threw, and what it wrote to standard error.
struct HqMainRun {
  int result = 0;
  enum class Thrown { Nothing, Standard, Other } thrown = Thrown::Nothing;
  std::string what;
  std::string err;
  std::chrono::milliseconds took{0};
};

class HqMainStart : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.SetValue("JBX_RAS1", "ERROR (UNIT:zrt ALL)");
    env_.SetValue("JBX_RAS1_LOG", env_.logDir() + "\\hqmain_test-.log");
    bCtrServiceInitialized = 0;
  }
  void TearDown() override { bCtrServiceInitialized = 0; }

  // Runs HqMain on a thread of its own: prepare() sets up the thread's COM state first, finish()
  // undoes it afterwards.
  template <typename Prepare, typename Finish>
  HqMainRun Run(Prepare prepare, Finish finish) {
    HqMainRun run;
    std::thread thread([&] {
      prepare();
      testing::internal::CaptureStderr();
      char arg0[] = "qmx_agent";
      char* argv[] = {arg0, nullptr};
      const auto start = std::chrono::steady_clock::now();
      try {
        run.result = HqMain(1, argv);
      } catch (const std::exception& e) {
        run.thrown = HqMainRun::Thrown::Standard;
        run.what = e.what();
      } catch (...) {
        run.thrown = HqMainRun::Thrown::Other;
      }
      run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      run.err = testing::internal::GetCapturedStderr();
      finish();
      CoUninitialize();
    });
    thread.join();
    return run;
  }

  // HqMain with the test's counter service, whose Initialize ends as asked.
  HqMainRun RunWithService(qmxtest::InitializeOutcome outcome) {
    qmxtest::TestCounterServiceFactory factory(outcome);
    DWORD cookie = 0;
    return Run(
        [&] {
          CoInitialize(nullptr);
          EXPECT_EQ(CoRegisterClassObject(CLSID_Duzovev, &factory, CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &cookie),
                    S_OK);
        },
        [&] { CoRevokeClassObject(cookie); });
  }

  std::string Traces() { return qmxtest::ReadLogs(env_.logDir()); }

  qmxtest::AgentEnvironment env_;
  // The ProgID leads to the counter service's class id with no server: the class object is the
  // test's, registered in the calling apartment.
  qmxtest::CounterServiceRegistration registration_{""};
};

// A thread already in the multithreaded apartment cannot enter a single-threaded one: all five
// attempts fail, two seconds apart, and HqMain gives up with -1 before the counter service.
TEST_F(HqMainStart, ComInitializationFailsFiveTimes) {
  HqMainRun run = Run([] { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }, [] {});
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.thrown, HqMainRun::Thrown::Nothing);
  EXPECT_NE(run.err.find("HqMain: EXITING due to COM initialization failure\n"), std::string::npos) << run.err;
  EXPECT_GE(run.took.count(), 9900) << "a 2000 ms pause after each of five attempts";
  EXPECT_EQ(bCtrServiceInitialized, 0) << "the counter service is never reached";

  std::string t = Traces();
  int attempts = 0;
  for (size_t at = t.find("HqMain: CoinitializeEx returns 80010106"); at != std::string::npos;
       at = t.find("HqMain: CoinitializeEx returns 80010106", at + 1))
    ++attempts;
  EXPECT_EQ(attempts, 5) << t;
  EXPECT_NE(t.find("HqMain: EXITING due to COM initialization failure"), std::string::npos);
  EXPECT_EQ(t.find("HqMain: COM initialized"), std::string::npos);
}

// How each exception from Initialize ends HqMain; the counter service is released on every path.
TEST_F(HqMainStart, ExceptionsFromInitialize) {
  struct Case {
    qmxtest::InitializeOutcome outcome;
    HqMainRun::Thrown thrown;
    int result;
    std::string err;  // all of it, in this order
    std::string trace;
  };
  const Case cases[] = {
      {qmxtest::InitializeOutcome::ThrowBadAlloc, HqMainRun::Thrown::Nothing, -3,
       "HqMain: Duzovev Initialize function failed, bad_alloc - std::bad_alloc\nHqMain: EXITING\n",
       "HqMain: Duzovev Initialize function failed, bad_alloc - std::bad_alloc"},
      {qmxtest::InitializeOutcome::ThrowStandard, HqMainRun::Thrown::Standard, 0,
       "HqMain: Duzovev Initialize standard exception - counter service broke\n",
       "HqMain: Duzovev Initialize standard exception - counter service broke"},
      {qmxtest::InitializeOutcome::ThrowOther, HqMainRun::Thrown::Other, 0,
       "HqMain: Duzovev Initialize function failed, exception thrown!\nHqMain: Errno=",
       "HqMain: Duzovev Initialize function failed, exception thrown!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    const size_t traced = Traces().size();
    HqMainRun run = RunWithService(c.outcome);
    EXPECT_EQ(run.thrown, c.thrown);
    if (c.thrown == HqMainRun::Thrown::Nothing) {
      EXPECT_EQ(run.result, c.result);
    }
    if (c.thrown == HqMainRun::Thrown::Standard) {
      EXPECT_EQ(run.what, "counter service broke");
    }
    EXPECT_EQ(run.err.find("HqMain: Duzovev instance creation FAILED"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(qmxtest::LiveCounterServices(), 0) << "the counter service is released";
    EXPECT_EQ(pDuzovev, nullptr);
    const std::string t = Traces().substr(traced);
    EXPECT_NE(t.find(c.trace), std::string::npos) << t;
    EXPECT_NE(t.find("HqMain: Duzovev instance created"), std::string::npos);
    EXPECT_EQ(t.find("HqMain: framework thread started."), std::string::npos) << "no start after it";
    bCtrServiceInitialized = 0;
  }
  // The other exception carries the run-time error number and the last Win32 error.
  HqMainRun run = RunWithService(qmxtest::InitializeOutcome::ThrowOther);
  EXPECT_NE(run.err.find(" LastError=1816\n"), std::string::npos) << run.err;
  EXPECT_NE(Traces().find(" LastError=1816[00000718]"), std::string::npos);
}

// StopService on one thread while terminate closes the shutdown event on another: the event is
// never set once terminate has let it go, so a new handle that takes its place is left alone.
TEST(ShutdownEvent, StopServiceNeverSetsAClosedHandle) {
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    while (!done) StopService();
  });
  int wronglySet = 0;
  for (int i = 0; i < 3000; ++i) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    PublishShutdownEvent(event);
    terminate(0);
    // Most often the next handle has the number of the one just closed.
    HANDLE other = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(other, nullptr);
    SwitchToThread();
    if (WaitForSingleObject(other, 0) == WAIT_OBJECT_0) ++wronglySet;
    CloseHandle(other);
  }
  done = true;
  stopper.join();
  EXPECT_EQ(wronglySet, 0);
}

// A message sent to the agent thread (here to a window of its own) wakes the watch loop; the
// loop must take it and go back to watching, so that the end of the framework still ends HqMain.
TEST_F(HqMainStart, SentMessageDoesNotStopTheWatch) {
  qmxtest::TestCounterServiceFactory factory(qmxtest::InitializeOutcome::Succeed);
  DWORD cookie = 0;
  HWND window = nullptr;
  DWORD agentThread = 0;
  HANDLE returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(returned, nullptr);
  HqMainRun run;
  std::thread runner([&] {
    run = Run(
        [&] {
          CoInitialize(nullptr);
          EXPECT_EQ(CoRegisterClassObject(CLSID_Duzovev, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                          &cookie),
                    S_OK);
          window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
          agentThread = GetCurrentThreadId();
        },
        [&] {
          CoRevokeClassObject(cookie);
          if (window) DestroyWindow(window);
        });
    SetEvent(returned);
  });
  for (int i = 0; i < 600 && !bFrameworkRunning; ++i) Sleep(50);
  ASSERT_TRUE(bFrameworkRunning) << "the framework thread was started";
  ASSERT_NE(window, nullptr);
  Sleep(500);  // into the watch loop
  DWORD_PTR answer = 0;
  EXPECT_TRUE(SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &answer))
      << "the watch loop takes sent messages";
  HqTerminate();
  const bool ended = WaitForSingleObject(returned, 30000) == WAIT_OBJECT_0;
  EXPECT_TRUE(ended) << "HqMain went on watching the framework thread after the message";
  // Set the thread free when it waits for a posted message that never comes.
  if (!ended) PostThreadMessageA(agentThread, WM_NULL, 0, 0);
  runner.join();
  CloseHandle(returned);
  EXPECT_EQ(run.thrown, HqMainRun::Thrown::Nothing);
  EXPECT_EQ(qmxtest::LiveCounterServices(), 0) << "the counter service is released";
  EXPECT_NE(Traces().find("HqMain: PXRMAIN thread handle posted"), std::string::npos);
}

}  // namespace
