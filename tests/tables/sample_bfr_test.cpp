// SampleBfr storage, text fields and the dump; the mutex is tested under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "sample_bfr.h"

namespace {

bool AllZero(const SampleBfr& b) {
  for (uint32_t i = 0; i < b.nBufferSize; ++i)
    if (b.pBuffer[i] != 0) return false;
  return true;
}

TEST(SampleBfr, ConstructedEmpty) {
  SampleBfr b(0, 1);
  EXPECT_STREQ(b.szEyeBall, "ZrtSampleBfr");
  EXPECT_EQ(b.nVersion, 3u);
  EXPECT_EQ(b.hSample, 0u);
  EXPECT_EQ(b.hMutex, nullptr);
  EXPECT_EQ(b.nRowSize, 0u);
  EXPECT_EQ(b.nRowsInBuffer, 0u);
  EXPECT_EQ(b.nBufferSize, 0u);
  EXPECT_EQ(b.pBuffer, nullptr);
  EXPECT_EQ(b.szSysName[0], '\0');
  EXPECT_EQ(b.szTblName[0], '\0');

  SampleBfr sized(100, 3);
  EXPECT_EQ(sized.nRowSize, 100u);
  EXPECT_EQ(sized.nRowsInBuffer, 3u);
  EXPECT_EQ(sized.nBufferSize, 300u);
  EXPECT_TRUE(AllZero(sized));
}

TEST(SampleBfr, AllocateRoundsToWholeRows) {
  struct Case {
    uint32_t rowSize;
    long long bytes;
    uint32_t rowSizeAfter, rows, size;
  } cases[] = {
      {300, 1000, 300, 4, 1200},  // a part row becomes a row
      {300, 900, 300, 3, 900},
      {300, 1, 300, 1, 300},
      {300, 0, 300, 0, 0},        // empties, the row size stays
      {300, -5, 300, 0, 0},
      {0, 740, 740, 1, 740},      // no row size yet: one row of the bytes asked for
      {572, 572, 572, 1, 572},
  };
  for (const Case& c : cases) {
    SampleBfr b(0, 1);
    b.nRowSize = c.rowSize;
    b.nRowsUsed = 1;
    b.nBufferUsed = 9;
    b.Allocate(c.bytes);
    EXPECT_EQ(b.nRowSize, c.rowSizeAfter) << c.bytes;
    EXPECT_EQ(b.nRowsInBuffer, c.rows) << c.bytes;
    EXPECT_EQ(b.nBufferSize, c.size) << c.bytes;
    EXPECT_EQ(b.nRowsInBuffer * b.nRowSize, b.nBufferSize);
    EXPECT_EQ(b.nRowsUsed, 0u);
    EXPECT_EQ(b.nBufferUsed, 0u);
    EXPECT_EQ(b.pBuffer != nullptr, c.size > 0);
    EXPECT_TRUE(AllZero(b));
  }
}

TEST(SampleBfr, AllocateReplacesOldContents) {
  SampleBfr b(0, 1);
  b.nRowSize = 16;
  b.Allocate(32);
  std::memset(b.pBuffer.get(), 0x5A, 32);
  b.Allocate(64);
  EXPECT_EQ(b.nRowsInBuffer, 4u);
  EXPECT_TRUE(AllZero(b));
}

TEST(SampleBfr, StorageBeyondTheSizeFieldsIsRefused) {
  SampleBfr b(0, 1);
  b.nRowSize = 1000;
  ::testing::internal::CaptureStderr();
  b.Allocate(5000000000LL);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Exception raised: Memory allocation failure!\n");
  EXPECT_EQ(b.pBuffer, nullptr);
  EXPECT_EQ(b.nRowSize, 0u);
  EXPECT_EQ(b.nBufferSize, 0u);
  EXPECT_EQ(b.nRowsInBuffer, 0u);
}

TEST(SampleBfr, TextSettersClearAndCut) {
  SampleBfr b(0, 1);
  b.SetTableName("QMX.MSEDB");
  EXPECT_STREQ(b.szTblName, "QMX.MSEDB");
  b.SetTableName("QMX.X");
  EXPECT_STREQ(b.szTblName, "QMX.X");
  EXPECT_EQ(b.szTblName[6], '\0');  // the rest of the old name is gone
  std::string longName(40, 'T');
  b.SetTableName(longName.c_str());
  EXPECT_EQ(std::string(b.szTblName, 32), longName.substr(0, 32));
  b.SetTableName("");
  EXPECT_EQ(std::string(b.szTblName, 32), std::string(32, '\0'));
  b.SetSysName(std::string(64, 'S').c_str());
  EXPECT_EQ(std::string(b.szSysName, 64), std::string(64, 'S'));
  b.SetSysName(nullptr);
  EXPECT_EQ(b.szSysName[0], '\0');
}

TEST(SampleBfr, ResetClearsWhatItOwns) {
  SampleBfr b(100, 2);
  b.hSample = 77;
  b.ulResult = 5;
  b.nRowsUsed = 2;
  b.bCtrObject = 1;
  b.SetSysName("host");
  b.SetTableName("QMX.MSEDB");
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  b.Reset();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(b.pBuffer, nullptr);
  EXPECT_EQ(b.hSample, 0u);
  EXPECT_EQ(b.ulResult, 0u);
  EXPECT_EQ(b.nRowSize, 0u);
  EXPECT_EQ(b.nBufferSize, 0u);
  EXPECT_EQ(b.nRowsInBuffer, 0u);
  EXPECT_EQ(b.nRowsUsed, 0u);
  EXPECT_EQ(b.szSysName[0], '\0');
  EXPECT_STREQ(b.szTblName, "QMX.MSEDB");  // the identifier stays
  EXPECT_EQ(b.bCtrObject, 1);
}

TEST(SampleBfr, StreamOutput) {
  SampleBfr b(0, 1);
  b.nRowSize = 100;
  b.Allocate(250);
  b.hSample = 0x123456789ABCull;
  b.ulResult = 0x80004005u;
  b.nRowsUsed = 2;
  b.nBufferUsed = 200;
  b.bCtrObject = 1;
  b.SetSysName(std::string(64, 'h').c_str());  // fills the field, no terminator
  b.SetTableName("QMX.MSEAF");
  std::ostringstream expected, pointers, out;
  pointers << static_cast<const void*>(nullptr);
  expected << "\n\tszEyeBall....: ZrtSampleBfr\tnVersion.....: 3\thSample......: 0x56789abc"
           << "\thMutex.......: " << static_cast<const void*>(nullptr) << "\tnBufferSize..: 300"
           << "\tnRowSize.....: 100\tnBufferUsed..: 200\tnRowsInBuffer: 3\tnRowsUsed....: 2"
           << "\tpBuffer......: " << static_cast<const void*>(b.pBuffer.get())
           << "\tulResult.....: 0x80004005\tbCtrObject...: 1\tszSysName....: " << std::string(64, 'h')
           << "\tszTblName....: QMX.MSEAF\n";
  out << b;
  EXPECT_EQ(out.str(), expected.str());
}

}  // namespace
