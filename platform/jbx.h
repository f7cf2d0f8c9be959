// Trace and environment services (jbx): the calls the agent makes and the blocks it passes.
#pragma once

#include <cstddef>
#include <cstdint>

// Level bits tested by callers before they write a line.
enum : uint32_t {
  RAS1_FLOW = 0x01,   // flow lines
  RAS1_STATE = 0x10,  // state dumps
  RAS1_EVENT = 0x40,  // entry and exit events
  RAS1_ERROR = 0x80,  // error lines
};

// RAS1_Event kinds.
enum : int { RAS1_EV_ENTRY = 0, RAS1_EV_EXIT_VALUE = 1, RAS1_EV_EXIT = 2 };

// One per source file, static.
struct RAS1_UnitBlock {
  const char* file;
  size_t fileLen;
  const char* date;
  size_t dateLen;
  const char* time;
  size_t timeLen;
  const char* product;
  size_t productLen;
  volatile uint32_t* generation;  // the unit's trace generation word
};

// One per function, static.
struct RAS1_EntryBlock {
  RAS1_UnitBlock* unit;
  const char* function;
  size_t functionLen;
  int line;
  volatile uint32_t* generation;
  uint32_t level;       // cached level
  uint32_t cachedAt;    // generation the level was cached at; 0 = never
};

// The generation word every unit block points at; bumped whenever the levels change.
extern volatile uint32_t RAS1_Generation;

uint32_t RAS1_Sync(RAS1_EntryBlock* eb);
void RAS1_Event(RAS1_EntryBlock* eb, int line, int kind, ...);
void RAS1_Printf(RAS1_EntryBlock* eb, int line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

const char* BSS1_GetEnv(const char* name, int reserved);
void BSS1_PutEnv(const char* text);
const char* BSS1_ToUpper(const char* text, size_t length);

// Current level of an entry block: the cache while the generation holds, RAS1_Sync otherwise.
inline uint32_t RAS1_Level(RAS1_EntryBlock* eb) {
  return eb->cachedAt == *eb->generation ? eb->level : RAS1_Sync(eb);
}
