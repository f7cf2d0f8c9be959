// One sample of a table through the framework's request interface, for tests of a table's rows.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "pxr.h"

namespace qmxtest {

// Opens a request on the table and takes one sample; both must succeed.
inline std::unique_ptr<pxr::Request> SampleTable(const char* table) {
  unsigned long status = 1;
  std::unique_ptr<pxr::Request> r = pxr::Request::Open(table, {}, &status);
  EXPECT_EQ(status, 0u) << table;
  if (r) {
    EXPECT_EQ(r->Sample(), 0u) << table;
  }
  return r;
}

}  // namespace qmxtest
