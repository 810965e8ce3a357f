#include "tools/sim/unit_protocol.h"

#include <cstdio>

#include "profile/repository.h"
#include "profile/strobe_models.h"
#include "profile/title_line.h"

namespace valmor {
namespace {

constexpr std::size_t kMaxCommandLength = 16;
constexpr std::size_t kMaxTitleLength = 64;

// Bytes from the host shown in answers and log lines: printable ASCII as is,
// everything else as \xHH, so that a garbled upload cannot garble the log.
std::string printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string microseconds(UnitProtocol::Clock::duration d) {
  return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(d).count()) + " us";
}

std::string milliseconds(UnitProtocol::Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms",
                std::chrono::duration<double, std::milli>(d).count());
  return text;
}

}  // namespace

UnitProtocol::UnitProtocol(std::function<void(const std::string&)> log, Timing timing)
    : log_(std::move(log)), timing_(timing) {}

void UnitProtocol::log(const std::string& line) const {
  if (log_) log_(line);
}

std::vector<std::string> UnitProtocol::feed(std::span<const std::uint8_t> bytes,
                                            Clock::time_point at) {
  std::vector<std::string> answers;
  for (std::uint8_t byte : bytes) handleByte(byte, at, answers);
  if (!bytes.empty()) lastByteAt_ = at;
  return answers;
}

void UnitProtocol::handleByte(std::uint8_t byte, Clock::time_point at,
                              std::vector<std::string>& answers) {
  const char c = static_cast<char>(byte);
  switch (state_) {
    case State::kIdle:
      if (c == '\n') {
        log("greeting received");
        return;
      }
      buffer_.assign(1, c);
      state_ = State::kCommand;
      return;

    case State::kCommand:
      if (c == '\n') {
        runCommand(at, answers);
        return;
      }
      buffer_ += c;
      if (buffer_.size() > kMaxCommandLength) {
        reject("command without line feed: " + printable(buffer_), answers, true);
      }
      return;

    case State::kTitle:
      if (!firstTitleByteAt_) firstTitleByteAt_ = at;
      if (c == '\n') {
        title_ = buffer_;
        titleLineFeedAt_ = at;
        buffer_.clear();
        state_ = State::kImage;
        return;
      }
      buffer_ += c;
      if (buffer_.size() > kMaxTitleLength) {
        reject("title line has no line feed", answers, true);
      }
      return;

    case State::kImage:
      if (!firstImageByteAt_) firstImageByteAt_ = at;
      buffer_ += c;
      if (buffer_.size() == kProfileImageSize) state_ = State::kImageEnd;
      return;

    case State::kImageEnd:
      if (c != '\n') {
        reject("the image is not followed by a line feed", answers, true);
        return;
      }
      finishDownload(answers);
      return;

    case State::kSkip:
      return;
  }
}

void UnitProtocol::runCommand(Clock::time_point at, std::vector<std::string>& answers) {
  const std::string command = buffer_;
  buffer_.clear();
  state_ = State::kIdle;
  if (command == "1") {
    ++initializeCount_;
    log("initialize");
    answers.push_back("VALMOR SIM: initialized, ready\r\n");
  } else if (command == "2") {
    log("download started");
    state_ = State::kTitle;
    downloadLineFeedAt_ = at;
    firstTitleByteAt_.reset();
    firstImageByteAt_.reset();
    title_.clear();
  } else {
    log("unknown command " + printable(command));
    answers.push_back("VALMOR SIM: unknown command \"" + printable(command) + "\"\r\n");
  }
}

void UnitProtocol::finishDownload(std::vector<std::string>& answers) {
  const std::string image = std::move(buffer_);
  buffer_.clear();
  state_ = State::kIdle;

  // Pauses as seen here: from the arrival of a line feed to the arrival of
  // the next byte. Reading late can only make them look shorter.
  const auto afterCommand = *firstTitleByteAt_ - downloadLineFeedAt_;
  const auto afterTitle = *firstImageByteAt_ - titleLineFeedAt_;
  log("pauses " + milliseconds(afterCommand) + " and " + milliseconds(afterTitle));
  if (timing_ == Timing::kStrict &&
      (afterCommand < kMinimumPauseAfterCommand || afterTitle < kMinimumPauseAfterTitle)) {
    reject("pauses too short: " + microseconds(afterCommand) + " after the command (needs " +
               microseconds(kMinimumPauseAfterCommand) + "), " + microseconds(afterTitle) +
               " after the title line (needs " + microseconds(kMinimumPauseAfterTitle) + ")",
           answers, false);
    return;
  }

  if (title_.size() != kTitleLineLength) {
    reject("title line is " + std::to_string(title_.size()) + " bytes, not 35: \"" +
               printable(title_) + "\"",
           answers, false);
    return;
  }
  if (title_.compare(0, kTitlePrefix.size(), kTitlePrefix) != 0) {
    reject("title line does not begin \"o-VALMOR - \": \"" + printable(title_) + "\"", answers,
           false);
    return;
  }
  std::string name = title_.substr(kTitlePrefix.size());
  name.erase(name.find_last_not_of(' ') + 1);
  if (findStrobeModel(name) == nullptr) {
    reject("unknown strobe model \"" + printable(name) + "\"", answers, false);
    return;
  }
  const std::optional<ProfileImage> expected = Repository().profileImage(name);
  if (!expected) {
    reject("no profile image for " + name, answers, false);
    return;
  }
  for (std::size_t i = 0; i < kProfileImageSize; ++i) {
    if (static_cast<std::uint8_t>(image[i]) != (*expected)[i]) {
      reject("image is not the profile of " + name + " (first difference at byte " +
                 std::to_string(i) + ")",
             answers, false);
      return;
    }
  }
  ++acceptedCount_;
  lastStoredModel_ = name;
  log("profile " + name + " stored OK");
  answers.push_back("VALMOR SIM: profile " + name + " stored OK\r\n");
}

void UnitProtocol::reject(const std::string& reason, std::vector<std::string>& answers,
                          bool skipRest) {
  ++rejectedCount_;
  log("upload rejected: " + reason);
  answers.push_back("VALMOR SIM: upload rejected: " + reason + "\r\n");
  buffer_.clear();
  state_ = skipRest ? State::kSkip : State::kIdle;
}

std::optional<UnitProtocol::Clock::time_point> UnitProtocol::deadline() const {
  switch (state_) {
    case State::kIdle:
      return std::nullopt;
    case State::kSkip:
      return lastByteAt_ + kQuietTime;
    default:
      return lastByteAt_ + kStallTimeout;
  }
}

std::vector<std::string> UnitProtocol::expire(Clock::time_point now) {
  std::vector<std::string> answers;
  const auto due = deadline();
  if (!due || now < *due) return answers;
  switch (state_) {
    case State::kSkip:
      state_ = State::kIdle;
      break;
    case State::kCommand:
      reject("command without line feed: " + printable(buffer_), answers, false);
      break;
    case State::kTitle:
      reject("upload incomplete: the title line stopped after " +
                 std::to_string(buffer_.size()) + " bytes",
             answers, false);
      break;
    case State::kImage:
      reject("upload incomplete: the image stopped after " + std::to_string(buffer_.size()) +
                 " of 320 bytes",
             answers, false);
      break;
    case State::kImageEnd:
      reject("upload incomplete: no line feed after the image", answers, false);
      break;
    case State::kIdle:
      break;
  }
  return answers;
}

void UnitProtocol::reset(std::string_view why) {
  if (state_ != State::kIdle && state_ != State::kSkip) {
    log("exchange abandoned: " + std::string(why));
  }
  state_ = State::kIdle;
  buffer_.clear();
  title_.clear();
}

}  // namespace valmor
