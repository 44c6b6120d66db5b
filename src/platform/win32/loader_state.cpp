#include "platform/win32/loader_state.h"

#include <atomic>

namespace korvane::platform::win32 {

namespace {
std::atomic<int> g_state{static_cast<int>(LoaderState::kRunning)};
}  // namespace

void SetLoaderState(LoaderState state) { g_state.store(static_cast<int>(state)); }

LoaderState CurrentLoaderState() { return static_cast<LoaderState>(g_state.load()); }

}  // namespace korvane::platform::win32
