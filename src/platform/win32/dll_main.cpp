// Entry point of the Windows DLLs: process attach and detach.
#include <windows.h>

#include "api/process_hooks.h"
#include "platform/win32/loader_state.h"

using korvane::platform::win32::LoaderState;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      korvane::api::ProcessAttach();
      break;
    case DLL_PROCESS_DETACH: {
      // A non-null reserved pointer means ExitProcess: the other threads have been ended.
      const bool process_ending = reserved != nullptr;
      // Stays set: the static destructors that run after this are under the loader lock too.
      korvane::platform::win32::SetLoaderState(process_ending ? LoaderState::kProcessEnding
                                                              : LoaderState::kUnloading);
      korvane::api::ProcessDetach(process_ending);
      break;
    }
    default:
      break;
  }
  return TRUE;
}
