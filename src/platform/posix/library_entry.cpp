// Load and unload hooks of the shared library: the POSIX form of process attach and detach.
#include "api/process_hooks.h"

namespace {

__attribute__((constructor)) void KorvaneLibraryLoaded() { korvane::api::ProcessAttach(); }

__attribute__((destructor)) void KorvaneLibraryUnloaded() { korvane::api::ProcessDetach(false); }

}  // namespace
