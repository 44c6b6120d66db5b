#include <windows.h>
#include <process.h>

#include "platform/thread_backend.h"
#include "platform/win32/loader_state.h"

namespace korvane::platform {

// After entry returns, a thread reports "finished" and then parks until it is released.
// Normally JoinThread releases it and waits for its handle. While the library is unloaded
// under the loader lock that wait would deadlock (a thread that ends takes the loader
// lock), so JoinThread waits for "finished" and ends the parked thread instead; a thread
// ended that way takes no lock, and it no longer runs any code of the library.
struct ThreadHandle {
  HANDLE thread = nullptr;
  HANDLE finished = nullptr;
  HANDLE release = nullptr;
  void (*entry)(void*) = nullptr;
  void* arg = nullptr;
};

namespace {

unsigned __stdcall ThreadMain(void* raw) {
  auto* handle = static_cast<ThreadHandle*>(raw);
  handle->entry(handle->arg);
  SetEvent(handle->finished);
  WaitForSingleObject(handle->release, INFINITE);
  return 0;
}

void Release(ThreadHandle* handle) {
  if (handle->thread != nullptr) CloseHandle(handle->thread);
  if (handle->finished != nullptr) CloseHandle(handle->finished);
  if (handle->release != nullptr) CloseHandle(handle->release);
  delete handle;
}

}  // namespace

ThreadHandle* CreateThread(void (*entry)(void*), void* arg, uint32_t stack_size, uint32_t* thread_id) {
  // Under the loader lock a new thread would not run before the lock is released.
  if (win32::CurrentLoaderState() != win32::LoaderState::kRunning) return nullptr;
  auto* handle = new ThreadHandle;
  handle->entry = entry;
  handle->arg = arg;
  handle->finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  handle->release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (handle->finished == nullptr || handle->release == nullptr) {
    Release(handle);
    return nullptr;
  }
  unsigned id = 0;
  // Created suspended so that the handle is stored before the thread runs.
  const uintptr_t thread = _beginthreadex(nullptr, stack_size, &ThreadMain, handle, CREATE_SUSPENDED, &id);
  if (thread == 0) {
    Release(handle);
    return nullptr;
  }
  handle->thread = reinterpret_cast<HANDLE>(thread);
  if (thread_id != nullptr) *thread_id = id;
  ResumeThread(handle->thread);
  return handle;
}

void JoinThread(ThreadHandle* thread) {
  switch (win32::CurrentLoaderState()) {
    case win32::LoaderState::kRunning:
      SetEvent(thread->release);
      WaitForSingleObject(thread->thread, INFINITE);
      break;
    case win32::LoaderState::kUnloading:
      WaitForSingleObject(thread->finished, INFINITE);
      TerminateThread(thread->thread, 0);
      WaitForSingleObject(thread->thread, INFINITE);
      break;
    case win32::LoaderState::kProcessEnding:
      break;  // ExitProcess has ended the thread already
  }
  Release(thread);
}

}  // namespace korvane::platform
