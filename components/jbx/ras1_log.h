// JBX_RAS1_LOG: where the trace goes and how its files rotate.
//
//   JBX_RAS1_LOG = file [INVENTORY=file] [LIMIT=n[K]] [MAXFILES=n] [COUNT=n] [PRESERVE=n]
//
// file      the trace file; "<p>(systask)" becomes the task name (the executable's name without
//           extension) and "<p>(sysutcstart)" the UTC start time as YYYYMMDDhhmmss, where <p> is
//           JBX_VARPREFIX ("$" when unset). A quoted name may hold blanks.
// LIMIT     size of one trace file in MiB (a K suffix means KiB); when reached the trace moves on
//           to the next file. Rotation needs a "-" just before the extension ("qmx-.log"): the
//           file number goes there ("qmx-1.log", "qmx-2.log", ...). Without it the trace goes to
//           the one file and grows.
// MAXFILES  number of trace files of one start; after the last one the trace wraps round to the
//           first file that is not preserved and overwrites it. Default 10. A file is otherwise
//           appended to, unless an earlier run left it.
// PRESERVE  the first n files of a start are never overwritten when the trace wraps. Default 0.
// INVENTORY a text file that lists, one line each, the trace files of every start.
// COUNT     number of starts whose trace files are kept: at start the files of older starts
//           named in the inventory are deleted. Needs INVENTORY. Default: all are kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace jbx {

struct LogSpec {
  std::string file;       // after substitution
  std::string inventory;  // after substitution, empty when none
  uint64_t limitBytes = 0;  // 0: no rotation
  unsigned maxFiles = 10;
  unsigned count = 0;     // 0: keep all starts
  unsigned preserve = 0;
};

// Parses the value; substitutions use the prefix, the task name and the start time text.
LogSpec ParseLogSpec(const std::string& text, const std::string& prefix, const std::string& task,
                     const std::string& utcStart);

// The name of file number n (from 1) of rotating settings, or the file itself without rotation.
std::string SegmentName(const LogSpec& settings, unsigned n);

// A file each write of which lands whole at its end, also while other handles append to it (the
// counter service's copy of this library in the same process, another process). Failures are
// returned, never thrown.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile() { Close(); }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  bool Open(const std::string& name, bool truncate);
  bool Append(const std::string& data);
  void Close();
  bool isOpen() const { return handle_ != -1; }

 private:
  intptr_t handle_ = -1;  // a Windows file handle or a POSIX descriptor
};

// Writes lines to the files the settings name, rotating by its rules. Every failure is swallowed:
// Write returns false and the caller may fall back to another stream.
class RotatingLog {
 public:
  explicit RotatingLog(const LogSpec& settings);
  ~RotatingLog();
  RotatingLog(const RotatingLog&) = delete;
  RotatingLog& operator=(const RotatingLog&) = delete;

  bool Write(const std::string& line);
  bool ok() const { return file_.isOpen(); }
  const std::string& currentName() const { return currentName_; }

 private:
  bool Open(unsigned n);
  void PruneOldStarts();
  void RecordInInventory(const std::string& name);

  LogSpec settings_;
  bool rotating_;  // the settings name numbered files (a limit and a "-" before the extension)
  AppendFile file_;
  std::string currentName_;
  unsigned segment_ = 0;
  uint64_t written_ = 0;
  std::vector<unsigned> opened_;  // file numbers this log has written to
};

}  // namespace jbx
