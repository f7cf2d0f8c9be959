// CRegistry, the key wrappers and the environment import, against the real registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "earegcls.h"
#include "earegenv.h"
#include "regtest_util.h"

using regtest::ScopedTree;

namespace {

class Registry : public ::testing::Test {
 protected:
  Registry() : tree_("SOFTWARE\\" + regtest::UniqueName("QmxRegTest")) {}
  const std::string& base() const { return tree_.path(); }
  ScopedTree tree_;
};

TEST_F(Registry, OpenPositionAndClose) {
  CRegistry reg;
  EXPECT_EQ(reg.Position("x"), CRegistry::kNoKeyOpen);
  EXPECT_EQ(reg.Close(), CRegistry::kNothingToClose);
  ASSERT_EQ(reg.Open(nullptr, nullptr, base().c_str()), CRegistry::kOk);
  EXPECT_EQ(reg.CurrentPath(), base());
  EXPECT_EQ(reg.Open(nullptr, nullptr, base().c_str()), CRegistry::kAlreadyOpen);

  EXPECT_EQ(reg.Position("a\\b", true), CRegistry::kOk);
  EXPECT_EQ(reg.CurrentPath(), base() + "\\a\\b");
  EXPECT_TRUE(regtest::KeyExists(base() + "\\a\\b"));
  EXPECT_EQ(reg.Position(".."), CRegistry::kOk);
  EXPECT_EQ(reg.CurrentPath(), base() + "\\a");
  EXPECT_EQ(reg.Position("missing"), CRegistry::kWin32Failure);
  EXPECT_EQ(reg.LastWin32(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(reg.CurrentPath(), base() + "\\a");  // a failed move stays where it was

  // ".." from a one-component path reaches the root itself; from the root there is no parent.
  EXPECT_EQ(reg.Position("\\SOFTWARE"), CRegistry::kOk);
  EXPECT_EQ(reg.CurrentPath(), "SOFTWARE");
  EXPECT_EQ(reg.Position(".."), CRegistry::kOk);
  EXPECT_EQ(reg.CurrentPath(), "");
  EXPECT_EQ(reg.Key(), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(reg.Position(".."), CRegistry::kBadRootOrPath);
  EXPECT_EQ(reg.Position(""), CRegistry::kBadRootOrPath);
  EXPECT_EQ(reg.Position((base() + "\\a").c_str()), CRegistry::kOk);  // relative to the root now

  EXPECT_EQ(reg.Close(), CRegistry::kOk);
  EXPECT_FALSE(reg.IsOpen());
  EXPECT_EQ(reg.Close(), CRegistry::kNothingToClose);

  CRegistry bad;
  EXPECT_EQ(bad.Open(nullptr, reinterpret_cast<HKEY>(static_cast<LONG_PTR>(0x1234)), nullptr),
            CRegistry::kBadRootOrPath);
  EXPECT_EQ(bad.Open("MACHINE", HKEY_CURRENT_USER, nullptr), CRegistry::kBadRootOrPath);
  // An open that cannot reach its subkey leaves the object closed.
  EXPECT_EQ(bad.Open(nullptr, HKEY_LOCAL_MACHINE, (base() + "\\nothere").c_str()),
            CRegistry::kWin32Failure);
  EXPECT_FALSE(bad.IsOpen());
}

TEST_F(Registry, KeepOpenObjectKeepsItsHandles) {
  CRegistry reg(nullptr, HKEY_LOCAL_MACHINE, base().c_str());
  ASSERT_TRUE(reg.IsOpen());
  reg.SetKeepOpen(true);
  EXPECT_EQ(reg.Close(), CRegistry::kOk);
  EXPECT_TRUE(reg.IsOpen());
  EXPECT_EQ(reg.Open(nullptr, HKEY_LOCAL_MACHINE, base().c_str()), CRegistry::kKeepOpenObject);
  EXPECT_EQ(reg.PutValue("v", "still open"), CRegistry::kOk);
  reg.SetKeepOpen(false);
  EXPECT_EQ(reg.Close(), CRegistry::kOk);
  EXPECT_FALSE(reg.IsOpen());
}

TEST_F(Registry, Values) {
  CRegistry reg(nullptr, HKEY_LOCAL_MACHINE, base().c_str());
  ASSERT_TRUE(reg.IsOpen());
  EXPECT_EQ(reg.PutValue("text", "%TEMP%\\x"), CRegistry::kOk);
  DWORD d = 0x12345678;
  EXPECT_EQ(reg.PutValue("dword", &d, REG_DWORD, sizeof d), CRegistry::kOk);
  char buf[64];
  DWORD type = 0, size = sizeof buf;
  ASSERT_EQ(reg.GetValue("text", buf, &type, &size), CRegistry::kOk);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(size, std::strlen("%TEMP%\\x") + 1);  // terminator included
  EXPECT_STREQ(buf, "%TEMP%\\x");
  DWORD got = 0;
  size = sizeof got;
  ASSERT_EQ(reg.GetValue("dword", &got, &type, &size), CRegistry::kOk);
  EXPECT_EQ(got, d);
  size = 2;
  EXPECT_EQ(reg.GetValue("text", buf, &type, &size), CRegistry::kWin32Failure);
  EXPECT_EQ(reg.LastWin32(), static_cast<DWORD>(ERROR_MORE_DATA));
  size = sizeof buf;
  EXPECT_EQ(reg.GetValue("none", buf, &type, &size), CRegistry::kValueNotFound);
  EXPECT_EQ(reg.DeleteValue("text"), CRegistry::kOk);
  EXPECT_EQ(reg.DeleteValue("text"), CRegistry::kValueNotFound);
  reg.Close();
  EXPECT_EQ(reg.GetValue("dword", &got, &type, &size), CRegistry::kNoKeyOpen);
  EXPECT_EQ(reg.PutValue("x", "y"), CRegistry::kNoKeyOpen);
  EXPECT_EQ(reg.DeleteValue("dword"), CRegistry::kNoKeyOpen);
}

TEST_F(Registry, EnumerateValuesBothWays) {
  for (int i = 0; i < 4; ++i) regtest::SetString(base(), ("v" + std::to_string(i)).c_str(), "d");
  regtest::SetString(base() + "\\sub", "x", "y");
  CRegistry reg(nullptr, HKEY_LOCAL_MACHINE, base().c_str());
  char name[32];
  BYTE data[32];
  DWORD nameSize, dataSize, type, index;
  auto next = [&](bool descending) {
    nameSize = sizeof name;
    dataSize = sizeof data;
    return reg.EnumVals(name, &nameSize, data, &dataSize, &type, &index, descending);
  };
  for (int pass = 0; pass < 2; ++pass) {  // a finished enumeration can start again
    std::vector<DWORD> seen;
    while (next(false) == CRegistry::kOk) seen.push_back(index);
    EXPECT_EQ(seen, (std::vector<DWORD>{0, 1, 2, 3}));
  }
  std::vector<DWORD> seen;
  uint32_t r;
  while ((r = next(true)) == CRegistry::kOk) seen.push_back(index);
  EXPECT_EQ(r, CRegistry::kNoMoreEntries);
  EXPECT_EQ(seen, (std::vector<DWORD>{3, 2, 1, 0}));

  // One kind at a time.
  ASSERT_EQ(next(false), CRegistry::kOk);
  char key[32];
  DWORD keySize = sizeof key;
  EXPECT_EQ(reg.EnumKeys(key, &keySize, nullptr, nullptr, nullptr, &index, false),
            CRegistry::kOtherEnumeration);
  // A name buffer too short reports 4 and keeps the entry for a larger buffer.
  nameSize = 2;
  dataSize = sizeof data;
  EXPECT_EQ(reg.EnumVals(name, &nameSize, data, &dataSize, &type, &index, false),
            CRegistry::kBufferTooSmall);
  ASSERT_EQ(next(false), CRegistry::kOk);
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(reg.EnumVals(nullptr, &nameSize, data, &dataSize, &type, &index, false),
            CRegistry::kMissingBuffer);
  EXPECT_EQ(reg.EnumVals(name, &nameSize, data, nullptr, &type, &index, false),
            CRegistry::kMissingBuffer);
  // Moving starts afresh.
  ASSERT_EQ(reg.Position("sub"), CRegistry::kOk);
  ASSERT_EQ(next(false), CRegistry::kOk);
  EXPECT_STREQ(name, "x");
  EXPECT_EQ(index, 0u);
}

TEST_F(Registry, EnumerateKeysBothWaysWithClass) {
  CRegistry reg(nullptr, HKEY_LOCAL_MACHINE, base().c_str());
  reg.Attributes(KEY_ALL_ACCESS, 0, nullptr, "QmxClass");
  for (const char* k : {"k0", "k1", "k2"}) {
    ASSERT_EQ(reg.Position(k, true), CRegistry::kOk);
    ASSERT_EQ(reg.Position(".."), CRegistry::kOk);
  }
  char name[32], cls[32];
  DWORD nameSize, clsSize, index;
  FILETIME written{};
  auto next = [&](bool descending) {
    nameSize = sizeof name;
    clsSize = sizeof cls;
    return reg.EnumKeys(name, &nameSize, cls, &clsSize, &written, &index, descending);
  };
  std::vector<std::string> asc, desc;
  while (next(false) == CRegistry::kOk) {
    asc.push_back(name);
    EXPECT_STREQ(cls, "QmxClass");
    EXPECT_NE(written.dwHighDateTime, 0u);
  }
  EXPECT_EQ(asc, (std::vector<std::string>{"k0", "k1", "k2"}));
  while (next(true) == CRegistry::kOk) desc.push_back(name);
  EXPECT_EQ(desc, (std::vector<std::string>{"k2", "k1", "k0"}));
  EXPECT_EQ(reg.EnumKeys(nullptr, &nameSize, nullptr, nullptr, nullptr, nullptr, false),
            CRegistry::kMissingBuffer);
}

TEST_F(Registry, DeleteKeyDepthFirstWithKeepValued) {
  // base\t\a\b (value in b), base\t\a\c (empty), base\t\d (empty)
  regtest::SetString(base() + "\\t\\a\\b", "keep", "me");
  ScopedTree c(base() + "\\t\\a\\c");
  ScopedTree d(base() + "\\t\\d");
  CRegistry reg(nullptr, HKEY_LOCAL_MACHINE, base().c_str());
  EXPECT_EQ(reg.DeleteKey("t", true), CRegistry::kHasSubkeys);
  EXPECT_TRUE(regtest::KeyExists(base() + "\\t\\a\\b"));
  EXPECT_FALSE(regtest::KeyExists(base() + "\\t\\a\\c"));
  EXPECT_FALSE(regtest::KeyExists(base() + "\\t\\d"));
  EXPECT_EQ(reg.DeleteKey("t", false), CRegistry::kOk);
  EXPECT_FALSE(regtest::KeyExists(base() + "\\t"));
  EXPECT_EQ(reg.DeleteKey("t", false), CRegistry::kKeyNotFound);
  EXPECT_EQ(reg.DeleteKey("", false), CRegistry::kBadRootOrPath);

  // Deleting the current key (from the root) moves the object to the parent.
  ScopedTree e(base() + "\\e\\f");
  ASSERT_EQ(reg.Position("e\\f"), CRegistry::kOk);
  EXPECT_EQ(reg.DeleteKey(("\\" + base() + "\\e").c_str(), false), CRegistry::kOk);
  EXPECT_EQ(reg.CurrentPath(), base());
  EXPECT_FALSE(regtest::KeyExists(base() + "\\e"));
  CRegistry closed;
  EXPECT_EQ(closed.DeleteKey("x", false), CRegistry::kNoKeyOpen);
}

TEST_F(Registry, QueryKeyNotifyAttributesKeyExistsGetInfo) {
  regtest::SetString(base(), "a", "12345");
  ScopedTree s(base() + "\\sub");
  CRegistry reg(nullptr, HKEY_LOCAL_MACHINE, base().c_str());
  char path[CRegistry::kMaxPath];
  RegKeyInfo info;
  EXPECT_EQ(reg.QueryKey(path, 100, &info), CRegistry::kBufferTooSmall);
  ASSERT_EQ(reg.QueryKey(path, sizeof path, &info), CRegistry::kOk);
  EXPECT_EQ(path, base());
  EXPECT_EQ(info.subKeys, 1u);
  EXPECT_EQ(info.values, 1u);
  EXPECT_GE(info.maxValueLen, 6u);  // the system may count the stored (wide) form

  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(reg.NotifyChange(false, event, REG_NOTIFY_CHANGE_LAST_SET), CRegistry::kOk);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  regtest::SetString(base(), "b", "changed");
  EXPECT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(event);
  CRegistry closed;
  EXPECT_EQ(closed.NotifyChange(false, nullptr, REG_NOTIFY_CHANGE_LAST_SET), CRegistry::kInvalidHandle);

  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
  EXPECT_EQ(reg.Attributes(KEY_ALL_ACCESS, 0, &sa, nullptr), CRegistry::kSecurityAccepted);
  EXPECT_EQ(reg.Position("made", true), CRegistry::kOk);
  EXPECT_EQ(reg.Disposition(), static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(reg.Attributes(KEY_ALL_ACCESS, 0, nullptr, nullptr), CRegistry::kOk);

  EXPECT_TRUE(reg.KeyExists(base().c_str()));
  EXPECT_TRUE(reg.KeyExists(("\\" + base() + "\\sub").c_str()));
  EXPECT_FALSE(reg.KeyExists((base() + "\\none").c_str()));

  bool open = false;
  char op[24], p[CRegistry::kMaxPath], api[24], machine[33];
  DWORD win32 = 1;
  reg.Position("..");
  reg.Position("none");
  ASSERT_EQ(reg.GetInfo(&open, op, sizeof op, p, sizeof p, api, sizeof api, &win32, machine,
                        sizeof machine),
            CRegistry::kOk);
  EXPECT_TRUE(open);
  EXPECT_STREQ(op, "Position");
  EXPECT_EQ(p, base());
  EXPECT_STREQ(api, "RegOpenKeyEx");
  EXPECT_EQ(win32, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_STREQ(machine, "");
  char tiny[4];
  EXPECT_EQ(reg.GetInfo(nullptr, nullptr, 0, tiny, sizeof tiny, nullptr, 0, nullptr, nullptr, 0),
            CRegistry::kBufferTooSmall);
  EXPECT_EQ(std::strlen(tiny), 3u);
}

TEST_F(Registry, CopiesOwnTheirHandles) {
  regtest::SetString(base() + "\\k", "v", "1");
  CRegistry* original = new CRegistry(nullptr, HKEY_LOCAL_MACHINE, (base() + "\\k").c_str());
  ASSERT_TRUE(original->IsOpen());
  char name[16];
  BYTE data[16];
  DWORD ns = sizeof name, ds = sizeof data, type, index;
  ASSERT_EQ(original->EnumVals(name, &ns, data, &ds, &type, &index, false), CRegistry::kOk);

  CRegistry copy(*original);
  EXPECT_EQ(copy.CurrentPath(), original->CurrentPath());
  EXPECT_NE(copy.Key(), original->Key());
  CRegistry assigned;
  assigned = *original;
  assigned = assigned;  // self-assignment keeps the object
  EXPECT_NE(assigned.Key(), original->Key());
  EXPECT_NE(assigned.Key(), copy.Key());
  delete original;  // closes its own handle only

  EXPECT_EQ(copy.PutValue("w", "2"), CRegistry::kOk);
  EXPECT_EQ(assigned.PutValue("x", "3"), CRegistry::kOk);
  // The copy's enumeration starts afresh.
  ns = sizeof name;
  ds = sizeof data;
  ASSERT_EQ(copy.EnumVals(name, &ns, data, &ds, &type, &index, false), CRegistry::kOk);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(regtest::ValueCount(base() + "\\k"), 3u);

  // A copy of a key at the root shares the predefined root, which nobody closes.
  CRegistry root(nullptr, HKEY_LOCAL_MACHINE, nullptr);
  {
    CRegistry rootCopy(root);
    EXPECT_EQ(rootCopy.Key(), HKEY_LOCAL_MACHINE);
  }
  EXPECT_EQ(root.Position(base().c_str()), CRegistry::kOk);
  CRegistry closed;
  CRegistry closedCopy(closed);
  EXPECT_FALSE(closedCopy.IsOpen());
}

TEST_F(Registry, NamedLocalMachineConnects) {
  char computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof computer;
  ASSERT_TRUE(GetComputerNameA(computer, &size));
  CRegistry reg;
  ASSERT_EQ(reg.Open(computer, HKEY_LOCAL_MACHINE, base().c_str()), CRegistry::kOk)
      << reg.LastWin32();
  EXPECT_EQ(reg.PutValue("remote", "yes"), CRegistry::kOk);
  CRegistry copy(reg);
  EXPECT_TRUE(copy.IsOpen());
  char m[40];
  copy.GetInfo(nullptr, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, m, sizeof m);
  EXPECT_STREQ(m, computer);
  EXPECT_EQ(reg.Close(), CRegistry::kOk);
  EXPECT_EQ(copy.Position(".."), CRegistry::kOk);
  EXPECT_EQ(regtest::GetString(base(), "remote"), "yes");
}

TEST_F(Registry, KeyWrappers) {
  RegKey key;
  EXPECT_EQ(act_regopenkey(HKEY_LOCAL_MACHINE, (base() + "\\w").c_str(), key), 0);
  EXPECT_FALSE(key);
  EXPECT_EQ(act_regcreatekey(HKEY_LOCAL_MACHINE, (base() + "\\w").c_str(), key), 1);
  ASSERT_TRUE(key);
  EXPECT_EQ(act_regsetstring(key, "s", "text"), 1);
  EXPECT_EQ(act_regsetdword(key, "d", 77), 1);
  EXPECT_EQ(regtest::GetType(base() + "\\w", "s"), static_cast<DWORD>(REG_SZ));
  std::string s;
  EXPECT_EQ(act_reggetstring(key, "s", s), 1);
  EXPECT_EQ(s, "text");
  DWORD d = 5;
  EXPECT_EQ(act_reggetdword(key, "d", d), 1);
  EXPECT_EQ(d, 77u);
  EXPECT_EQ(act_reggetdword(key, "s", d), 0);  // not 4 bytes
  EXPECT_EQ(d, 0u);
  EXPECT_EQ(act_reggetstring(key, "d", s), 0);  // no text
  EXPECT_EQ(s, "");
  // A text longer than 1023 does not fit the 1024-byte buffer.
  EXPECT_EQ(act_regsetstring(key, "long", std::string(1500, 'l').c_str()), 1);
  s = "old";
  EXPECT_EQ(act_reggetstring(key, "long", s), 0);
  EXPECT_EQ(s, "");
  // Stored without terminator by act_regsetstring: 1023 characters still read back whole.
  EXPECT_EQ(act_regsetstring(key, "exact", std::string(1023, 'e').c_str()), 1);
  EXPECT_EQ(act_reggetstring(key, "exact", s), 1);
  EXPECT_EQ(s, std::string(1023, 'e'));

  regtest::SetEnv("QMX_WRAP_TEST", "abc");
  regtest::SetString(base() + "\\w", "x", "%QMX_WRAP_TEST%\\d", REG_EXPAND_SZ);
  EXPECT_EQ(act_reggetexpandedstring(key, "x", 3072, s), 1);
  EXPECT_EQ(s, "abc\\d");
  EXPECT_EQ(act_reggetexpandedstring(key, "s", 3072, s), 1);
  EXPECT_EQ(s, "text");
  EXPECT_EQ(act_reggetexpandedstring(key, "long", 100, s), 0);

  EXPECT_EQ(act_regdeletevalue(key, "s"), 1);
  EXPECT_EQ(act_regdeletevalue(key, "s"), 0);
  RegKey k64;
  EXPECT_EQ(act_regopenkey64(HKEY_LOCAL_MACHINE, (base() + "\\w").c_str(), k64), 1);
  EXPECT_EQ(act_regclosekey(k64), 1);
  EXPECT_FALSE(k64);
  EXPECT_EQ(act_regclosekey(k64), 0);
  EXPECT_EQ(act_regclosekey(key), 1);
  EXPECT_EQ(act_regdeletekey(HKEY_LOCAL_MACHINE, (base() + "\\w").c_str()), 1);
  EXPECT_FALSE(regtest::KeyExists(base() + "\\w"));
  EXPECT_EQ(act_regdeletekey(HKEY_LOCAL_MACHINE, (base() + "\\w").c_str()), 0);
}

TEST_F(Registry, SaveAndLoadAHive) {
  regtest::SetString(base() + "\\hive", "saved", "value");
  RegKey key;
  ASSERT_EQ(act_regopenkey(HKEY_LOCAL_MACHINE, (base() + "\\hive").c_str(), key), 1);
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  std::string file = std::string(dir) + regtest::UniqueName("qmxhive") + ".dat";
  ASSERT_EQ(act_regsavekey(key, file.c_str()), 1);
  std::string hive = regtest::UniqueName("QmxHive");
  ASSERT_EQ(act_regloadkey(HKEY_LOCAL_MACHINE, hive.c_str(), file.c_str()), 1);
  EXPECT_EQ(regtest::GetString(hive, "saved"), "value");
  RegUnLoadKeyA(HKEY_LOCAL_MACHINE, hive.c_str());
  DeleteFileA(file.c_str());
}

// The instance key lives below a unique key of its own, so that its ancestors are ours too:
// <unique>\inner is the instance, <unique> an ancestor with values, and the walk goes on to
// QMX\Ver610 and QMX, whatever they hold.
class EnvFromReg : public ::testing::Test {
 protected:
  EnvFromReg()
      : unique_("QMX\\Ver610\\" + regtest::UniqueName("test")),
        instance_(unique_ + "\\inner"),
        tree_("SOFTWARE\\Orvel\\" + instance_) {}
  std::string Env(const char* sub) const { return "SOFTWARE\\Orvel\\" + std::string(sub) + "\\Environment"; }
  std::string unique_, instance_;
  ScopedTree tree_;
};

TEST_F(EnvFromReg, ImportsEveryLevelUpwards) {
  std::string inst = Env(instance_.c_str()), outer = Env(unique_.c_str());
  std::string var = "QMXT_" + std::to_string(GetCurrentProcessId());
  regtest::SetEnv("QMXT_EXPAND_SRC", "expanded");
  regtest::SetString(inst, (var + "_A").c_str(), "inst-a");
  regtest::SetDword(inst, (var + "_DW").c_str(), 7);
  regtest::SetString(inst, (var + "_C").c_str(), "inst-c");
  regtest::SetString(inst, (var + "_X").c_str(), "%QMXT_EXPAND_SRC%-x", REG_EXPAND_SZ);
  regtest::SetString(inst, (var + "_BOTH").c_str(), "inner");
  regtest::SetString(outer, (var + "_BOTH").c_str(), "outer");
  regtest::SetString(outer, (var + "_OUT").c_str(), "out");

  EXPECT_EQ(SetEnvFromReg(instance_.c_str()), 0u);
  EXPECT_EQ(regtest::Env((var + "_A").c_str()), "inst-a");
  EXPECT_EQ(regtest::Env((var + "_DW").c_str()), "<unset>");  // not text: skipped
  EXPECT_EQ(regtest::Env((var + "_C").c_str()), "inst-c");    // and the walk went on
  EXPECT_EQ(regtest::Env((var + "_X").c_str()), "expanded-x");
  EXPECT_EQ(regtest::Env((var + "_BOTH").c_str()), "outer");  // the ancestor comes later
  EXPECT_EQ(regtest::Env((var + "_OUT").c_str()), "out");
}

TEST_F(EnvFromReg, MissingLevelIsSkippedAndLongNameEndsThatKey) {
  // No Environment at <unique>\inner; <unique>\Environment has a name over 127 characters.
  std::string outer = Env(unique_.c_str());
  std::string var = "QMXL_" + std::to_string(GetCurrentProcessId());
  ScopedTree below("SOFTWARE\\Orvel\\" + instance_ + "\\deeper");
  // Names in the same order by creation and by name, whichever order the registry keeps.
  regtest::SetString(outer, (var + "_1FIRST").c_str(), "1");
  regtest::SetString(outer, (var + "_2" + std::string(125, 'N')).c_str(), "long");
  regtest::SetString(outer, (var + "_3AFTER").c_str(), "2");
  regtest::SetString(Env((instance_ + "\\deeper").c_str()), (var + "_DEEP").c_str(), "deep");

  EXPECT_EQ(SetEnvFromReg((instance_ + "\\deeper").c_str()), 0u);
  EXPECT_EQ(regtest::Env((var + "_DEEP").c_str()), "deep");
  EXPECT_EQ(regtest::Env((var + "_1FIRST").c_str()), "1");
  EXPECT_EQ(regtest::Env((var + "_3AFTER").c_str()), "<unset>");
}

TEST_F(EnvFromReg, MissingInstanceKeyFails) {
  EXPECT_EQ(SetEnvFromReg((unique_ + "\\nothere").c_str()), CRegistry::kWin32Failure);
  EXPECT_EQ(SetEnvFromReg(""), CRegistry::kBadRootOrPath);
}

}  // namespace
