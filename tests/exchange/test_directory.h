// The test organisation of tests/directory as the directory layer's server: a simple bind as its
// reader account (the fixture qmx_directory serves it on 127.0.0.2).
#pragma once

#include "test_cipher.h"
#include "test_env.h"

namespace qmxtest {

inline constexpr char kReader[] = "CN=qmxreader,CN=Users,DC=qmxtest,DC=local";
inline constexpr char kReaderPassword[] = "Rd-2026.secret";
inline constexpr char kAdminGroup[] =
    "CN=Exchange Administrative Group (FYDIBOHF23SPDLT),CN=Administrative Groups,CN=QMX Test "
    "Org,CN=Microsoft Exchange,CN=Services,CN=Configuration,DC=qmxtest,DC=local";

// A simple bind as the reader to the server at `address`.
inline void UseDirectory(const char* address, const char* password = kReaderPassword) {
  SetEnv("QMX_AD_SERVER", address);
  SetEnv("QMX_AD_BIND", "simple");
  SetEnv("QMX_AD_USER", kReader);
  SetEnv("QMX_AD_PASSWORD", Encipher(password).c_str());
}

inline void ForgetDirectory() {
  for (const char* v : {"QMX_AD_SERVER", "QMX_AD_BIND", "QMX_AD_USER", "QMX_AD_PASSWORD"}) SetEnv(v, nullptr);
}

}  // namespace qmxtest
