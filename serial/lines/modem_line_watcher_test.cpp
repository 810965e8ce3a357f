#include "serial/lines/modem_line_watcher.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

namespace valmor::test {
namespace {

TEST(ModemLineWatcherTest, InputLineChangesAreEachChangeInOrderPulsesIncluded) {
  // Lines as "cts dsr dcd ri" in 0s and 1s.
  auto lines = [](const char* s) { return InputLines{s[0] == '1', s[1] == '1', s[2] == '1', s[3] == '1'}; };
  struct Case {
    const char* what;
    const char* was;
    const char* now;
    bool haveCounts;
    ModemLineCounts counted;
    std::vector<const char*> steps;
  };
  const Case cases[] = {
      {"nothing", "0000", "0000", true, {}, {}},
      {"CTS on", "0000", "1000", true, {1, 0, 0, 0}, {"1000"}},
      {"CTS pulse between two reads", "0000", "0000", true, {2, 0, 0, 0}, {"1000", "0000"}},
      {"DCD off, DSR pulse", "0010", "0000", true, {0, 2, 1, 0}, {"0100", "0000"}},
      {"counts missed a change the states show", "0000", "0100", true, {}, {"0100"}},
      {"count odd, states equal: a pulse", "1000", "1000", true, {1, 0, 0, 0}, {"0000", "1000"}},
      {"many changes told as at most three", "0000", "1000", true, {7, 0, 0, 0}, {"1000", "0000", "1000"}},
      {"many, back where it began: two", "0000", "0000", true, {6, 0, 0, 0}, {"1000", "0000"}},
      {"a ring that ended", "0000", "0000", true, {0, 0, 0, 1}, {"0001", "0000"}},
      {"ring starts (not counted)", "0000", "0001", true, {}, {"0001"}},
      {"no counts: the states alone", "0000", "1001", false, {5, 0, 0, 3}, {"1001"}},
  };
  for (const Case& c : cases) {
    const auto got = inputLineChanges(lines(c.was), lines(c.now), c.haveCounts ? &c.counted : nullptr);
    std::vector<InputLines> want;
    for (const char* s : c.steps) want.push_back(lines(s));
    EXPECT_EQ(got, want) << c.what;
  }
}

TEST(ModemLineWatcherTest, InputLinesFromTheModemWord) {
  EXPECT_EQ(inputLinesFrom(TIOCM_CTS | TIOCM_RNG | TIOCM_RTS), (InputLines{true, false, false, true}));
  EXPECT_EQ(inputLinesFrom(TIOCM_DSR | TIOCM_CAR | TIOCM_DTR), (InputLines{false, true, true, false}));
}

}  // namespace
}  // namespace valmor::test
