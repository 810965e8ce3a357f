// Hot plug under the port manager: how many plug/unplug cycles of a
// simulated unit (its port opened each time) run per second, and the time
// from a device's appearance to the manager's connected notification.
// Prints figures; asserts nothing.
//
// The unit is a pseudo-terminal published in a directory registry (inotify),
// as valmor-sim publishes itself; see serial/testing/plug_cycles.h.
//
// Usage: manager_hotplug [--cycles N]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench/bench_support.h"
#include "valmor/discovery/device_registry.h"
#include "valmor/discovery/device_registry_directory.h"
#include "valmor/platform/main_queue.h"
#include "platform/testing/temp_dir.h"
#include "valmor/serial/serial_port_manager.h"
#include "serial/testing/plug_cycles.h"

using namespace valmor;
using namespace valmor::test;

namespace {

double micros(PlugCycler::Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Plug/unplug cycles of a simulated unit that the port manager follows per second (its port "
               "opened each time), and the time from a device's appearance to the connected notification."};
  int cycles = 2000;
  app.add_option("--cycles", cycles, "plug/unplug cycles")->check(CLI::Range(10, 1000000));
  CLI11_PARSE(app, argc, argv);
  auto queue = std::make_shared<RunLoopMainQueue>();
  setMainQueue(queue);
  TempDir dir("manager-hotplug");
  setDeviceRegistryForTesting(std::make_shared<DirectoryDeviceRegistry>(dir.path()));
  auto manager = SerialPortManager::createForTesting();
  PlugCycler cycler(*queue, dir.path(), manager);
  for (int i = 0; i < 20; ++i) {
    if (!cycler.cycle()) {
      std::fprintf(stderr, "manager_hotplug: a warm-up cycle did not complete\n");
      return 1;
    }
  }

  std::vector<double> latencies;
  latencies.reserve(static_cast<std::size_t>(cycles));
  const auto start = PlugCycler::Clock::now();
  const double cpuStart = cpuSeconds();
  for (int i = 0; i < cycles; ++i) {
    PlugCycler::Clock::duration latency{};
    if (!cycler.cycle(&latency)) {
      std::fprintf(stderr, "manager_hotplug: cycle %d did not complete\n", i);
      return 1;
    }
    latencies.push_back(micros(latency));
  }
  const double seconds = std::chrono::duration<double>(PlugCycler::Clock::now() - start).count();
  const double cpu = cpuSeconds() - cpuStart;

  std::sort(latencies.begin(), latencies.end());
  std::printf("plug/unplug cycles (port opened each time): %d in %.2f s\n", cycles, seconds);
  std::printf("  cycles per second:            %.0f\n", cycles / seconds);
  std::printf("  CPU per cycle (process):      %.0f us\n", cpu / cycles * 1e6);
  std::printf("plug to connected notification:\n");
  std::printf("  median %.0f us, p99 %.0f us, max %.0f us\n", percentile(latencies, 0.5), percentile(latencies, 0.99), latencies.back());
  queue->shutDown();
  return 0;
}
