#include "valmor/serial/serial_request.h"

#include <gtest/gtest.h>

#include <regex>

#include "serial/testing/plain_packet_scan.h"

namespace valmor::test {
namespace {


struct Opaque {};

TEST(SerialRequestTest, DescriptionShowsDataUserInfoAndTimeout) {
  struct Case {
    std::any userInfo;
    std::string shown;
  };
  const Case cases[] = {{std::string("ping"), "ping"}, {std::any(), "\\(null\\)"}, {42, "42"},
                        {Opaque{}, "<valmor::test::\\(anonymous namespace\\)::Opaque>"}};
  for (const auto& c : cases) {
    auto request = SerialRequest::requestWithDataToSend(bytes("\x0a\x0b\x0c\x0d\x0e"), c.userInfo, 0.3, nullptr);
    const std::regex expected("<SerialRequest: 0x[0-9a-f]+> data: <0a0b0c0d 0e> userInfo: " + c.shown +
                              " timeout interval: 0\\.300000");
    EXPECT_TRUE(std::regex_match(request->description(), expected)) << request->description();
  }
}

TEST(SerialRequestTest, EachRequestHasItsOwnCanonicalUUIDString) {
  auto a = SerialRequest::requestWithDataToSend({}, {}, 0, nullptr);
  auto b = SerialRequest::requestWithDataToSend({}, {}, 0, nullptr);
  const std::regex canonical("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(a->UUIDString(), canonical)) << a->UUIDString();
  EXPECT_NE(a->UUIDString(), b->UUIDString());
}

TEST(SerialRequestTest, ResponsesAreJudgedByTheDescriptorOrTheEvaluator) {
  auto withoutReply = SerialRequest::requestWithDataToSend(bytes("x"), {}, 1, nullptr);
  EXPECT_TRUE(withoutReply->dataIsValidResponse({}));
  EXPECT_TRUE(withoutReply->dataIsValidResponse(bytes("anything")));

  auto exact = SerialRequest::requestWithDataToSend(
      bytes("x"), {}, 1, SerialPacketDescriptor::initWithPacketData(bytes("OK"), {}));
  EXPECT_TRUE(exact->dataIsValidResponse(bytes("OK")));
  EXPECT_FALSE(exact->dataIsValidResponse(bytes("NO")));

  auto evaluated = SerialRequest::requestWithDataToSend(bytes("x"), std::string("mine"), 1,
                                                        [](std::span<const std::uint8_t> c) { return c.size() == 3; });
  const auto descriptor = evaluated->responseDescriptor();
  ASSERT_TRUE(descriptor);
  EXPECT_EQ(descriptor->maximumPacketLength(), 9223372036854775807u);
  EXPECT_FALSE(descriptor->userInfo().has_value());
  EXPECT_TRUE(evaluated->dataIsValidResponse(bytes("abc")));
  EXPECT_FALSE(evaluated->dataIsValidResponse(bytes("ab")));
}

}  // namespace
}  // namespace valmor::test
