// The enciphered form of a password, as the configuration holds it (empty when hvl fails).
#pragma once

#include <cstring>
#include <string>

#include "hvl.h"

namespace qmxtest {

inline std::string Encipher(const char* plain) {
  char* token = nullptr;
  int32_t length = 0;
  if (CRY_Encrypt(plain, static_cast<int32_t>(std::strlen(plain)), &token, &length) != 0) return "";
  std::string out(token ? token : "");
  CRY_Free(token);
  return out;
}

}  // namespace qmxtest
