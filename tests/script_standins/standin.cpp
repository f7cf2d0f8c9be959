// Test stand-in for PowerShell.exe (with the Exchange shell) and WScript.exe, which Wine lacks.
// Never shipped. Built twice (QMX_STANDIN_POWERSHELL or not). It checks the command line the
// agent built, opens the script it names, finds the output file each command writes and writes
// there the output a test prepared.
//
// Folder QMX_STANDIN_DATA:
//   calls.log         one line per run: "<program>|<command line arguments>" (appended)
//   errors.log        what was wrong (appended); the exit code is then 2 (command line) or 3
//   pid.txt           the process id of the latest run
//   <cmdlet>.txt      PowerShell: the format-list output of a cmdlet ("get-mailboxdatabase.txt"),
//                     written UTF-8 with a byte-order mark, CRLF, lines wrapped at -width
//   <script>.txt      WScript: the output of a script ("nlbstatus.txt"), written as it is
//   delay_ms          wait this long before writing
//   exit_code         end with this code
//   qmxmbstat-<mode>.txt  PowerShell, a script of the statistics tool ("-EncodedCommand"): what
//                     the script writes to its records file, written as it is (no file: the
//                     script writes none)
//   script.ps1        the latest encoded script, decoded (UTF-8), for the tests to inspect
//   stdout.txt        printed on standard output by a statistics tool script
// QMX_STANDIN_SERVER, when set: the server every PowerShell command must name.
// QMX_STANDIN_SNAPIN, when set: the snap-in a statistics tool script must add.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_tool.h"
#include "win_text.h"

namespace {

std::string& g_data = qmxtool::Data();

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

using qmxtool::Append;
using qmxtool::Fail;
using qmxtool::ReadAll;

int Setting(const char* name, int fallback) {
  bool exists = false;
  std::string v = ReadAll(g_data + "\\" + name, &exists);
  return exists && !v.empty() ? std::atoi(v.c_str()) : fallback;
}

// The arguments as one string, after the program name and the blanks that follow it.
std::string Arguments() {
  std::string rest = qmxtool::ArgumentsAfterProgram();
  return rest.substr(std::min(rest.size(), rest.find_first_not_of(" \t")));
}

// Takes `expected` from the front of *rest, or fails.
void Expect(std::string* rest, const std::string& expected, const std::string& whole) {
  if (rest->compare(0, expected.size(), expected) != 0)
    Fail(2, "command line does not continue with [" + expected + "]: " + whole);
  rest->erase(0, expected.size());
}

// Text up to `end`, which is taken too.
std::string Until(std::string* rest, char end, const std::string& whole) {
  size_t at = rest->find(end);
  if (at == std::string::npos) Fail(2, std::string("missing ") + end + " in: " + whole);
  std::string part = rest->substr(0, at);
  rest->erase(0, at + 1);
  return part;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// The word after the first of `keys` (compared without case), or "".
std::string After(const std::vector<std::string>& words, std::initializer_list<const char*> keys) {
  for (size_t i = 0; i + 1 < words.size(); ++i)
    for (const char* k : keys)
      if (Lower(words[i]) == k) return words[i + 1];
  return "";
}

void Delay() {
  int ms = Setting("delay_ms", 0);
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

// One pipeline line of a PowerShell script: "<cmdlet> ... | out-file "<path>" -encoding UTF8
// [-append] -width N".
void RunPowerShellLine(const std::string& line) {
  std::vector<std::string> words = Words(line);
  if (words.empty()) return;
  size_t outAt = line.find("| out-file \"");
  if (outAt == std::string::npos) Fail(3, "no out-file in script line: " + line);
  std::string rest = line.substr(outAt + 12);
  std::string path = rest.substr(0, rest.find('"'));
  std::vector<std::string> options = Words(rest.substr(rest.find('"') + 1));
  bool append = std::find(options.begin(), options.end(), "-append") != options.end();
  int width = std::atoi(After(options, {"-width"}).c_str());
  if (After(options, {"-encoding"}) != "UTF8" || width < 10) Fail(3, "unexpected out-file options: " + line);
  const char* server = std::getenv("QMX_STANDIN_SERVER");
  std::string named = After(words, {"-server", "-identity"});
  if (server && *server && Lower(named) != Lower(server))
    Fail(3, "command names server [" + named + "], not [" + server + "]");

  bool prepared = false;
  std::string text = ReadAll(g_data + "\\" + Lower(words[0]) + ".txt", &prepared);
  std::string out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    do {  // the shell wraps a line at the width
      out += l.substr(0, static_cast<size_t>(width)) + "\r\n";
      l.erase(0, std::min(l.size(), static_cast<size_t>(width)));
    } while (!l.empty());
  }
  bool existing = false;
  std::string before = append ? ReadAll(path, &existing) : "";
  std::ofstream file(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  if (!file) Fail(3, "cannot write " + path);
  if (prepared && before.empty()) file << "\xEF\xBB\xBF";
  file << out;
}

// Base64 as the shell reads -EncodedCommand; fails on anything else.
std::string DecodeBase64(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.empty() || text.size() % 4) Fail(2, "encoded command is not base64 (length)");
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    unsigned v = 0;
    int pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      char c = text[i + k];
      size_t at = alphabet.find(c);
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++pad;
        at = 0;
      } else if (at == std::string::npos || pad) {
        Fail(2, "encoded command is not base64");
      }
      v = v << 6 | static_cast<unsigned>(at);
    }
    out += static_cast<char>(v >> 16);
    if (pad < 2) out += static_cast<char>((v >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(v & 0xFF);
  }
  return out;
}

// The PowerShell single-quoted literal at the front of text (after its opening quote); every
// doubled quote stands for one.
std::string Literal(const std::string& text) {
  std::string value;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\'') {
      value += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '\'') {
      value += '\'';
      ++i;
    } else {
      return value;
    }
  }
  Fail(3, "unterminated string in script: " + text);
}

// A script of the statistics tool: checked for what its mode needs; its records file gets the
// prepared records.
int StatisticsScript(const std::string& encoded) {
  std::string bytes = DecodeBase64(encoded);
  if (bytes.size() % 2) Fail(2, "encoded command is not UTF-16");
  std::wstring wide(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < wide.size(); ++i)
    wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  const std::string script = qmx::FromWide(wide, CP_UTF8);
  {
    std::ofstream copy(g_data + "\\script.ps1", std::ios::binary | std::ios::trunc);
    copy << script;
  }
  struct Mode {
    const char* name;
    std::vector<const char*> cmdlets;
  };
  const std::vector<Mode> modes = {
      {"mailboxdetails", {"Get-MailboxDatabase -Server '", "Get-Mailbox -Server '", "Get-MailboxStatistics -Identity "}},
      {"publicfolderdetails", {"Get-PublicFolderStatistics -Server '"}},
  };
  std::vector<std::string> words = Words(script.substr(0, script.find('\r')));
  const Mode* mode = nullptr;
  for (const Mode& m : modes)
    if (words.size() > 2 && words[0] == "#" && words[1] == "qmxmbstat" && words[2] == std::string(m.name) + ":") mode = &m;
  if (!mode) Fail(3, "not a statistics tool script: " + script.substr(0, 80));
  for (const Mode& m : modes)
    for (const char* cmdlet : m.cmdlets)
      if ((script.find(cmdlet) != std::string::npos) != (&m == mode))
        Fail(3, std::string(mode->name) + " script " + (&m == mode ? "lacks " : "has ") + cmdlet);
  size_t at = script.find("\r\nAdd-PSSnapin ");
  if (at == std::string::npos) Fail(3, "no snap-in added");
  std::string snapin = Words(script.substr(at + 15, script.find('\r', at + 2) - at - 15)).at(0);
  const char* expected = std::getenv("QMX_STANDIN_SNAPIN");
  if (expected && *expected && snapin != expected) Fail(3, "snap-in [" + snapin + "], not [" + expected + "]");
  const char* server = std::getenv("QMX_STANDIN_SERVER");
  for (at = script.find("-Server '"); at != std::string::npos; at = script.find("-Server '", at + 1)) {
    std::string named = Literal(script.substr(at + 9));
    if (server && *server && Lower(named) != Lower(server))
      Fail(3, "command names server [" + named + "], not [" + server + "]");
  }
  if (script.find("\r\nRecord @('E', $count.ToString($inv))\r\n$out.Close()\r\n") == std::string::npos)
    Fail(3, "the script does not end with its end record");
  at = script.find("New-Object IO.StreamWriter('");
  if (at == std::string::npos) Fail(3, "no records file in the script");
  const std::wstring path = qmx::ToWide(Literal(script.substr(at + 28)), CP_UTF8);

  Delay();
  bool printed = false;
  std::string out = ReadAll(g_data + "\\stdout.txt", &printed);
  if (printed) std::fwrite(out.data(), 1, out.size(), stdout);
  bool prepared = false;
  std::string records = ReadAll(g_data + "\\qmxmbstat-" + mode->name + ".txt", &prepared);
  if (prepared) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) Fail(3, "cannot write the records file " + qmx::FromWide(path, CP_UTF8));
    DWORD written = 0;
    WriteFile(f, records.data(), static_cast<DWORD>(records.size()), &written, nullptr);
    CloseHandle(f);
  }
  return Setting("exit_code", 0);
}

[[maybe_unused]] int PowerShell(const std::string& args) {
  const std::string encoded = "-NoLogo -NoProfile -NonInteractive -EncodedCommand ";
  if (args.compare(0, encoded.size(), encoded) == 0) return StatisticsScript(args.substr(encoded.size()));
  // PowerShell.exe -PSConsoleFile "<install>Bin\ExShell.psc1" -Command ". '<script>'"
  std::string rest = args;
  Expect(&rest, "-PSConsoleFile \"", args);
  std::string console = Until(&rest, '"', args);
  Expect(&rest, " -Command \". '", args);
  std::string script = Until(&rest, '\'', args);
  Expect(&rest, "\"", args);
  if (!rest.empty()) Fail(2, "extra arguments: " + rest);
  if (console.size() < 16 || console.substr(console.size() - 16) != "Bin\\ExShell.psc1")
    Fail(2, "console file is not Bin\\ExShell.psc1: " + console);
  if (GetFileAttributesA(console.c_str()) == INVALID_FILE_ATTRIBUTES)
    Fail(3, "console file not found: " + console);
  bool exists = false;
  std::string text = ReadAll(script, &exists);
  if (!exists) Fail(3, "script not found: " + script);
  Delay();
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) RunPowerShellLine(l);
  return Setting("exit_code", 0);
}

[[maybe_unused]] int WScript(const std::string& args) {
  // WScript "<script>"
  std::string rest = args;
  Expect(&rest, "\"", args);
  std::string script = Until(&rest, '"', args);
  if (!rest.empty()) Fail(2, "extra arguments: " + rest);
  bool exists = false;
  std::string text = ReadAll(script, &exists);
  if (!exists) Fail(3, "script not found: " + script);
  size_t at = text.find("If Not blnOpenFile(\"");
  if (at == std::string::npos) at = text.find("If blnOpenFile(\"");
  if (at == std::string::npos) Fail(3, "no output file in script: " + script);
  at = text.find('"', at) + 1;
  std::string path = text.substr(at, text.find('"', at) - at);
  std::string base = script.substr(script.find_last_of('\\') + 1);
  base = Lower(base.substr(0, base.find('.')));
  Delay();
  bool prepared = false;
  std::string out = ReadAll(g_data + "\\" + base + ".txt", &prepared);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) Fail(3, "cannot write " + path);
  file << out;
  return Setting("exit_code", 0);
}

}  // namespace

int main() {
  qmxtool::Name() = "stand-in";
  const char* data = std::getenv("QMX_STANDIN_DATA");
  g_data = data ? data : "";
  if (g_data.empty()) Fail(3, "QMX_STANDIN_DATA is not set");
#ifdef QMX_STANDIN_POWERSHELL
  const char* program = "PowerShell";
#else
  const char* program = "WScript";
#endif
  std::string args = Arguments();
  Append("calls.log", std::string(program) + "|" + args);
  {
    std::ofstream pid(g_data + "\\pid.txt", std::ios::trunc);
    pid << GetCurrentProcessId();
  }
#ifdef QMX_STANDIN_POWERSHELL
  return PowerShell(args);
#else
  return WScript(args);
#endif
}
