#ifndef KORVANE_PLATFORM_THREAD_BACKEND_H
#define KORVANE_PLATFORM_THREAD_BACKEND_H

#include <cstdint>

namespace korvane::platform {

struct ThreadHandle;

// Creates a thread running entry(arg); null when it cannot be created. stack_size 0 means
// the platform's default.
ThreadHandle* CreateThread(void (*entry)(void*), void* arg, uint32_t stack_size, uint32_t* thread_id);
// Waits without limit for the thread to end and releases the handle.
void JoinThread(ThreadHandle* thread);

}  // namespace korvane::platform

#endif
