// A small framework table for tests, described by its fields: the attribute calls, the attribute
// test of every type and AddData come from the description; a test writes only TakeSample.
#pragma once

#include <vector>

#include "pxr.h"

namespace qmxtest {

struct TestField {
  AttributeInfo info;
  const char* upper;  // the name conditions use
};

class FieldTableAgent : public vorta {
 public:
  FieldTableAgent(RequestDetail* detail, ContextInfo* context, TableManager* manager,
                  const std::vector<TestField>& fields, int rowBytes, int step);
  int GetAttributeCount() override;
  unsigned long GetAttributeInfo(AttributeInfo* info, int index) override;
  int TestAttribute(char* row, char* name, _IntfOper op, char* value) override;
  unsigned long AddData(char* rows, int count) override;

 private:
  const std::vector<TestField>& fields_;
};

}  // namespace qmxtest
