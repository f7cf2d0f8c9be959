// Password decipherment, the qmxpasswd command and the file utilities, under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "hvl.h"
#include "qmxdecrypt.h"
#include "qmxutil.h"
#include "test_env.h"
#include "win_process.h"

namespace {

std::string Encipher(const std::string& plain) {
  char* token = nullptr;
  int32_t length = 0;
  EXPECT_EQ(CRY_Encrypt(plain.data(), static_cast<int32_t>(plain.size()), &token, &length), 0);
  std::string out(token ? token : "");
  EXPECT_EQ(out.size(), static_cast<size_t>(length));
  CRY_Free(token);
  return out;
}

bool IsToken(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') return false;
  return true;
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

TEST(DecryptPassword, RoundTripAndCut) {
  const std::string longer(300, 'x');
  for (const std::string& plain : {std::string("S3cret;pw with blanks"), longer}) {
    std::string token = Encipher(plain);
    ASSERT_TRUE(IsToken(token)) << token;
    char out[256];
    EXPECT_EQ(DecryptPassword(token.c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), plain.substr(0, 255));
  }
}

TEST(DecryptPassword, NeitherTokenNorPlainTextIsTraced) {
  std::string dir = qmxtest::MakeTempDir("qmxdec");
  std::string trace = dir + "\\trace.log";
  qmxtest::SetEnv("JBX_RAS1_LOG", trace.c_str());
  qmxtest::SetEnv("JBX_RAS1", "ALL");
  std::string token = Encipher("Pl4in-Secret");
  char out[256];
  DecryptPassword(token.c_str(), out, sizeof out);
  qmxtest::SetEnv("JBX_RAS1_LOG", "");
  qmxtest::SetEnv("JBX_RAS1", "ERROR");
  std::string text = qmxtest::ReadWholeFile(trace);
  EXPECT_NE(text.find("To be decrypted : <"), std::string::npos);
  EXPECT_EQ(text.find(token), std::string::npos);
  EXPECT_EQ(text.find("Pl4in-Secret"), std::string::npos);
  DeleteFileA(trace.c_str());
  RemoveDirectoryA(dir.c_str());
}

TEST(DecryptPassword, FailureGivesAnEmptyTextAndOneErrorTrace) {
  std::string dir = qmxtest::MakeTempDir("qmxdec");
  std::string trace = dir + "\\trace.log";
  qmxtest::SetEnv("JBX_RAS1_LOG", trace.c_str());
  qmxtest::SetEnv("JBX_RAS1", "ERROR");
  std::string token = Encipher("abc");
  std::string flipped = token;
  flipped[20] = flipped[20] == 'A' ? 'B' : 'A';
  for (const char* bad : {"", "not a token!", "QUJD", flipped.c_str()}) {
    char out[256];
    std::memset(out, 'g', sizeof out);
    EXPECT_EQ(DecryptPassword(bad, out, sizeof out), 0);
    EXPECT_STREQ(out, "") << bad;
  }
  qmxtest::SetEnv("JBX_RAS1_LOG", "");
  std::string text = qmxtest::ReadWholeFile(trace);
  size_t n = 0;
  for (size_t p = text.find("could not be deciphered"); p != std::string::npos;
       p = text.find("could not be deciphered", p + 1))
    ++n;
  EXPECT_EQ(n, 4u);
}

TEST(Qmxpasswd, PrintsATokenThatDeciphers) {
  std::string dir = qmxtest::MakeTempDir("qmxpw");
  struct Case {
    const char* input;
    const char* plain;  // null: refused
  } cases[] = {{"Adm1n pass\r\nsecond line\n", "Adm1n pass"}, {"x", "x"}, {"\n", nullptr}, {"", nullptr}};
  for (const Case& c : cases) {
    std::string in = dir + "\\in.txt";
    std::ofstream(in, std::ios::binary) << c.input;
    qmxtest::ProcessResult r =
        qmxtest::Run("cmd /c \"\"" + qmxtest::ProductDir() + "qmxpasswd.exe\" < \"" + in + "\"\"");
    if (!c.plain) {
      EXPECT_NE(r.exitCode, 0u);
      EXPECT_TRUE(r.out.empty());
      continue;
    }
    ASSERT_EQ(r.exitCode, 0u) << r.err;
    std::string token = Trim(r.out);
    ASSERT_TRUE(IsToken(token)) << token;
    // A one-letter password may well occur in a random token; a longer one must not.
    if (strlen(c.plain) > 4) {
      EXPECT_EQ(r.out.find(c.plain), std::string::npos);
    }
    char out[256];
    DecryptPassword(token.c_str(), out, sizeof out);
    EXPECT_STREQ(out, c.plain);
  }
}

TEST(FindFileNames, MatchesInFileSystemOrder) {
  std::string dir = qmxtest::MakeTempDir("qmxfind");
  for (const char* n : {"a.log", "b.log", "c.log", "d.txt"}) std::ofstream(dir + "\\" + n) << "x";
  std::string result = "untouched";
  EXPECT_EQ(FindFileNames(dir.c_str(), "*.log", &result), 0);
  // The order the file system lists them in.
  std::string expected;
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "\\*.log").c_str(), &d);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  do expected += (expected.empty() ? "" : ";") + dir + "\\" + d.cFileName;
  while (FindNextFileA(h, &d));
  FindClose(h);
  EXPECT_EQ(result, expected);
  for (const char* n : {"a.log", "b.log", "c.log"}) EXPECT_NE(result.find(dir + "\\" + n), std::string::npos);
  EXPECT_EQ(FindFileNames(dir.c_str(), "*", &result), 0);
  EXPECT_NE(result.find(dir + "\\.;"), std::string::npos);
  EXPECT_NE(result.find(dir + "\\..;"), std::string::npos);
  result = "untouched";
  EXPECT_EQ(FindFileNames(dir.c_str(), "*.none", &result), static_cast<long>(0x80004005L));
  EXPECT_EQ(FindFileNames((dir + "\\missing").c_str(), "*", &result), static_cast<long>(0x80004005L));
  EXPECT_EQ(result, "untouched");
}

TEST(GetFileSizeByName, SizesAboveFourGigabytes) {
  std::string dir = qmxtest::MakeTempDir("qmxsize");
  std::string path = dir + "\\big.edb";
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size;
  size.QuadPart = 5LL << 30;
  ASSERT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  CloseHandle(h);
  EXPECT_EQ(GetFileSizeByName(path.c_str()), 5368709120.0);
  EXPECT_EQ(GetFileSizeByName((dir + "\\*.edb").c_str()), 5368709120.0);
  EXPECT_EQ(GetFileSizeByName((dir + "\\none").c_str()), 0.0);
  DeleteFileA(path.c_str());
}

}  // namespace
