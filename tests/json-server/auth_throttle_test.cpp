// The password-guessing throttle on its own, with the time given by the test: holds by failure
// count, the right password, the log once a minute per address, and the bounded table.

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "json-server/jsonserver/src/auth_throttle.h"

namespace {

using namespace std::chrono_literals;
using Clock = AuthThrottle::Clock;

class AuthThrottleTest : public ::testing::Test {
 protected:
  AuthThrottle make(AuthThrottleSettings settings = AuthThrottleSettings()) {
    return AuthThrottle(settings, [this](const std::string& text) { logged.push_back(text); });
  }

  const Clock::time_point t0 = Clock::now();
  std::vector<std::string> logged;
};

TEST_F(AuthThrottleTest, HoldsGrowWithTheFailuresUpToTheCap) {
  AuthThrottle throttle = make();
  const std::chrono::milliseconds expected[] = {0ms, 0ms, 0ms, 0ms, 0ms, 500ms, 1000ms, 2000ms, 4000ms, 8000ms, 8000ms};
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(throttle.attempt("10.0.0.1", false, t0 + i * 1s), expected[i]) << "failure " << i + 1;
  }
  for (int i = 0; i < 1000; ++i) throttle.attempt("10.0.0.1", false, t0 + 20s);
  EXPECT_EQ(throttle.attempt("10.0.0.1", false, t0 + 20s), 8000ms);

  // Another address is not touched; the right password waits like a wrong one would, then the
  // address starts afresh.
  EXPECT_EQ(throttle.attempt("10.0.0.2", true, t0 + 21s), 0ms);
  EXPECT_EQ(throttle.attempt("10.0.0.2", false, t0 + 21s), 0ms);
  EXPECT_EQ(throttle.attempt("10.0.0.1", true, t0 + 22s), 8000ms);
  EXPECT_EQ(throttle.attempt("10.0.0.1", true, t0 + 22s), 0ms);
  EXPECT_EQ(throttle.attempt("10.0.0.1", false, t0 + 23s), 0ms);
}

TEST_F(AuthThrottleTest, FailuresAreLoggedAtMostOnceAMinutePerAddressWithTheirCount) {
  AuthThrottle throttle = make();
  throttle.attempt("10.0.0.1", false, t0);
  for (int i = 1; i <= 10; ++i) throttle.attempt("10.0.0.1", false, t0 + i * 5s);
  throttle.attempt("10.0.0.2", false, t0 + 10s);
  throttle.sweep(t0 + 59s);
  EXPECT_EQ(logged, (std::vector<std::string>{"HTTP authentication failed 1 time from 10.0.0.1",
                                              "HTTP authentication failed 1 time from 10.0.0.2"}));
  logged.clear();

  // The next failure after the minute reports the ten since; with no further failure the sweep
  // reports what is left once the minute is over.
  throttle.attempt("10.0.0.1", false, t0 + 61s);
  throttle.attempt("10.0.0.1", false, t0 + 62s);
  throttle.sweep(t0 + 120s);
  EXPECT_EQ(logged, (std::vector<std::string>{"HTTP authentication failed 11 times from 10.0.0.1"}));
  logged.clear();
  throttle.sweep(t0 + 121s);
  EXPECT_EQ(logged, (std::vector<std::string>{"HTTP authentication failed 1 time from 10.0.0.1"}));

  // A right password does not lose the failures before it.
  logged.clear();
  throttle.attempt("10.0.0.3", false, t0 + 200s);
  throttle.attempt("10.0.0.3", false, t0 + 201s);
  throttle.attempt("10.0.0.3", true, t0 + 202s);
  throttle.sweep(t0 + 261s);
  EXPECT_EQ(logged, (std::vector<std::string>{"HTTP authentication failed 1 time from 10.0.0.3",
                                              "HTTP authentication failed 1 time from 10.0.0.3"}));
}

TEST_F(AuthThrottleTest, TheTableForgetsQuietAddressesAndStaysWithinItsSize) {
  AuthThrottleSettings settings;
  settings.freeFailures = 1;
  settings.maxAddresses = 3;
  AuthThrottle throttle = make(settings);
  for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
    throttle.attempt(address, false, t0);
    throttle.attempt(address, false, t0 + 1s);
  }
  // The address that failed longest ago makes room; the others keep their count.
  throttle.attempt("10.0.0.2", false, t0 + 2s);
  throttle.attempt("10.0.0.3", false, t0 + 2s);
  throttle.attempt("10.0.0.4", false, t0 + 3s);
  EXPECT_EQ(throttle.trackedAddresses(), 3u);
  EXPECT_EQ(throttle.attempt("10.0.0.2", false, t0 + 4s), 2000ms);
  EXPECT_EQ(throttle.attempt("10.0.0.1", false, t0 + 4s), 0ms);
  EXPECT_EQ(throttle.trackedAddresses(), 3u);

  // Ten minutes without a failure: forgotten, by the sweep or on the next attempt.
  throttle.sweep(t0 + 4s + 600s);
  EXPECT_EQ(throttle.trackedAddresses(), 0u);
  throttle.attempt("10.0.0.5", false, t0 + 700s);
  throttle.attempt("10.0.0.5", false, t0 + 701s);
  EXPECT_EQ(throttle.attempt("10.0.0.5", false, t0 + 701s + 600s), 0ms);

  // Thousands of addresses with one failure each.
  for (int i = 0; i < 5000; ++i) throttle.attempt("10.1." + std::to_string(i), false, t0 + 2000s);
  EXPECT_EQ(throttle.trackedAddresses(), 3u);
}

}  // namespace
