#include "platform/log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <mutex>

namespace valmor {

namespace {

std::mutex& logMutex() {
  static std::mutex m;
  return m;
}

std::function<void(const std::string&)>& sink() {
  static std::function<void(const std::string&)> s;
  return s;
}

}  // namespace

void logLine(std::string_view line) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&secs, &tm);
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  std::string text = stamp;
  text.append(line);

  std::lock_guard lock(logMutex());
  if (sink()) {
    sink()(text);
    return;
  }
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void runLoggingExceptions(const std::function<void()>& task, std::string_view where) {
  try {
    task();
  } catch (...) {
    logCurrentException(where);
  }
}

void logCurrentException(std::string_view where) {
  try {
    throw;
  } catch (const std::exception& e) {
    logLine(std::string(where) + " threw an exception: " + e.what());
  } catch (...) {
    logLine(std::string(where) + " threw an unknown exception");
  }
}

void setLogSinkForTesting(std::function<void(const std::string&)> s) {
  std::lock_guard lock(logMutex());
  sink() = std::move(s);
}

}  // namespace valmor
