// A counter service whose Initialize fails, for the start-up test of that path. Only
// DllGetClassObject is needed: the test writes the registration itself.
#include "test_counter_service.h"

namespace {
qmxtest::TestCounterServiceFactory factory(qmxtest::InitializeOutcome::Fail);
}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID riid, void** ppv) {
  return factory.QueryInterface(riid, ppv);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
