// The base fixture of every test that needs the library's environment: the
// main queue of MainQueueFixture (with its pump()), and a device registry (a
// FakeDeviceRegistry that the test fills, or the directory registry of a
// fresh temporary directory). Both are undone at the end.
#pragma once

#include <memory>

#include "valmor/discovery/device_registry.h"
#include "valmor/discovery/device_registry_directory.h"
#include "discovery/testing/fake_device_registry.h"
#include "platform/testing/main_queue_fixture.h"
#include "platform/testing/temp_dir.h"

namespace valmor::test {

class Fixture : public MainQueueFixture {
 protected:
  void SetUp() override {
    MainQueueFixture::SetUp();
    ASSERT_FALSE(dir_.path().empty()) << "cannot make a temporary directory";
    fakeRegistry_ = std::make_shared<FakeDeviceRegistry>();
    setDeviceRegistryForTesting(fakeRegistry_);
  }

  void TearDown() override {
    MainQueueFixture::TearDown();
    setDeviceRegistryForTesting(nullptr);
  }

  // Makes the directory registry of dir_ the process's registry, as
  // VALMOR_DEVICE_DIR would.
  void useDirectoryRegistry() {
    setDeviceRegistryForTesting(std::make_shared<DirectoryDeviceRegistry>(dir_.path()));
  }

  TempDir dir_;
  // The process's registry unless useDirectoryRegistry() replaced it.
  std::shared_ptr<FakeDeviceRegistry> fakeRegistry_;
};

}  // namespace valmor::test
