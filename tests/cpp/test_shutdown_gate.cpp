// The process-wide gate that stops solves when the host goes away. Closing it
// is for good, so this executable holds only these tests, in this order.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kestrel/solve/interrupt.h"
#include "kestrel/solve/shutdown_gate.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;

TEST(ShutdownGate, ClosingStopsRunningSolvesAndWaitsOnlySoLongForThem) {
  ShutdownGate& gate = ShutdownGate::instance();
  ASSERT_TRUE(gate.enter());  // a solve stuck in a long iteration
  ASSERT_TRUE(gate.enter());  // a solve that polls
  std::atomic<bool> stopped{false}, parked{false};
  std::thread solve([&] {
    InterruptPoller poller;
    try {
      for (;;) {
        poller.poll();
        std::this_thread::sleep_for(1ms);
      }
    } catch (const SolveInterrupted&) {
      stopped = true;
    }
    parked = !gate.mayReturn();  // the host is gone: never return to it
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(stopped);

  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(gate.close(100ms));  // the stuck solve is still running
  EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);
  solve.join();
  EXPECT_TRUE(stopped && parked);
  EXPECT_TRUE(gate.closed());
  EXPECT_FALSE(gate.enter());  // no new solve starts

  EXPECT_FALSE(gate.mayReturn());  // the stuck solve ends at last, and stays away too
  EXPECT_TRUE(gate.close(1s));
}

}  // namespace
}  // namespace kestrel
