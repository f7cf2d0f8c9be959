// Environment helpers for tests.
// SetEnv sets a variable in this process where both the run-time library (getenv) and the system (child
// processes) see it; a null value removes it from both.
#pragma once

#include <cstdlib>
#include <string>

#include "jbx.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace qmxtest {

inline void SetEnv(const char* name, const char* value) {
  if (value) {
    BSS1_PutEnv((std::string(name) + "=" + value).c_str());
    return;
  }
#ifdef _WIN32
  _putenv_s(name, "");
  SetEnvironmentVariableA(name, nullptr);
#else
  unsetenv(name);
#endif
}

// The variable as getenv sees it, "<unset>" when there is none.
inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "<unset>";
}

}  // namespace qmxtest
