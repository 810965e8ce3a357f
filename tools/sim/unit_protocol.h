// UnitProtocol: the unit's side of the serial conversation, as the simulated
// VALMOR unit plays it. It is fed the bytes that arrive from the host, with
// the moment they arrived, and gives back the answers to send.
//
// What it understands:
//   0x0A alone               the greeting after a port opens; no answer
//   "1" 0x0A                 Initialize; answers that the unit is ready
//   "2" 0x0A, a title line, 0x0A, 320 image bytes, 0x0A
//                            Download; checks it and answers whether the
//                            profile was stored or why it was rejected
//   anything else, up to a line feed: an unknown command, answered as such
//
// A Download is good when the title line is 35 bytes, begins "o-VALMOR - ",
// names one of the twelve strobe models (the rest is spaces), and the image is
// exactly that model's profile image followed by a line feed. The image is
// read by count, since its bytes may include 0x0A.
//
// The pauses of a Download are measured from the arrival of each line feed
// to the arrival of the next byte, and logged. With Timing::kStrict a
// Download whose pauses fall short of kMinimumPauseAfterCommand and
// kMinimumPauseAfterTitle is rejected with the measured figures. Bytes read
// late make a pause look shorter, never longer.
//
// Every answer is at least 25 characters and ends in CR LF. The answers are
// illustrative: they are not the texts the real unit sends.
//
// A command or Download that stops arriving for kStallTimeout is given up:
// expire() answers that the upload was incomplete. After a malformed Download
// the rest of it is skipped until the line has been quiet for kQuietTime, so
// that image bytes are not taken for commands.
//
// Threading: a plain object; one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace valmor {

class UnitProtocol {
 public:
  using Clock = std::chrono::steady_clock;

  enum class Timing { kLenient, kStrict };

  // The only rate at which the unit can read the host's bytes.
  static constexpr std::uint32_t kBaudRate = 42105;

  // What the unit needs after the Download command's line feed and after
  // the title line's, to get ready for what follows.
  static constexpr std::chrono::microseconds kMinimumPauseAfterCommand{9000};
  static constexpr std::chrono::microseconds kMinimumPauseAfterTitle{8700};

  static constexpr std::chrono::milliseconds kStallTimeout{1000};
  static constexpr std::chrono::milliseconds kQuietTime{300};

  // Log lines (without line end) go to `log`; may be empty.
  explicit UnitProtocol(std::function<void(const std::string&)> log = {},
                        Timing timing = Timing::kLenient);

  // Handles bytes received at `at`. Returns the answers to send, in order.
  std::vector<std::string> feed(std::span<const std::uint8_t> bytes, Clock::time_point at);

  // The moment at which expire() has something to do, if any.
  std::optional<Clock::time_point> deadline() const;

  // Gives up a stalled exchange or ends a skip, when `now` is past the
  // deadline. Returns the answers to send.
  std::vector<std::string> expire(Clock::time_point now);

  // Forgets a partial exchange without an answer, logging `why` when there
  // was one: the host closed the port, or sent bytes the unit cannot read.
  void reset(std::string_view why = "port closed");

  int initializeCount() const { return initializeCount_; }
  int acceptedCount() const { return acceptedCount_; }
  int rejectedCount() const { return rejectedCount_; }
  // Name of the last model stored, empty before the first.
  const std::string& lastStoredModel() const { return lastStoredModel_; }

 private:
  enum class State { kIdle, kCommand, kTitle, kImage, kImageEnd, kSkip };

  void handleByte(std::uint8_t byte, Clock::time_point at, std::vector<std::string>& answers);
  void runCommand(Clock::time_point at, std::vector<std::string>& answers);
  void finishDownload(std::vector<std::string>& answers);
  void reject(const std::string& reason, std::vector<std::string>& answers, bool skipRest);
  void log(const std::string& line) const;

  std::function<void(const std::string&)> log_;
  Timing timing_;
  State state_ = State::kIdle;
  std::string buffer_;  // command text, title line or image so far
  std::string title_;
  Clock::time_point lastByteAt_{};
  Clock::time_point downloadLineFeedAt_{};
  Clock::time_point titleLineFeedAt_{};
  std::optional<Clock::time_point> firstTitleByteAt_;
  std::optional<Clock::time_point> firstImageByteAt_;
  int initializeCount_ = 0;
  int acceptedCount_ = 0;
  int rejectedCount_ = 0;
  std::string lastStoredModel_;
};

}  // namespace valmor
