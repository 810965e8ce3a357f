#include "valmor/serial/serial_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>


namespace valmor::test {
namespace {

std::vector<std::uint8_t> bytes(std::string_view t) { return {t.begin(), t.end()}; }

std::string text(std::span<const std::uint8_t> data) { return std::string(data.begin(), data.end()); }

TEST(SerialBufferTest, KeepsTheNewestBytesUpToItsMaximum) {
  struct Case {
    std::uint64_t maximum;
    std::vector<std::string> appends;
    std::string kept;
  };
  const Case cases[] = {
      {4, {"ab", "cdef"}, "cdef"},
      {4, {"abcdefgh"}, "efgh"},
      {4, {"ab", "c"}, "abc"},
      {3, {"a", "b", "c", "d", "e"}, "cde"},
      {0, {"abc", "d"}, ""},
  };
  for (const auto& c : cases) {
    auto buffer = SerialBuffer::initWithMaximumLength(c.maximum);
    for (const auto& a : c.appends) buffer->appendData(bytes(a));
    EXPECT_EQ(text(buffer->data()), c.kept) << "maximum " << c.maximum;
    EXPECT_EQ(buffer->maximumLength(), c.maximum);
  }

  // Byte by byte, long enough for the dropped bytes to be moved out many times.
  auto buffer = SerialBuffer::initWithMaximumLength(7);
  std::string all;
  for (int i = 0; i < 1000; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    all += c;
    buffer->appendData(bytes(std::string(1, c)));
    ASSERT_EQ(text(buffer->data()), all.substr(all.size() > 7 ? all.size() - 7 : 0)) << "after " << i + 1;
  }
}

TEST(SerialBufferTest, AppendsAndClearsAreAnnouncedForInternalBufferAndData) {
  auto buffer = SerialBuffer::initWithMaximumLength(2);
  std::vector<std::string> told;
  buffer->addObserver("internalBuffer", [&](const PropertyChange& c) { told.push_back(c.property); });
  buffer->addObserver("data", [&](const PropertyChange& c) { told.push_back(c.property + ":" + text(buffer->data())); });
  buffer->appendData(bytes("xyz"));
  buffer->clearBuffer();
  EXPECT_EQ(told, (std::vector<std::string>{"internalBuffer", "data:yz", "internalBuffer", "data:"}));
}

}  // namespace
}  // namespace valmor::test
