// qmxpasswd: reads a password from standard input (up to the first line end) and prints its
// enciphered form, one token, for exchange_password and QMX_AD_PASSWORD.
#include <cstdio>
#include <cstring>
#include <string>

#include <windows.h>

#include "hvl.h"

int main() {
  std::string password;
  int c;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') password += static_cast<char>(c);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    std::fprintf(stderr, "qmxpasswd: no password on standard input\n");
    return 1;
  }
  char* token = nullptr;
  int32_t length = 0;
  int32_t rc = CRY_Encrypt(password.data(), static_cast<int32_t>(password.size()), &token, &length);
  SecureZeroMemory(&password[0], password.size());
  if (rc != 0 || !token) {
    std::fprintf(stderr, "qmxpasswd: the password could not be enciphered (error %d)\n",
                 static_cast<int>(rc));
    return 2;
  }
  std::fwrite(token, 1, static_cast<size_t>(length), stdout);
  std::fputc('\n', stdout);
  CRY_Free(token);
  return std::fflush(stdout) == 0 ? 0 : 3;
}
