// General library: password encipherment. The enciphered form is one token of base64 letters
// ("A-Za-z0-9+/="), so it passes through the configuration file and the registry unchanged.
#pragma once

#include <cstdint>

// Deciphers `length` bytes of `input`. On success *output is a NUL-terminated text of *outputLength
// bytes that the library allocated (release it with CRY_Free) and 0 is returned. On failure *output
// is null, *outputLength 0, and the result is a Win32 error code.
int32_t CRY_Decrypt(const char* input, int32_t length, char** output, int32_t* outputLength);
// Enciphers `length` bytes of plain text into a token, allocated as above.
int32_t CRY_Encrypt(const char* input, int32_t length, char** output, int32_t* outputLength);
// Releases an output of CRY_Decrypt or CRY_Encrypt (null is ignored).
void CRY_Free(char* output);
