#include "link/upload_protocol.h"

#include <thread>

namespace valmor {
namespace {

void show(const StatusSink& status, std::string_view text) {
  if (status) status(std::string(text));
}

bool fail(SerialPortHandler& handler, const StatusSink& status, const std::string& why) {
  handler.log() << "Upload failed: " << why << '\n' << std::flush;
  show(status, kStatusUploadFailed);
  return false;
}

}  // namespace

bool initialize(SerialPortHandler& handler) {
  handler.clearLine();
  // A copy: a delegate call cannot run inside this sequence, but the port
  // must outlive the writes whatever happens to the handler's reference.
  const std::shared_ptr<SerialPort> port = handler.serialPort();
  if (!port) return false;
  if (!port->isOpen()) {
    handler.log() << "Initialize not sent: serial port " << port->description()
                  << " is not open\n"
                  << std::flush;
    return false;
  }
  return sendString(*port, "1", handler.log()) &&
         sendString(*port, handler.lineFeedChar, handler.log());
}

bool download(SerialPortHandler& handler, const RepositoryProtocol& repository,
              std::optional<std::string_view> modelName, const StatusSink& status) {
  show(status, kStatusLoading);
  if (!modelName) return fail(handler, status, "no strobe model selected");
  const std::string name(*modelName);
  const std::optional<ProfileImage> image = repository.profileImage(name);
  if (!image) return fail(handler, status, "no profile image for strobe model " + name);
  const std::optional<std::string> title = repository.titleLine(name);
  if (!title) return fail(handler, status, "no title line for strobe model " + name);

  const std::shared_ptr<SerialPort> port = handler.serialPort();
  if (!port) return fail(handler, status, "no serial port");
  // Writes on a port that is not open send nothing; saying "Loading" then
  // would read as progress.
  if (!port->isOpen()) {
    return fail(handler, status, "serial port " + port->description() + " is not open");
  }

  std::ostream& log = handler.log();
  const std::string& lineFeed = handler.lineFeedChar;
  const auto writeFailed = [&] {
    return fail(handler, status, "writing to serial port " + port->description() + " failed");
  };
  if (!sendString(*port, "2", log) || !sendString(*port, lineFeed, log)) return writeFailed();
  std::this_thread::sleep_for(kPauseAfterCommand);
  if (!sendString(*port, *title, log) || !sendString(*port, lineFeed, log)) return writeFailed();
  std::this_thread::sleep_for(kPauseAfterTitle);
  if (!port->sendData(*image) || !sendString(*port, lineFeed, log)) return writeFailed();
  return true;
}

}  // namespace valmor
