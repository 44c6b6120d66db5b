# Chooses the platform backend folder. Nothing outside src/platform/<backend>/ knows which it is.
if(WIN32)
  set(KORVANE_PLATFORM win32)
else()
  set(KORVANE_PLATFORM posix)
  set(THREADS_PREFER_PTHREAD_FLAG ON)
  find_package(Threads REQUIRED)
endif()
