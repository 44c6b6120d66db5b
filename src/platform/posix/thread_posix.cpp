#include <pthread.h>

#include <atomic>

#include "platform/thread_backend.h"

namespace korvane::platform {

struct ThreadHandle {
  pthread_t thread;
  void (*entry)(void*);
  void* arg;
};

namespace {

void* ThreadMain(void* raw) {
  auto* handle = static_cast<ThreadHandle*>(raw);
  handle->entry(handle->arg);
  return nullptr;
}

std::atomic<uint32_t> g_next_thread_id{1};

}  // namespace

ThreadHandle* CreateThread(void (*entry)(void*), void* arg, uint32_t stack_size, uint32_t* thread_id) {
  auto* handle = new ThreadHandle{pthread_t{}, entry, arg};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size != 0) pthread_attr_setstacksize(&attr, stack_size);
  const int rc = pthread_create(&handle->thread, &attr, &ThreadMain, handle);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete handle;
    return nullptr;
  }
  if (thread_id != nullptr) *thread_id = g_next_thread_id.fetch_add(1);
  return handle;
}

void JoinThread(ThreadHandle* thread) {
  pthread_join(thread->thread, nullptr);
  delete thread;
}

}  // namespace korvane::platform
