#include "api/DeviceRegistry.h"

#include <vector>

#include "api/process_hooks.h"

namespace korvane {

namespace {
DeviceRegistry* g_registry = nullptr;
}  // namespace

DeviceRegistry& Registry() {
  // Static builds (the tests) have no load hook; the first use creates the registry then.
  if (g_registry == nullptr) api::ProcessAttach();
  return *g_registry;
}

namespace api {

void ProcessAttach() {
  if (g_registry == nullptr) g_registry = new DeviceRegistry;
}

void ProcessDetach(bool process_terminating) {
  (void)process_terminating;
  if (g_registry == nullptr) return;
  // Every open device is closed, each connected client sending its disconnect telegram. When
  // the whole process is ending its other threads are gone already; the platform layer then
  // lets waits end at once instead of waiting for answers that no thread will read.
  g_registry->CloseAll();
  delete g_registry;
  g_registry = nullptr;
}

}  // namespace api

std::shared_ptr<DeviceEntry> DeviceRegistry::Lookup(int32_t handle) {
  CKorLock lock(registry_lock_);
  auto it = entries_.find(handle);
  return it == entries_.end() ? nullptr : it->second;
}

void DeviceRegistry::Add(int32_t handle, std::shared_ptr<DeviceEntry> entry) {
  CKorLock lock(registry_lock_);
  entries_[handle] = std::move(entry);
}

int32_t DeviceRegistry::Remove(int32_t handle) {
  std::shared_ptr<DeviceEntry> removed;
  {
    CKorLock lock(registry_lock_);
    auto it = entries_.find(handle);
    if (it == entries_.end()) return kResultInvalidHandle;
    removed = std::move(it->second);
    entries_.erase(it);
  }
  // Destroyed outside the lock (or later by a call still using it), so other handles'
  // lookups do not wait for this client's disconnect.
  removed.reset();
  return kResultOk;
}

void DeviceRegistry::CloseAll() {
  std::map<int32_t, std::shared_ptr<DeviceEntry>> all;
  {
    CKorLock lock(registry_lock_);
    all.swap(entries_);
  }
  all.clear();  // in handle order; a connected client disconnects as it goes
}

std::size_t DeviceRegistry::Count() {
  CKorLock lock(registry_lock_);
  return entries_.size();
}

int32_t DeviceRegistry::NextHandle() {
  CKorLock lock(counter_lock_);
  return ++handle_counter_;
}

int32_t DeviceRegistry::OpenDevice(int32_t* handle_out, int32_t bitrate, int32_t port_index, const char* host,
                                   int32_t timeout_ms) {
  const auto index = static_cast<uint8_t>(port_index & 0xFF);
  if (index > 99) return kResultInvalidParameter;
  if (handle_out == nullptr || host == nullptr) return kResultInvalidParameter;
  const int32_t handle = NextHandle();
  *handle_out = handle;

  auto entry = std::make_shared<DeviceEntry>();
  entry->client = std::make_unique<CKorvaneClientI2C>(timeout_ms);
  entry->host = host;
  entry->port = static_cast<uint16_t>(5000 + 100 * index);
  entry->handle = handle;

  const int32_t connected = entry->client->Connect(host, entry->port);
  if (connected != kResultOk) {
    *handle_out = -1;
    return connected;
  }
  CKorvaneClientI2C& client = *entry->client;
  Add(handle, entry);
  client.ResetTelegramId();
  const int32_t configured = client.ConfigureBus(bitrate);
  if (configured != kResultOk) {
    client.Disconnect();
    entry.reset();
    Remove(handle);
    *handle_out = -1;
    return configured;
  }
  return kResultOk;
}

}  // namespace korvane
