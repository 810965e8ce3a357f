#include "app/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>

namespace valmor {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t gWriteFd = -1;

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (gWriteFd >= 0) [[maybe_unused]] ssize_t n = ::write(gWriteFd, &byte, 1);
  errno = saved;
}

}  // namespace

QuitOnSignals::QuitOnSignals() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  read_.reset(fds[0]);
  write_.reset(fds[1]);
  notifier_ = std::make_unique<QSocketNotifier>(read_.get(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
    char buffer[16];
    while (::read(read_.get(), buffer, sizeof buffer) > 0) {
    }
    QCoreApplication::quit();
  });
  gWriteFd = write_.get();
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int s : kSignals) {
    // A signal ignored at start stays ignored: nohup, or a background job
    // that the terminal's Ctrl+C is not meant for.
    struct sigaction old {};
    if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(s, &action, nullptr);
    installed_.push_back(s);
  }
}

QuitOnSignals::~QuitOnSignals() {
  for (int s : installed_) ::signal(s, SIG_DFL);
  gWriteFd = -1;
}

}  // namespace valmor
