// Listing the files that match a pattern, and a file's size by name.
#pragma once

#include <string>

// Sets *result to the ";"-joined paths directory\name of the entries matching directory\pattern,
// in the order the file system lists them, and returns 0; 0x80004005 when nothing matches
// (*result is then left as it is).
long FindFileNames(const char* directory, const char* pattern, std::string* result);
// The size in bytes of the first entry matching path; 0 when there is none.
double GetFileSizeByName(const char* path);
