#include "valmor/platform/notification_center.h"

#include <gtest/gtest.h>

#include <any>
#include <vector>

namespace valmor::test {
namespace {

TEST(NotificationCenterTest, MatchesByNameAndSender) {
  NotificationCenter& nc = NotificationCenter::defaultCenter();
  int a = 0, b = 0;
  int senderA = 0, senderB = 0;
  std::vector<int> got;
  auto t1 = nc.addObserver("Ping", &senderA, [&](const Notification& n) {
    got.push_back(std::any_cast<int>(n.userInfo.at("Value")));
    ++a;
  });
  auto t2 = nc.addObserver("", nullptr, [&](const Notification&) { ++b; });
  nc.post({"Ping", &senderA, {{"Value", 7}}});
  nc.post({"Ping", &senderB, {{"Value", 8}}});
  nc.post({"Pong", &senderA, {}});
  nc.removeObserver(t1);
  nc.removeObserver(t2);
  nc.post({"Ping", &senderA, {{"Value", 9}}});
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 3);
  EXPECT_EQ(got, std::vector<int>{7});
}

}  // namespace
}  // namespace valmor::test
