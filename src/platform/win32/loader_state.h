#ifndef KORVANE_PLATFORM_WIN32_LOADER_STATE_H
#define KORVANE_PLATFORM_WIN32_LOADER_STATE_H

// What the Windows loader is doing to the library. During process detach the entry point
// runs under the loader lock, and the thread and event backends must not wait for what can
// no longer happen:
// - kUnloading (FreeLibrary while the process runs on): a thread that ends takes the loader
//   lock, so joining a thread by its handle would deadlock, and a new thread cannot start.
// - kProcessEnding (ExitProcess): every other thread is already gone, so nobody can signal
//   an event or end a thread any more.

namespace korvane::platform::win32 {

enum class LoaderState : int { kRunning = 0, kUnloading = 1, kProcessEnding = 2 };

void SetLoaderState(LoaderState state);
LoaderState CurrentLoaderState();

}  // namespace korvane::platform::win32

#endif
