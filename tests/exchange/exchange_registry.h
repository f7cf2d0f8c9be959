// Test fixture over the real registry (Windows build): the Exchange keys a case writes, removed
// again with the cached release codes at its end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../settings/regtest_util.h"
#include "qmxcommon.h"

namespace exchtest {

const char kV14[] = "SOFTWARE\\Microsoft\\ExchangeServer\\v14";
const char kV14Setup[] = "SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup";
const char kSetup[] = "SOFTWARE\\Microsoft\\Exchange\\Setup";
const char kV8[] = "SOFTWARE\\Microsoft\\Exchange\\v8.0";

class ExchangeRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(regtest::KeyExists("SOFTWARE\\Microsoft\\ExchangeServer"))
        << "this machine has Exchange keys of its own";
    ASSERT_FALSE(regtest::KeyExists("SOFTWARE\\Microsoft\\Exchange"));
    ResetExchangeVersionCaches();
  }
  void TearDown() override {
    Clear();
    ResetExchangeVersionCaches();
  }
  void Key(const std::string& path) { trees_.push_back(std::make_unique<regtest::ScopedTree>(path)); }
  void Dword(const std::string& path, const char* name, DWORD v) {
    Key(path);
    regtest::SetDword(path, name, v);
  }
  // Removes every key written so far.
  void Clear() { trees_.clear(); }

  std::vector<std::unique_ptr<regtest::ScopedTree>> trees_;
};

}  // namespace exchtest
