#include "valmor/discovery/device_registry.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include "valmor/discovery/device_registry_directory.h"
#include "valmor/discovery/device_registry_udev.h"

namespace valmor {

namespace {

struct Installed {
  std::mutex mutex;
  std::shared_ptr<DeviceRegistry> forTesting;  // Guarded by mutex.
  std::shared_ptr<DeviceRegistry> standard;    // Guarded by mutex.
  // Registries replaced or dropped are kept, since callers may still hold the
  // reference deviceRegistry() gave them.
  std::vector<std::shared_ptr<DeviceRegistry>> retired;  // Guarded by mutex.
};

Installed& installed() {
  // Never destroyed: a registry may still be in use while static destructors
  // run at exit.
  static Installed* i = new Installed;
  return *i;
}

std::shared_ptr<DeviceRegistry> makeStandardRegistry() {
  // The only place the environment chooses the backend.
  const char* dir = std::getenv("VALMOR_DEVICE_DIR");
  if (dir != nullptr && *dir != '\0') return std::make_shared<DirectoryDeviceRegistry>(dir);
  return std::make_shared<UdevDeviceRegistry>();
}

}  // namespace

DeviceRegistry& deviceRegistry() {
  auto& i = installed();
  std::lock_guard lock(i.mutex);
  if (i.forTesting) return *i.forTesting;
  if (!i.standard) i.standard = makeStandardRegistry();
  return *i.standard;
}

void setDeviceRegistryForTesting(std::shared_ptr<DeviceRegistry> registry) {
  auto& i = installed();
  std::lock_guard lock(i.mutex);
  if (i.forTesting) i.retired.push_back(std::move(i.forTesting));
  // Going back to the default forgets the standard registry too, so that the
  // next use chooses again from the environment as it is then.
  if (!registry && i.standard) i.retired.push_back(std::move(i.standard));
  i.forTesting = std::move(registry);
}

}  // namespace valmor
