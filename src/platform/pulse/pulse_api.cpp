#include "platform/pulse/pulse_api.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace zt::platform::pulse {

namespace {

std::atomic<const char*> gSoname{kLibpulseName};
std::once_flag gLoadOnce;
bool gLoaded = false;
LibpulseApi gApi;

// dlsym answers an object pointer; POSIX guarantees that converting it to
// the function's own pointer type works.
template <class Fn>
bool resolve(void* handle, const char* name, Fn* into) {
  void* symbol = dlsym(handle, name);
  *into = reinterpret_cast<Fn>(symbol);
  return symbol != nullptr;
}

}  // namespace

bool resolveLibpulse(const char* soname, LibpulseApi* api) {
  *api = LibpulseApi{};
  // RTLD_NOW: a library that lacks a function fails here, not at the first
  // call in the middle of a capture. RTLD_LOCAL: its symbols (and those of
  // everything it brings) stay out of the global namespace.
  void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!handle) return false;
  LibpulseApi found;
  bool complete = true;
#define ZT_LIBPULSE_RESOLVE(name) complete = resolve(handle, #name, &found.name) && complete;
  ZT_LIBPULSE_FUNCTIONS(ZT_LIBPULSE_RESOLVE)
#undef ZT_LIBPULSE_RESOLVE
  if (!complete) {
    dlclose(handle);
    return false;
  }
  *api = found;
  return true;
}

bool loadLibpulse() {
  std::call_once(gLoadOnce, [] { gLoaded = resolveLibpulse(gSoname.load(), &gApi); });
  return gLoaded;
}

const LibpulseApi& libpulse() { return gApi; }

void setLibpulseNameForTesting(const char* soname) { gSoname.store(soname); }

}  // namespace zt::platform::pulse
