// Password encipherment with the platform's data protection in machine scope: any account of this
// machine can decipher, no other machine can. The token is the base64 text of the protected blob.
#include "hvl.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>

namespace {

// Ties the blobs to this purpose, so a blob protected by another program is not taken for ours.
const char kPurpose[] = "Orvel QMX610 password";

struct LocalFreer {
  void operator()(void* p) const { LocalFree(p); }
};
using LocalBytes = std::unique_ptr<BYTE, LocalFreer>;

DATA_BLOB Entropy() {
  DATA_BLOB b;
  b.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(kPurpose));
  b.cbData = sizeof kPurpose - 1;
  return b;
}

// Copies bytes into a new NUL-terminated buffer for the caller.
int32_t Hand(const BYTE* data, DWORD size, char** output, int32_t* outputLength) {
  char* out = static_cast<char*>(std::malloc(size + 1));
  if (!out) return ERROR_NOT_ENOUGH_MEMORY;
  if (size) std::memcpy(out, data, size);
  out[size] = '\0';
  *output = out;
  *outputLength = static_cast<int32_t>(size);
  return 0;
}

int32_t Failure(DWORD fallback) {
  DWORD e = GetLastError();
  return static_cast<int32_t>(e ? e : fallback);
}

}  // namespace

int32_t CRY_Encrypt(const char* input, int32_t length, char** output, int32_t* outputLength) {
  if (!output || !outputLength) return ERROR_INVALID_PARAMETER;
  *output = nullptr;
  *outputLength = 0;
  if (!input || length < 0) return ERROR_INVALID_PARAMETER;
  DATA_BLOB in{static_cast<DWORD>(length), reinterpret_cast<BYTE*>(const_cast<char*>(input))};
  DATA_BLOB entropy = Entropy();
  DATA_BLOB blob{};
  if (!CryptProtectData(&in, L"", &entropy, nullptr, nullptr,
                        CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &blob))
    return Failure(ERROR_INVALID_DATA);
  LocalBytes owned(blob.pbData);
  DWORD chars = 0;
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!CryptBinaryToStringA(blob.pbData, blob.cbData, flags, nullptr, &chars))
    return Failure(ERROR_INVALID_DATA);
  std::unique_ptr<char[]> text(new (std::nothrow) char[chars + 1]);
  if (!text) return ERROR_NOT_ENOUGH_MEMORY;
  if (!CryptBinaryToStringA(blob.pbData, blob.cbData, flags, text.get(), &chars))
    return Failure(ERROR_INVALID_DATA);
  text[chars] = '\0';
  return Hand(reinterpret_cast<BYTE*>(text.get()), static_cast<DWORD>(std::strlen(text.get())),
              output, outputLength);
}

int32_t CRY_Decrypt(const char* input, int32_t length, char** output, int32_t* outputLength) {
  if (!output || !outputLength) return ERROR_INVALID_PARAMETER;
  *output = nullptr;
  *outputLength = 0;
  if (!input || length <= 0) return ERROR_INVALID_DATA;
  // Only the token's own letters: anything else is not one of our tokens.
  for (int32_t i = 0; i < length; ++i) {
    char c = input[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
          c == '/' || c == '='))
      return ERROR_INVALID_DATA;
  }
  DWORD size = 0;
  if (!CryptStringToBinaryA(input, static_cast<DWORD>(length), CRYPT_STRING_BASE64, nullptr, &size,
                            nullptr, nullptr) ||
      size == 0)
    return ERROR_INVALID_DATA;
  std::unique_ptr<BYTE[]> bytes(new (std::nothrow) BYTE[size]);
  if (!bytes) return ERROR_NOT_ENOUGH_MEMORY;
  if (!CryptStringToBinaryA(input, static_cast<DWORD>(length), CRYPT_STRING_BASE64, bytes.get(),
                            &size, nullptr, nullptr))
    return ERROR_INVALID_DATA;
  DATA_BLOB in{size, bytes.get()};
  DATA_BLOB entropy = Entropy();
  DATA_BLOB plain{};
  if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &plain))
    return Failure(ERROR_INVALID_DATA);
  LocalBytes owned(plain.pbData);
  int32_t rc = Hand(plain.pbData, plain.cbData, output, outputLength);
  SecureZeroMemory(plain.pbData, plain.cbData);
  return rc;
}

void CRY_Free(char* output) {
  if (!output) return;
  SecureZeroMemory(output, std::strlen(output));
  std::free(output);
}
