#include "qmxdecrypt.h"

#include <cstring>

#include "hvl.h"
#include "qmxtrace.h"

int DecryptPassword(const char* enciphered, char* result, size_t size) {
  QMX_ENTRY();
  if (!result || size == 0) QMX_RETURN(0);
  result[0] = '\0';
  if (!enciphered) enciphered = "";
  // The enciphered text is a secret too: only its length is traced.
  QMX_FLOW("To be decrypted : <%d characters>", static_cast<int>(std::strlen(enciphered)));
  char* plain = nullptr;
  int32_t length = 0;
  int32_t rc = CRY_Decrypt(enciphered, static_cast<int32_t>(std::strlen(enciphered)), &plain, &length);
  if (rc != 0 || !plain) {
    QMX_ERROR("DecryptPassword: the password could not be deciphered, error %d", static_cast<int>(rc));
    CRY_Free(plain);
    QMX_RETURN(0);
  }
  size_t n = static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
  std::memcpy(result, plain, n);
  result[n] = '\0';
  CRY_Free(plain);
  QMX_RETURN(0);
}
