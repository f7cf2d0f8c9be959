#include "field_table.h"

#include <cstdint>
#include <cstring>

namespace qmxtest {

FieldTableAgent::FieldTableAgent(RequestDetail* detail, ContextInfo* context, TableManager* manager,
                                 const std::vector<TestField>& fields, int rowBytes, int step)
    : vorta(detail, context, manager), fields_(fields) {
  rowSize = rowBytes;
  allocStep = step;
}

int FieldTableAgent::GetAttributeCount() { return static_cast<int>(fields_.size()); }

unsigned long FieldTableAgent::GetAttributeInfo(AttributeInfo* info, int index) {
  if (index < 0 || index >= GetAttributeCount()) return PXR_BAD_INDEX;
  *info = fields_[static_cast<size_t>(index)].info;
  return 0;
}

int FieldTableAgent::TestAttribute(char* row, char* name, _IntfOper op, char* value) {
  for (const TestField& f : fields_) {
    if (std::strcmp(name, f.upper) != 0) continue;
    char* p = row + f.info.offset;
    switch (f.info.type) {
      case ATTR_TEXT: return IsException(op, p, f.info.width, value);
      case ATTR_UTF8: return IsException(op, p, f.info.width, DTYPE_UTF8, value);
      case ATTR_INT32: {
        int32_t v;
        std::memcpy(&v, p, 4);
        return IsException(op, static_cast<long>(v), value);
      }
      case ATTR_INT64: {
        long long v;
        std::memcpy(&v, p, 8);
        return IsException(op, v, value);
      }
    }
  }
  return 0;
}

unsigned long FieldTableAgent::AddData(char* rows, int count) {
  unsigned long status = 0;
  for (int i = 0; i < count && status == 0; ++i) {
    char* row = rows + i * rowSize;
    if (CheckForException(row)) status = static_cast<unsigned long>(InsertRow(row));
  }
  return status;
}

}  // namespace qmxtest
