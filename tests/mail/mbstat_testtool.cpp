// Test tool in the place of the mailbox statistics tool qmxmbstat.exe. Never shipped. It checks the
// command line the agent built and writes the details file a test prepared, through a temporary
// file that replaces the old one in one step.
//
//   qmxmbstat.exe -mailboxdetails|-publicfolderdetails 2010|2007|N/A SERVER "DETAILS FILE"
//
// Folder QMX_MBSTAT_DATA:
//   calls.log                 one line per run: the arguments as given (appended)
//   errors.log                what was wrong (appended); the exit code is then 2
//   pid.txt                   the process id of the latest run
//   mailboxdetails.txt        what to write for -mailboxdetails (no file: nothing written, exit 3)
//   publicfolderdetails.txt   what to write for -publicfolderdetails
//   hang                      when present: never end (the agent must end this process); while
//                             it runs the tool rewrites "heartbeat" every 200 ms
// The tool must lie in the parent folder of the details file's folder, and the file's name must be
// the one the option and release call for.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_tool.h"

namespace {

using qmxtool::Append;
using qmxtool::Fail;
using qmxtool::ReadAll;

// The arguments after the program name and the one blank that follows it.
std::string Arguments() {
  std::string rest = qmxtool::ArgumentsAfterProgram();
  return rest.empty() ? rest : rest.substr(1);
}

// Elements separated by exactly one blank; a quoted element keeps its blanks.
bool Split(const std::string& args, std::vector<std::string>* out) {
  size_t i = 0;
  while (i < args.size()) {
    std::string element;
    if (args[i] == '"') {
      size_t end = args.find('"', i + 1);
      if (end == std::string::npos) return false;
      element = args.substr(i + 1, end - i - 1);
      i = end + 1;
    } else {
      size_t end = args.find(' ', i);
      if (end == std::string::npos) end = args.size();
      element = args.substr(i, end - i);
      i = end;
    }
    if (element.empty()) return false;
    out->push_back(element);
    if (i < args.size()) {
      if (args[i] != ' ' || i + 1 >= args.size() || args[i + 1] == ' ') return false;
      ++i;
    }
  }
  return true;
}

std::string Folder(const std::string& path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

int main() {
  char data[MAX_PATH] = {0};
  if (!GetEnvironmentVariableA("QMX_MBSTAT_DATA", data, sizeof data)) {
    std::fprintf(stderr, "qmxmbstat test tool: QMX_MBSTAT_DATA is not set\n");
    return 2;
  }
  qmxtool::Data() = data;
  qmxtool::Name() = "qmxmbstat test tool";
  const std::string args = Arguments();
  Append("calls.log", args);
  {
    std::ofstream pid(qmxtool::Data() + "\\pid.txt", std::ios::binary);
    pid << GetCurrentProcessId();
  }
  std::vector<std::string> a;
  if (!Split(args, &a) || a.size() != 4) Fail(2, "not four elements separated by one blank: " + args);
  const std::string& option = a[0];
  const std::string& release = a[1];
  const std::string& file = a[3];
  if (option != "-mailboxdetails" && option != "-publicfolderdetails") Fail(2, "unknown option " + option);
  if (release != "2010" && release != "2007" && release != "N/A") Fail(2, "unknown release " + release);
  if (args.find(" \"" + file + "\"") == std::string::npos) Fail(2, "the details file is not quoted: " + args);
  const std::string expectedName = option == "-mailboxdetails" ? "MailBox_Details.log"
                                                               : "PublicFolderDetails" + release + ".log";
  if (file.size() < expectedName.size() ||
      file.compare(file.size() - expectedName.size(), expectedName.size(), expectedName) != 0 ||
      file[file.size() - expectedName.size() - 1] != '\\')
    Fail(2, "details file " + file + " is not named " + expectedName);
  char self[MAX_PATH] = {0};
  GetModuleFileNameA(nullptr, self, sizeof self);
  if (Lower(Folder(self)) != Lower(Folder(Folder(file))))
    Fail(2, std::string("tool at ") + self + ", not in the parent folder of the details file's folder");

  bool exists = false;
  ReadAll(qmxtool::Data() + "\\hang", &exists);
  for (unsigned beat = 0; exists; ++beat) {
    std::ofstream(qmxtool::Data() + "\\heartbeat", std::ios::binary | std::ios::trunc) << beat;
    Sleep(200);
  }
  const std::string text = ReadAll(qmxtool::Data() + "\\" + option.substr(1) + ".txt", &exists);
  if (!exists) return 3;
  const std::string temp = file + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) Fail(2, "cannot write " + temp);
  }
  if (!MoveFileExA(temp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    Fail(2, "cannot replace " + file);
  return 0;
}
