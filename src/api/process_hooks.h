#ifndef KORVANE_API_PROCESS_HOOKS_H
#define KORVANE_API_PROCESS_HOOKS_H

namespace korvane::api {

// Called by the platform's library entry point when the library is loaded into a process.
void ProcessAttach();
// Called when the library is unloaded. process_terminating is true when the whole process
// is ending (its other threads are already gone), false for an unload while it runs on.
void ProcessDetach(bool process_terminating);

}  // namespace korvane::api

#endif
