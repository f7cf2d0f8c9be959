// Exchange services for the tests: entries in Wine's (or Windows') real service control manager
// whose program is qmx_test_service.exe, and the Exchange registry keys of a release and roles.
// Everything made is removed again when the fixture goes (Wine starts auto-start services
// whenever its service manager comes up, so none may stay behind).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../settings/regtest_util.h"
#include "win_process.h"

namespace qmxtest {

// The 32-bit integer at an offset of a row.
inline int32_t I32(const char* row, int offset) {
  int32_t v;
  std::memcpy(&v, row + offset, sizeof v);
  return v;
}

class ExchangeServices {
 public:
  ExchangeServices() : manager_(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {}
  ~ExchangeServices() {
    for (auto it = installed_.rbegin(); it != installed_.rend(); ++it) Remove(*it);
    if (manager_) CloseServiceHandle(manager_);
  }
  ExchangeServices(const ExchangeServices&) = delete;
  ExchangeServices& operator=(const ExchangeServices&) = delete;

  // Installs the test service under `name`. hold: "", "start", "stop", "pause" or "continue";
  // padding: that many extra characters on its command line.
  ::testing::AssertionResult Install(const std::string& name, DWORD startType = SERVICE_DEMAND_START,
                                     const std::string& hold = "", size_t padding = 0,
                                     DWORD type = SERVICE_WIN32_OWN_PROCESS) {
    if (!manager_) return ::testing::AssertionFailure() << "OpenSCManager " << GetLastError();
    if (!RemoveStale(name)) return ::testing::AssertionFailure() << name << " exists and is not ours";
    std::string command = "\"" + BinDir() + "qmx_test_service.exe\" " + name;
    if (!hold.empty()) command += " hold=" + hold;
    if (padding) command += " " + std::string(padding, 'p');
    SC_HANDLE s = CreateServiceA(manager_, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, type,
                                 startType, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                                 nullptr, nullptr, nullptr, nullptr);
    if (!s) return ::testing::AssertionFailure() << "CreateService " << name << " " << GetLastError();
    CloseServiceHandle(s);
    installed_.push_back(name);
    return ::testing::AssertionSuccess();
  }

  // Starts it and waits until it reports `until` (running, or start pending when held).
  ::testing::AssertionResult Start(const std::string& name, DWORD until = SERVICE_RUNNING) {
    SC_HANDLE s = OpenServiceA(manager_, name.c_str(), SERVICE_ALL_ACCESS);
    if (!s) return ::testing::AssertionFailure() << "OpenService " << name << " " << GetLastError();
    BOOL ok = StartServiceA(s, 0, nullptr);
    DWORD error = GetLastError();
    CloseServiceHandle(s);
    if (!ok && error != ERROR_SERVICE_ALREADY_RUNNING)
      return ::testing::AssertionFailure() << "StartService " << name << " " << error;
    return WaitFor(name, until);
  }

  ::testing::AssertionResult Control(const std::string& name, DWORD control, DWORD until) {
    SC_HANDLE s = OpenServiceA(manager_, name.c_str(), SERVICE_ALL_ACCESS);
    if (!s) return ::testing::AssertionFailure() << "OpenService " << name;
    SERVICE_STATUS status = {};
    BOOL ok = ControlService(s, control, &status);
    DWORD error = GetLastError();
    CloseServiceHandle(s);
    if (!ok) return ::testing::AssertionFailure() << "ControlService " << name << " " << error;
    return WaitFor(name, until);
  }

  // Lets a held transition of the service complete.
  static void Release(const std::string& name) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, ("qmx_test_release_" + name).c_str());
    if (e) {
      SetEvent(e);
      CloseHandle(e);
    }
  }

  DWORD State(const std::string& name) {
    SC_HANDLE s = OpenServiceA(manager_, name.c_str(), SERVICE_QUERY_STATUS);
    if (!s) return 0;
    SERVICE_STATUS status = {};
    QueryServiceStatus(s, &status);
    CloseServiceHandle(s);
    return status.dwCurrentState;
  }

  ::testing::AssertionResult WaitFor(const std::string& name, DWORD state, DWORD ms = 10000) {
    DWORD last = 0;
    for (DWORD waited = 0; waited <= ms; waited += 50) {
      last = State(name);
      if (last == state) return ::testing::AssertionSuccess();
      Sleep(50);
    }
    return ::testing::AssertionFailure() << name << " is in state " << last << ", not " << state;
  }

  // Stops (releasing any hold) and deletes the service.
  void Remove(const std::string& name) {
    Release(name);
    SC_HANDLE s = OpenServiceA(manager_, name.c_str(), SERVICE_ALL_ACCESS);
    if (!s) return;
    for (int i = 0; i < 100; ++i) {
      SERVICE_STATUS status = {};
      if (!QueryServiceStatus(s, &status) || status.dwCurrentState == SERVICE_STOPPED) break;
      if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_PAUSED)
        ControlService(s, SERVICE_CONTROL_STOP, &status);
      Sleep(50);
    }
    DeleteService(s);
    CloseServiceHandle(s);
  }

 private:
  // A service left by an earlier run of ours is removed; any other of that name stops the test.
  bool RemoveStale(const std::string& name) {
    SC_HANDLE s = OpenServiceA(manager_, name.c_str(), SERVICE_QUERY_CONFIG);
    if (!s) return true;
    std::vector<char> buffer(16384);
    DWORD needed = 0;
    bool ours = QueryServiceConfigA(s, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                                    static_cast<DWORD>(buffer.size()), &needed) &&
                std::string(reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data())->lpBinaryPathName)
                        .find("qmx_test_service.exe") != std::string::npos;
    CloseServiceHandle(s);
    if (ours) Remove(name);
    return ours;
  }

  SC_HANDLE manager_;
  std::vector<std::string> installed_;
};

// The Exchange release keys (MsiProductMajor, the "Services" value) and role keys of a test.
class ExchangeKeys {
 public:
  ExchangeKeys() = default;
  // release 5 (2010) or 3 (2007); services: the "Services" value, null for none.
  void Release(int release, const char* services) {
    const std::string setup = release == 5 ? "SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup"
                                           : "SOFTWARE\\Microsoft\\Exchange\\Setup";
    Key(setup);
    regtest::SetDword(setup, "MsiProductMajor", release == 5 ? 14 : 8);
    if (services) regtest::SetString(setup, "Services", services);
    release_ = release;
  }
  // "MailboxRole", "ClientAccessRole", "HubTransportRole", "UnifiedMessagingRole",
  // "EdgeTransportRole".
  void Role(const char* role) {
    Key(std::string(release_ == 5 ? "SOFTWARE\\Microsoft\\ExchangeServer\\v14\\"
                                  : "SOFTWARE\\Microsoft\\Exchange\\v8.0\\") +
        role);
  }
  static bool Clean() {
    return !regtest::KeyExists("SOFTWARE\\Microsoft\\ExchangeServer") &&
           !regtest::KeyExists("SOFTWARE\\Microsoft\\Exchange");
  }

 private:
  void Key(const std::string& path) { trees_.push_back(std::make_unique<regtest::ScopedTree>(path)); }
  std::vector<std::unique_ptr<regtest::ScopedTree>> trees_;
  int release_ = 5;
};

}  // namespace qmxtest
