// A status report that the service manager refuses ends the process with the manager's error
// code: nothing else is left to tell the manager how the service stands.
#include <gtest/gtest.h>
#include <windows.h>

#include "zrtglobals.h"

namespace {

TEST(ServiceStatusDeathTest, RefusedReportEndsTheProcessWithItsErrorCode) {
  // A handle the manager never gave out; what it answers to it is the code we expect.
  const SERVICE_STATUS_HANDLE unknown = reinterpret_cast<SERVICE_STATUS_HANDLE>(0xDEAD0);
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = SERVICE_RUNNING;
  ASSERT_FALSE(SetServiceStatus(unknown, &status));
  const DWORD refused = GetLastError();
  ASSERT_NE(refused, 0u);
  EXPECT_EXIT(
      {
        InitializeCriticalSection(&csStatusLock);
        hServiceStatus = unknown;
        SendStatusToSCM(SERVICE_RUNNING, NO_ERROR, 0, 0, 0);
        ExitProcess(0);  // not reached when the report is refused
      },
      ::testing::ExitedWithCode(static_cast<int>(refused)), "");
}

}  // namespace
