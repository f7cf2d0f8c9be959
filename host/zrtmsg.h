// Console messages from the string table, prefixed with the product code.
#pragma once

#include <windows.h>

void Message0(UINT messageId);
void Message1S(UINT messageId, const char* text);
void Message2(UINT messageId, UINT stringId1, UINT stringId2);
void MessageFromSystem(DWORD code);

// Loads a string-table entry of the executable; an empty text when it is missing.
const char* LoadResourceString(UINT id, char* buffer, int size);
