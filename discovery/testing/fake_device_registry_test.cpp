#include "discovery/testing/fake_device_registry.h"

#include <gtest/gtest.h>

#include "discovery/testing/hot_plug.h"

namespace valmor::test {
namespace {

class FakeDeviceRegistryTest : public HotPlugTest {};

TEST_F(FakeDeviceRegistryTest, DeliversEventsOnTheMainQueueToLiveSubscriptionsOnly) {
  FakeDeviceRegistry fake;
  auto dev = FakeDeviceRegistry::device("/dev/ttyACM12");
  EXPECT_EQ(dev->property(kIOTTYBaseName), "ttyACM");
  EXPECT_EQ(dev->property(kIOTTYSuffix), "12");

  auto subscription = fake.subscribe(recordPublished(), recordTerminated());
  auto other = fake.subscribe(nullptr, nullptr);
  EXPECT_EQ(fake.subscriptionCount(), 2u);
  other.reset();
  EXPECT_EQ(fake.subscriptionCount(), 1u);

  fake.publish({dev});
  EXPECT_TRUE(events_.empty()) << "delivered inside publish()";
  fake.terminate({dev});
  ASSERT_TRUE(waitForEvents(2));
  EXPECT_TRUE(events_[0].published);
  EXPECT_FALSE(events_[1].published);
  EXPECT_TRUE(events_[0].onMainThread);

  fake.publish({dev});  // on the main queue now
  subscription.reset();
  queue_->runPending();
  EXPECT_EQ(events_.size(), 2u);

  fake.setSubscribeFails(true);
  EXPECT_EQ(fake.subscribe(nullptr, nullptr), nullptr);
}

}  // namespace
}  // namespace valmor::test
