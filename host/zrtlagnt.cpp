// Agent start-up, table loading and shutdown: the agent thread's body and the framework wrappers.
#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pxr.h"
#include "qmxtrace.h"
#include "zrtglobals.h"
#include "zrtmsg.h"

namespace {

constexpr int kThreadSlots = 32;
HANDLE threadTable[kThreadSlots] = {};
DWORD waitResults[kThreadSlots];

// Physical DNS host name, whole: a name of 16 characters or more must not come out empty.
std::string InstanceName() {
  DWORD size = 0;
  GetComputerNameExA(ComputerNamePhysicalDnsHostname, nullptr, &size);
  std::vector<char> name(size + 1, '\0');
  if (size == 0 || !GetComputerNameExA(ComputerNamePhysicalDnsHostname, name.data(), &size))
    return std::string();
  return std::string(name.data());
}

void TraceThreadStart(QmxTrace& qmx_trace, const char* what, unsigned id, HANDLE h) {
  QMX_FLOW("HqMain: %s will run as thread ID: %d[%0.8x] (Handle: %0.8x)", what, id, id,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(h)));
}

}  // namespace

void Call_OPQ_RegisterAgent() {
  QMX_ENTRY();
  OPQ_RegisterAgentLoader(LoadAgents);
}

void Call_OPQ_SetProduct() {
  QMX_ENTRY();
  char product[16];
  LoadResourceString(5040, product, sizeof product);
  if (std::strlen(product) != 3) std::strcpy(product, "**");
  char version[9] = {0};
  OPQ_SetVersionUsingProduct(product, version, sizeof version);
}

unsigned __stdcall InvokeFW(void*) {
  QMX_ENTRY();
  QMX_FLOW("InvokeFW:  Attached.");
  QMX_FLOW("InvokeFW:  Calling pxrmain to get agent started.");
  char arg0[] = QMX_SERVICE_NAME;
  char arg1[] = "";
  char* argv[] = {arg0, arg1, nullptr};
  int rc = pxrmain(1, argv);
  QMX_RETURN(static_cast<unsigned>(rc));
}

void HqTerminate() {
  QMX_ENTRY();
  OPQ_Shutdown(1);
}

int LoadAgents() {
  QMX_ENTRY();
  std::vector<char> scratch(4096, '\0');
  LoadResourceString(5044, scratch.data(), 4096);
  OPQ_SetAffinity(scratch.data());
  std::fill(scratch.begin(), scratch.end(), '\0');
  LoadResourceString(5012, scratch.data(), 4096);
  OPQ_SetAffinity(scratch.data());
  OPQ_SetAffinity("AFF_FEAT_INTERNATIONALIZATION");
  OPQ_SetAffinity("AFF_FEAT_DM_PARITY");
  OPQ_SetAffinity("AFF_FEAT_AGENT_MGMT");
  QMX_RETURN(0);
}

int HqMain(int, char**) {
  QMX_ENTRY();
  QMX_FLOW("HqMain: Entry");
  const std::string instance = InstanceName();
  const std::string primaryKey = "QMX\\Ver610\\Primary";
  const std::string instanceKey = "QMX\\Ver610\\" + instance;
  std::fprintf(stderr, "Computer Name : %s\n", instance.c_str());
  std::fprintf(stderr, "Org reg key : %s\n", primaryKey.c_str());
  std::fprintf(stderr, "New reg key : %s\n", instanceKey.c_str());
  for (DWORD& r : waitResults) r = WAIT_FAILED;

  // Framework thread.
  unsigned id = 0;
  uintptr_t fw = _beginthreadex(nullptr, 0, InvokeFW, nullptr, 0, &id);
  if (fw == 0 || fw == static_cast<uintptr_t>(-1)) {
    QMX_ERROR("HqMain: framework thread could not be started, errno %d", errno);
    QMX_RETURN(-1);
  }
  threadTable[0] = reinterpret_cast<HANDLE>(fw);
  bFrameworkRunning = 1;
  QMX_FLOW("HqMain: framework thread started.");
  TraceThreadStart(qmx_trace, "InvokeFW", id, threadTable[0]);

  // Watch loop. A background thread that has ended leaves the waits, so it does not wake the loop
  // on every pass; the framework thread is always watched.
  bool watched[kThreadSlots] = {};
  bool goOn = true;
  DWORD lastResult = WAIT_FAILED;
  while (goOn) {
    HANDLE handles[kThreadSlots];
    int slotOf[kThreadSlots];
    int count = 0, n = 0;
    for (; count < kThreadSlots && threadTable[count]; ++count) {
      if (watched[count] && count != 0) continue;
      handles[n] = threadTable[count];
      slotOf[n++] = count;
    }
    DWORD r = MsgWaitForMultipleObjects(static_cast<DWORD>(n), handles, FALSE, 10000, 0xFF);
    if (r == WAIT_FAILED) {
      goOn = false;
    } else if (r == WAIT_IO_COMPLETION || r == WAIT_TIMEOUT) {
    } else if (r < WAIT_OBJECT_0 + static_cast<DWORD>(n)) {
      int slot = slotOf[r - WAIT_OBJECT_0];
      waitResults[slot] = WAIT_OBJECT_0;
      watched[slot] = true;
      lastResult = r;
    } else if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + static_cast<DWORD>(n)) {
      int slot = slotOf[r - WAIT_ABANDONED_0];
      waitResults[slot] = WAIT_ABANDONED_0;
      watched[slot] = true;
      lastResult = r;
    } else if (r == WAIT_OBJECT_0 + static_cast<DWORD>(n)) {
      MSG msg;
      if (GetMessageA(&msg, nullptr, 0, 0) == 1) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    } else {
      goOn = false;
    }
    if (waitResults[0] == WAIT_OBJECT_0 || waitResults[0] == WAIT_ABANDONED_0) {
      bFrameworkRunning = 0;
      QMX_FLOW("HqMain: PXRMAIN thread handle posted");
      break;
    }
  }

  QMX_FLOW("HqMain: EXITING");
  QMX_RETURN(static_cast<int>(lastResult));
}
