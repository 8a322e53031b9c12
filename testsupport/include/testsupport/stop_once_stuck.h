#pragma once
// For tests that a stop request ends a call which would otherwise never end:
// the call runs on a worker thread until it is stuck in its commands, then the
// test requests the stop and expects the call to give up.
//
// While the harness lives, every storage command passes through a backend it
// lays over the one in force. The worker's side tells the test thread when it
// sends the command that the test names as the stuck point, so the test thread
// sleeps until then instead of polling. Every wait of the test thread is
// bounded in real time: a call that never gets stuck or that ignores the stop
// fails the test rather than hanging it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <type_traits>

#include "platform/storage.h"

namespace testsupport {

class StopOnceStuck {
 public:
  // Sees each SCSI command block on the worker's thread before it goes on to
  // the device, until it first says true: the worker has reached the point
  // where only a stop ends the call (this command hangs, or the polling has
  // gone on long enough to show that it would not end). ATA task files pass
  // unseen.
  using StuckPoint = std::function<bool(std::span<const std::uint8_t> cdb)>;

  // Real time the test thread waits for the stuck point, and again for the
  // call to end after the stop.
  static constexpr std::chrono::seconds kRealTimeLimit{30};

  // `release` ends a stuck call that the stop did not end (unplugs the drive,
  // fails every command), so that the failing test still ends.
  StopOnceStuck(StuckPoint stuckAt, std::function<void()> release);
  ~StopOnceStuck();
  StopOnceStuck(const StopOnceStuck&) = delete;
  StopOnceStuck& operator=(const StopOnceStuck&) = delete;

  // The token the call must watch; the test hands it to the port.
  std::stop_token stopToken() const { return stopSource_.get_token(); }

  // Runs `call` on a worker thread, requests the stop once the call is stuck
  // and waits for the call to end. The call's result, or nothing when the stop
  // did not end it (the test has failed then).
  template <typename Call>
  std::optional<std::invoke_result_t<Call&>> run(Call call) {
    auto worker = std::async(std::launch::async, [this, &call] {
      auto result = call();
      callEnded();
      return result;
    });
    waitUntilStuck();
    stopSource_.request_stop();
    if (worker.wait_for(kRealTimeLimit) != std::future_status::ready) {
      ADD_FAILURE() << "the stop request did not end the call within " << kRealTimeLimit.count() << " s";
      release_();
      worker.wait();
      return std::nullopt;
    }
    return worker.get();
  }

 private:
  struct Signal;
  class Backend;

  // Records a failure when the call ended first or the stuck point did not
  // come within the limit.
  void waitUntilStuck();
  void callEnded();

  std::shared_ptr<Signal> signal_;
  std::function<void()> release_;
  std::stop_source stopSource_;
  std::shared_ptr<platform::storage::Backend> previous_;
};

}  // namespace testsupport
