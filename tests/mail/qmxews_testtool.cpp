// Test tool in the place of the mail tool qmxews.exe (built as qmxews.exe into test_bin, never
// shipped). A test copies it into the parent folder of the agent's log folder and prepares, in
// that same folder:
//   qmxews_expect.txt   optional: the ten arguments after the program name, one a line ("*"
//                       takes any value); a difference is written to qmxews_errors.log (never a
//                       password's value) and the tool ends with 2 without printing
//   qmxews_answer<N>.txt, else qmxews_answer_<target address>.txt, else qmxews_answer.txt: what
//                       the N-th run prints, line by line, except:
//     @delay MS      wait MS milliseconds
//     @forever       never end
//     @flood KB      print one line of KB kilobytes
//     @floodforever  print long lines without end
// Every run appends "start <target>" to qmxews_calls.log, and "end <target>" when it ends.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string g_dir;

std::string Path(const std::string& name) { return g_dir + name; }

void Append(const std::string& name, const std::string& line) {
  std::ofstream out(Path(name), std::ios::app | std::ios::binary);
  out << line << "\n";
}

std::vector<std::string> Lines(const std::string& name, bool* found) {
  std::ifstream in(Path(name), std::ios::binary);
  *found = static_cast<bool>(in);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  return lines;
}

int CallNumber() {
  bool found = false;
  int n = 0;
  for (const std::string& l : Lines("qmxews_calls.log", &found)) n += l.rfind("start ", 0) == 0;
  return n;
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  g_dir.assign(self, n);
  g_dir.resize(g_dir.rfind('\\') + 1);
  const std::string target = argc > 7 ? argv[7] : "";
  Append("qmxews_calls.log", "start " + target);
  const int call = CallNumber();

  bool found = false;
  std::vector<std::string> expect = Lines("qmxews_expect.txt", &found);
  if (found) {
    std::ostringstream errors;
    if (argc != 11) errors << "call " << call << ": " << argc - 1 << " arguments, 10 expected\n";
    for (int i = 1; i < argc && i <= static_cast<int>(expect.size()); ++i) {
      if (expect[static_cast<size_t>(i - 1)] == argv[i] || expect[static_cast<size_t>(i - 1)] == "*")
        continue;
      if (i == 3)
        errors << "call " << call << ": argument 3 (password) differs\n";
      else
        errors << "call " << call << ": argument " << i << " is \"" << argv[i] << "\", expected \""
               << expect[static_cast<size_t>(i - 1)] << "\"\n";
    }
    if (!errors.str().empty()) {
      std::ofstream(Path("qmxews_errors.log"), std::ios::app | std::ios::binary) << errors.str();
      Append("qmxews_calls.log", "end " + target);
      return 2;
    }
  }

  std::vector<std::string> answer = Lines("qmxews_answer" + std::to_string(call) + ".txt", &found);
  if (!found) answer = Lines("qmxews_answer_" + target + ".txt", &found);
  if (!found) answer = Lines("qmxews_answer.txt", &found);
  for (const std::string& line : answer) {
    if (line.rfind("@delay ", 0) == 0) {
      Sleep(static_cast<DWORD>(std::stoul(line.substr(7))));
    } else if (line == "@forever") {
      for (;;) Sleep(1000);
    } else if (line.rfind("@flood ", 0) == 0) {
      Print(std::string(std::stoul(line.substr(7)) * 1024, 'x') + "\r\n");
    } else if (line == "@floodforever") {
      const std::string chunk = std::string(10 * 1024, 'y') + "\r\n";
      for (;;) Print(chunk);
    } else {
      Print(line + "\r\n");
    }
  }
  Append("qmxews_calls.log", "end " + target);
  return 0;
}
