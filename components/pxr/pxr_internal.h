// Framework-internal extension points: the monitoring side starts and stops with pxrmain.
#pragma once

namespace pxr {

struct ServeHook {
  void* (*start)();       // called after the loader, on the framework thread
  void (*stop)(void*);    // called when the framework shuts down, with start's result
};

void AddServeHook(const ServeHook& hook);

}  // namespace pxr
