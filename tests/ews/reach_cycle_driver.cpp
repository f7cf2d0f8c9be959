// Test program: one reachability cycle with the settings of its environment, then it ends (the
// wait after the cycle answers false). The mail tool's standard error reaches this program's.
#include <windows.h>

#include "qmxmailbox.h"

namespace {
bool EndAfterCycle(DWORD) { return false; }
}  // namespace

int main() {
  ReachabilityWaits waits;
  waits.wait = EndAfterCycle;
  SetReachabilityWaits(waits);
  int local = 0;
  // 1: the cycle ran and the wait after it ended the loop; 0: the settings were missing.
  return RunReachability(&local) == 1 ? 0 : 1;
}
