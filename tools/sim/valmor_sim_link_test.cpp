// End to end in one process: the handler finds the simulated unit through the
// directory registry, opens it, and uploads every model.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "valmor/discovery/device_registry_directory.h"
#include "link/serial_port_handler.h"
#include "link/upload_protocol.h"
#include "profile/repository.h"
#include "profile/strobe_models.h"
#include "tools/cli/unit_finder.h"
#include "platform/testing/main_queue_fixture.h"
#include "platform/testing/temp_dir.h"
#include "tools/sim/simulated_unit.h"

namespace valmor::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

class ValmorSimLinkTest : public MainQueueFixture {
 protected:
  void SetUp() override {
    MainQueueFixture::SetUp();
    ASSERT_FALSE(dir_.path().empty());
    setDeviceRegistryForTesting(std::make_shared<DirectoryDeviceRegistry>(dir_.path()));
    unit_ = std::make_unique<SimulatedUnit>(dir_.path(), simLog_);
    ASSERT_TRUE(unit_->plug());
    runner_ = std::thread([this] { unit_->run(); });
  }
  void TearDown() override {
    if (handler_ && handler_->serialPort() && handler_->serialPort()->isOpen()) {
      auto port = handler_->serialPort();
      port->close();
      pump([&] { return !port->isOpen(); });
    }
    handler_.reset();
    unit_->requestStop();
    runner_.join();
    unit_.reset();
    setDeviceRegistryForTesting(nullptr);
    MainQueueFixture::TearDown();
  }

  TempDir dir_{"sim-link"};
  std::ostringstream simLog_;
  std::unique_ptr<SimulatedUnit> unit_;
  std::thread runner_;
  // Outlives the handler, which logs its port's close in TearDown().
  std::ostringstream log_;
  std::shared_ptr<SerialPortHandler> handler_;
  bool opened_ = false;
  std::string answers_;
};

TEST_F(ValmorSimLinkTest, EveryModelIsAcceptedAndTheAnswerReachesTheHandler) {
  const auto path = findUnitPath(deviceRegistry());
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, dir_ / "cu.usbserial-SIM0");

  handler_ = SerialPortHandler::create(log_);
  handler_->onOpened = [this] { opened_ = true; };
  handler_->onDataReceived = [this](const std::string& text) { answers_ += text; };
  handler_->openPort(*path);
  ASSERT_TRUE(queue_->runUntil([&] { return opened_; }, 3s)) << log_.str();

  ASSERT_TRUE(initialize(*handler_));
  ASSERT_TRUE(queue_->runUntil([&] { return answers_.find("ready") != std::string::npos; }, 3s))
      << answers_;

  for (std::string_view model : strobeModelNames()) {
    const std::string expected = "VALMOR SIM: profile " + std::string(model) + " stored OK";
    std::vector<std::string> statuses;
    ASSERT_TRUE(download(*handler_, Repository(), model,
                         [&](const std::string& s) { statuses.push_back(s); }));
    EXPECT_THAT(statuses, ::testing::ElementsAre("Loading"));
    EXPECT_TRUE(queue_->runUntil(
        [&] { return answers_.find(expected) != std::string::npos; }, 3s))
        << model << ": " << answers_;
  }
  EXPECT_EQ(unit_->acceptedCount(), 12);
  EXPECT_EQ(unit_->rejectedCount(), 0);
  EXPECT_THAT(answers_, ::testing::Not(HasSubstr("rejected")));
}

}  // namespace
}  // namespace valmor::test
