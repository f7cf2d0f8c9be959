// SampleBfr: the rows of one table as the counter service last delivered them.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>

class SampleBfr {
 public:
  // Every buffer of the agent is built with (0, 1): empty until the loader sizes it.
  SampleBfr(uint32_t rowSize, uint32_t rowCount);
  ~SampleBfr();
  SampleBfr(const SampleBfr&) = delete;
  SampleBfr& operator=(const SampleBfr&) = delete;

  // Replaces the storage by `bytes` rounded up to whole rows, zero-filled; bytes < 1 empties it.
  void Allocate(long long bytes);
#ifdef _WIN32
  // Creates the per-process named mutex "%08X.<table id>.ZrtSampleBfr" (the loader's buffer
  // initialiser); 1 on success, 0 otherwise.
  int InitMutex(const char* tableId);
  // Waits up to 5 s for the mutex: its handle when obtained, null otherwise.
  void* Wait();
  // Releases the mutex obtained by Wait: 1 on success, 0 otherwise.
  int Release(void* handle);
#endif
  // Frees the storage, closes the mutex and clears the sizes, handles, result and system name.
  void Reset();
  void SetTableName(const char* name);
  void SetSysName(const char* name);

  char szEyeBall[16];
  uint32_t nVersion;
  uint64_t hSample;
  void* hMutex;
  uint32_t nBufferSize;
  uint32_t nRowSize;
  uint32_t nBufferUsed;
  uint32_t nRowsInBuffer;
  uint32_t nRowsUsed;
  std::unique_ptr<char[]> pBuffer;  // nBufferSize bytes, or null
  uint32_t ulResult;
  int32_t bCtrObject;
  char szSysName[64];
  char szTblName[32];

 private:
  void ClearSizes();
};

std::ostream& operator<<(std::ostream& out, const SampleBfr& bfr);
