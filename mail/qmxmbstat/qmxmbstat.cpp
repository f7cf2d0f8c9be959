// qmxmbstat.exe: gathers mailbox or public folder statistics through the Exchange management shell
// and writes the details file the agent's tables read. The file is replaced in one step, and only
// after a complete run: a failed run leaves the previous file as it was.
//
// Exit codes: 0 written; 1 bad arguments; 2 the shell could not be started, failed or did not end
// in time; 3 its output is missing or not in shape; 4 the details file could not be written.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qmxmbstat_portable.h"
#include "qmxprocess.h"
#include "qmxhandle.h"
#include "win_text.h"

namespace {

using namespace qmx::mbstat;

enum Exit { kWritten = 0, kBadArguments = 1, kShellFailed = 2, kBadOutput = 3, kNotWritten = 4 };

// What the shell prints is kept up to this size, for the message of a failed run.
constexpr size_t kShellOutputKept = 16384;

int Complain(int code, const std::string& message) {
  std::fprintf(stderr, "qmxmbstat: %s\n", message.c_str());
  return code;
}

std::string ErrorText(DWORD code) {
  char text[512] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                           text, sizeof text, nullptr);
  while (n && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
  return n ? std::string(text) + " (" + std::to_string(code) + ")" : "error " + std::to_string(code);
}

// The last lines of what the shell printed, indented, for a failure message.
std::string Tail(const std::string& output) {
  constexpr size_t kShown = 2000;
  std::string tail = output.size() > kShown ? output.substr(output.size() - kShown) : output;
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r' || tail.back() == ' ')) tail.pop_back();
  if (tail.empty()) return std::string();
  std::string text = "\n  shell output:\n    ";
  for (char c : tail) {
    if (c == '\r') continue;
    text += c;
    if (c == '\n') text += "    ";
  }
  return text;
}

bool IsFolder(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder of a file name; "." when it names none.
std::string FolderOf(const std::string& file) {
  size_t slash = file.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  if (slash == 0 || (slash == 2 && file[1] == ':')) return file.substr(0, slash + 1);
  return file.substr(0, slash);
}

// The file the script writes its records to, beside the details file; removed when done.
class RecordsFile {
 public:
  explicit RecordsFile(const std::string& details)
      : path_(details + "." + std::to_string(GetCurrentProcessId()) + ".records") {
    DeleteFileA(path_.c_str());
  }
  ~RecordsFile() { DeleteFileA(path_.c_str()); }
  RecordsFile(const RecordsFile&) = delete;
  RecordsFile& operator=(const RecordsFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string Utf16le(const std::string& utf8) {
  const std::wstring wide = qmx::ToWide(utf8, CP_UTF8);
  std::string bytes;
  bytes.reserve(wide.size() * 2);
  for (wchar_t c : wide) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  return bytes;
}

// Reads the records file into the reader; false when it cannot be opened.
bool ReadRecords(const std::string& path, RecordReader* reader) {
  qmx::UniqueKernelHandle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return false;
  std::vector<char> chunk(65536);
  DWORD got = 0;
  while (ReadFile(f.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) && got)
    reader->Feed(chunk.data(), got);
  return true;
}

int Run(const Arguments& args) {
  const std::string folder = FolderOf(args.file);
  if (!IsFolder(folder)) return Complain(kBadArguments, "the folder of the details file does not exist: " + folder);

  RecordsFile records(args.file);
  const std::string script = BuildScript(*args.mode, *args.release, args.server,
                                         qmx::FromWide(qmx::ToWide(records.path(), CP_ACP), CP_UTF8));
  std::string output;
  const qmx::BoundedRun run =
      qmx::RunBounded(ShellCommandLine(Utf16le(script)), args.timeoutSeconds * 1000u, &output, kShellOutputKept);
  switch (run.end) {
    case qmx::RunEnd::kNotStarted:
      return Complain(kShellFailed, std::string("PowerShell.exe could not be started (") + run.failedCall + ": " +
                                        ErrorText(run.error) +
                                        "); Windows PowerShell must be installed and on the search path");
    case qmx::RunEnd::kTimedOut:
      return Complain(kShellFailed, "the management shell did not end within " +
                                        std::to_string(args.timeoutSeconds) +
                                        " s and was stopped; the details file was left as it was" + Tail(output));
    case qmx::RunEnd::kEnded:
      break;
  }
  if (run.exitCode != 0)
    return Complain(kShellFailed, "the management shell ended with exit code " + std::to_string(run.exitCode) +
                                      "; the details file was left as it was" + Tail(output));

  RecordReader reader(*args.mode);
  if (!ReadRecords(records.path(), &reader))
    return Complain(kBadOutput, "the management shell wrote no output (" + records.path() +
                                    "); the details file was left as it was" + Tail(output));
  std::string error;
  if (!reader.Finish(&error))
    return Complain(kBadOutput, "the management shell's output is not in the expected shape: " + error +
                                    "; the details file was left as it was");

  const bool mailboxes = args.mode->mode == Mode::kMailboxes;
  const std::string text =
      mailboxes ? MailboxDetailsText(reader.mailboxes()) : PublicFolderDetailsText(reader.folders());
  if (!qmx::ReplaceFileText(args.file, text))
    return Complain(kNotWritten, "cannot write " + args.file + ": " + ErrorText(GetLastError()));
  std::printf("qmxmbstat: %zu %s written to %s\n", mailboxes ? reader.mailboxes().size() : reader.folders().size(),
              mailboxes ? "mailboxes" : "public folders", args.file.c_str());
  return kWritten;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  Arguments args;
  std::string error;
  if (!ParseArguments(words, &args, &error)) {
    std::fprintf(stderr, "qmxmbstat: %s\n%s\n", error.c_str(), kUsage);
    return kBadArguments;
  }
  return Run(args);
}
