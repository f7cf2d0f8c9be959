// A library planted under the counter service's file name in a folder of the search path: its
// registration entry says so on standard output, so a test can tell whether the agent ran it.
#include <windows.h>

#include <cstdio>

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllRegisterServer() {
  std::printf("planted library registered\n");
  std::fflush(stdout);
  return S_OK;
}
