// Deciphering the passwords the configuration holds enciphered (exchange_password, QMX_AD_PASSWORD).
#pragma once

#include <cstddef>

// Writes the plain text of `enciphered` into result (size bytes, NUL-terminated, cut to size - 1).
// A failed decipherment leaves an empty text and one error trace. Returns 0.
int DecryptPassword(const char* enciphered, char* result, size_t size = 256);
