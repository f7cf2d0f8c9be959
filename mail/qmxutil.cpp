#include "qmxutil.h"

#include <windows.h>

#include "qmxhandle.h"
#include "qmxtrace.h"

using FindHandle = qmx::UniqueFindHandle;

long FindFileNames(const char* directory, const char* pattern, std::string* result) {
  QMX_ENTRY();
  std::string dir = directory ? directory : "";
  std::string search = dir + "\\" + (pattern ? pattern : "");
  WIN32_FIND_DATAA data;
  FindHandle find(FindFirstFileA(search.c_str(), &data));
  if (!find) {
    QMX_ERROR("File not Found\n");
    QMX_RETURN(static_cast<long>(0x80004005L));
  }
  std::string names;
  do {
    if (!names.empty()) names += ';';
    names += dir + "\\" + data.cFileName;
  } while (FindNextFileA(find.get(), &data));
  QMX_FLOW("FindFileNames(): Returning file names: %s", names.c_str());
  if (result) *result = names;
  QMX_RETURN(0L);
}

double GetFileSizeByName(const char* path) {
  QMX_ENTRY();
  WIN32_FIND_DATAA data;
  FindHandle find(FindFirstFileA(path ? path : "", &data));
  if (!find) QMX_RETURN(0.0);
  double size = static_cast<double>(data.nFileSizeHigh) * 4294967296.0 + data.nFileSizeLow;
  QMX_RETURN(size);
}
