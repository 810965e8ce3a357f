#include "serial/packets/packet_listener.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "serial/testing/plain_packet_scan.h"
#include "serial/testing/run_on_strand.h"

namespace valmor::test {
namespace {

using Descriptor = std::shared_ptr<SerialPacketDescriptor>;

struct RecordingPort : PacketListener::Port {
  struct Packet {
    Descriptor descriptor;
    Bytes bytes;
    std::size_t offset;  // of the byte that completed it
  };
  std::vector<Packet> packets;  // strand
  std::size_t offset = 0;       // strand; bytes fed so far
  int announcements = 0;        // test thread

  void reportPacket(std::span<const std::uint8_t> packet, const Descriptor& descriptor) override {
    packets.push_back({descriptor, Bytes(packet.begin(), packet.end()), offset});
  }
  void packetDescriptorsDidChange() override { ++announcements; }
};

class PacketListenerTest : public ::testing::Test {
 protected:
  void feed(std::span<const std::uint8_t> stream) {
    runOnStrand(*strand, [&] {
      for (const auto b : stream) {
        listener->processByte(b);
        ++port->offset;
      }
    });
  }
  void feed(std::string_view text) { feed(bytes(text)); }

  std::vector<Bytes> packetsFor(const Descriptor& d) const {
    std::vector<Bytes> out;
    for (const auto& p : port->packets)
      if (p.descriptor == d) out.push_back(p.bytes);
    return out;
  }

  std::shared_ptr<SerialQueue> strand = SerialQueue::create();
  std::shared_ptr<RecordingPort> port = std::make_shared<RecordingPort>();
  std::shared_ptr<PacketListener> listener = PacketListener::create(strand, port);
};

TEST_F(PacketListenerTest, DescriptorsWithEqualSettingsBothReportInTheOrderAdded) {
  auto first = SerialPacketDescriptor::initWithPrefixString("<", ">", 8, {});
  auto second = SerialPacketDescriptor::initWithPrefixString("<", ">", 8, {});
  listener->startListeningForPacketsMatchingDescriptor(first);
  listener->startListeningForPacketsMatchingDescriptor(second);
  EXPECT_EQ(listener->packetDescriptors(), (std::vector<Descriptor>{first, second}));
  feed("x<ab>");
  ASSERT_EQ(port->packets.size(), 2u);
  EXPECT_EQ(port->packets[0].descriptor, first);
  EXPECT_EQ(port->packets[1].descriptor, second);
  EXPECT_EQ(port->packets[1].bytes, bytes("<ab>"));
}

TEST_F(PacketListenerTest, ListeningTwiceKeepsTheFirstBufferAndStoppingDropsIt) {
  auto framed = SerialPacketDescriptor::initWithPrefixString("P", "S", 8, {});
  listener->startListeningForPacketsMatchingDescriptor(framed);
  EXPECT_EQ(port->announcements, 1);
  feed("Px");
  listener->startListeningForPacketsMatchingDescriptor(framed);
  EXPECT_EQ(port->announcements, 1);
  feed("S");
  EXPECT_EQ(packetsFor(framed), std::vector<Bytes>{bytes("PxS")});

  feed("Py");
  listener->stopListeningForPacketsMatchingDescriptor(framed);
  listener->startListeningForPacketsMatchingDescriptor(framed);
  feed("S");  // "Py" went with the old buffer
  EXPECT_EQ(packetsFor(framed).size(), 1u);
  EXPECT_EQ(port->announcements, 3);

  // Stopping a descriptor that is not listened for changes nothing and is
  // announced all the same.
  listener->stopListeningForPacketsMatchingDescriptor(SerialPacketDescriptor::initWithPacketData(bytes("q"), {}));
  EXPECT_EQ(port->announcements, 4);
  EXPECT_EQ(listener->packetDescriptors(), std::vector<Descriptor>{framed});
}

TEST_F(PacketListenerTest, StartingFromTheQueueTakesEffectAfterTheCurrentTask) {
  auto exact = SerialPacketDescriptor::initWithPacketData(bytes("k"), {});
  runOnStrand(*strand, [&] {
    listener->startListeningForPacketsMatchingDescriptor(exact);  // must not wait for itself
    listener->processByte('k');
  });
  feed("k");
  EXPECT_EQ(packetsFor(exact).size(), 1u);
  EXPECT_EQ(port->announcements, 1);
}

// A mebibyte of random bytes with packets planted at known offsets, some of
// them too long to be recognised: exactly the others are reported.
TEST_F(PacketListenerTest, RandomMebibyteYieldsExactlyThePlantedPackets) {
  auto framed = SerialPacketDescriptor::initWithPrefix(Bytes{0x02}, Bytes{0x03}, 64, {});
  auto exact = SerialPacketDescriptor::initWithPacketData(Bytes{0xFF, 0xFE, 0xFF}, {});
  listener->startListeningForPacketsMatchingDescriptor(framed);
  listener->startListeningForPacketsMatchingDescriptor(exact);

  std::mt19937 rng(99);
  auto filler = [&] {  // never part of a packet
    std::uint8_t b;
    do b = static_cast<std::uint8_t>(rng()); while (b == 0x02 || b == 0x03 || b == 0xFF);
    return b;
  };
  Bytes stream;
  std::vector<RecordingPort::Packet> planted;
  while (stream.size() < (1u << 20)) {
    for (auto gap = rng() % 3000; gap > 0; --gap) stream.push_back(filler());
    if (rng() % 4 == 0) {
      stream.insert(stream.end(), {0xFF, 0xFE, 0xFF});
      planted.push_back({exact, Bytes{0xFF, 0xFE, 0xFF}, stream.size() - 1});
      continue;
    }
    Bytes packet{0x02};
    for (auto n = rng() % 80; n > 0; --n) packet.push_back(filler());
    packet.push_back(0x03);
    stream.insert(stream.end(), packet.begin(), packet.end());
    if (packet.size() <= 64) planted.push_back({framed, packet, stream.size() - 1});
  }
  feed(stream);

  ASSERT_EQ(port->packets.size(), planted.size());
  for (std::size_t i = 0; i < planted.size(); ++i) {
    EXPECT_EQ(port->packets[i].descriptor, planted[i].descriptor) << i;
    EXPECT_EQ(port->packets[i].offset, planted[i].offset) << i;
    EXPECT_EQ(port->packets[i].bytes, planted[i].bytes) << i;
  }
}

}  // namespace
}  // namespace valmor::test
