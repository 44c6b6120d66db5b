#ifndef KORVANE_API_DEVICEREGISTRY_H
#define KORVANE_API_DEVICEREGISTRY_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "i2c/KorvaneClientI2C.h"
#include "platform/KorMutex.h"

namespace korvane {

// One open handle. A call in progress holds its own reference, so closing the handle meanwhile
// never frees the client under the call: the last holder destroys it.
struct DeviceEntry {
  std::unique_ptr<CKorvaneClientI2C> client;
  std::string host;
  uint16_t port = 0;
  int32_t handle = 0;
};

// The process-wide map from handle to open device.
class DeviceRegistry {
 public:
  std::shared_ptr<DeviceEntry> Lookup(int32_t handle) KOR_EXCLUDES(registry_lock_);
  void Add(int32_t handle, std::shared_ptr<DeviceEntry> entry) KOR_EXCLUDES(registry_lock_);
  // 0, or 0x900000 for a handle that is not registered.
  int32_t Remove(int32_t handle) KOR_EXCLUDES(registry_lock_);
  void CloseAll() KOR_EXCLUDES(registry_lock_);
  // Open steps: port-index check, handle number, connect, registration, bus configuration.
  int32_t OpenDevice(int32_t* handle_out, int32_t bitrate, int32_t port_index, const char* host, int32_t timeout_ms);
  std::size_t Count() KOR_EXCLUDES(registry_lock_);

 private:
  int32_t NextHandle() KOR_EXCLUDES(counter_lock_);

  CKorMutex registry_lock_;
  std::map<int32_t, std::shared_ptr<DeviceEntry>> entries_ KOR_GUARDED_BY(registry_lock_);
  CKorMutex counter_lock_;
  int32_t handle_counter_ KOR_GUARDED_BY(counter_lock_) = 0;
};

// The registry of the loaded library; exists between process attach and detach.
DeviceRegistry& Registry();

}  // namespace korvane

#endif
