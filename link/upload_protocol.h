// The Initialize and Download sequences: what the VALMOR unit receives on the
// serial line when the user asks for them, written through the handler's port.
// The window's buttons and valmor-cli both call these.
//
// Initialize: discards received text not yet handed on, then writes "1" and
// a line feed (0x31 0x0A). No pause, no status text.
//
// Download of a strobe model, 359 bytes in this order:
//   "2", line feed                      then a pause of 9000 us
//   the 35-byte title line, line feed   then a pause of 8700 us
//   the 320-byte profile image (raw, not logged), line feed
// Each text write logs "Writing data: " and the text (five lines; none for
// the image). The status sink gets "Loading" first, and "Upload failed"
// when nothing could be sent or a write failed; after a good Download the
// status is left to the unit's answer (onDataReceived).
//
// Both run to completion on the calling thread (the main thread), blocking it
// for the writes and the pauses (17.7 ms and up).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "link/serial_port_handler.h"
#include "profile/repository.h"

namespace valmor {

inline constexpr std::string_view kStatusLoading = "Loading";
inline constexpr std::string_view kStatusUploadFailed = "Upload failed";

inline constexpr std::chrono::microseconds kPauseAfterCommand{9000};
inline constexpr std::chrono::microseconds kPauseAfterTitle{8700};

// Receives the status texts of a Download, for the window's status field.
using StatusSink = std::function<void(const std::string&)>;

// Clears the handler's received text, then writes 0x31 0x0A when the handler
// holds an open port. Writes nothing and shows nothing without one (a closed
// port is logged). True when both bytes were written.
bool initialize(SerialPortHandler& handler);

// Sends the model's title line and profile image to the unit. `modelName` is
// the exact model name (the strobe popup's selection); none when nothing is
// selected. "Upload failed" is shown, with a log line saying why, and
// nothing is written when: no model is selected, the repository gives no
// image or title line for it, the handler holds no port, or its port is not
// open. A write that fails stops the sequence (the unit would otherwise get
// a stream with a hole in it) and shows "Upload failed". True when all 359
// bytes were written.
bool download(SerialPortHandler& handler, const RepositoryProtocol& repository,
              std::optional<std::string_view> modelName, const StatusSink& status);

}  // namespace valmor
