// The login throttle's table of refusing addresses, on a clock the test moves.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>

#include "engine_log.h"
#include "web_login.h"

namespace {

using Clock = engine::WebLogin::Clock;
using std::chrono::milliseconds;
using std::chrono::minutes;

constexpr int kRemembered = 1024;  // addresses the table holds

// Distinct addresses that sort after "127.0.0.1" in the table.
std::string other_address(int n) {
  return "127.1." + std::to_string(n / 256) + "." + std::to_string(n % 256);
}

class WebLoginTable : public ::testing::Test {
protected:
  void SetUp() override {
    setenv("SETUP_USER", "operator", 1);
    setenv("SETUP_SECRET", "right", 1);
    engine::set_log_severity(engine::kError);  // a thousand refusals log a thousand lines
    login_ = std::make_unique<engine::WebLogin>();
  }
  void TearDown() override {
    unsetenv("SETUP_USER");
    unsetenv("SETUP_SECRET");
    engine::set_log_severity(engine::kInfo);
  }
  engine::LoginResult refuse(const std::string& from, Clock::time_point at) {
    return login_->login("operator", "wrong", from, at);
  }
  // Refusals enough to make the address wait; answers the wait of its next login.
  int make_wait(const std::string& from, Clock::time_point at) {
    for (int i = 0; i < 6; ++i) refuse(from, at);
    return refuse(from, at).retry_after;
  }
  // Whether the address's login is checked at once (not 429) with the right secret.
  bool checked(const std::string& from, Clock::time_point at) {
    return login_->login("operator", "right", from, at).retry_after == 0;
  }

  std::unique_ptr<engine::WebLogin> login_;
  const Clock::time_point start_ = Clock::now();
};

TEST_F(WebLoginTable, AWaitingAddressIsForgottenWhenTheTableIsFullOfNewerOnes) {
  const std::string waiting = "127.0.0.1";
  ASSERT_GT(make_wait(waiting, start_), 0);
  // 1,023 newer addresses fill the table beside it: it is still remembered.
  for (int n = 0; n < kRemembered - 1; ++n) refuse(other_address(n), start_ + milliseconds(1));
  EXPECT_FALSE(checked(waiting, start_ + milliseconds(2)));
  // The next new address takes the place of the oldest.
  refuse(other_address(kRemembered - 1), start_ + milliseconds(3));
  EXPECT_TRUE(checked(waiting, start_ + milliseconds(4)));
}

TEST_F(WebLoginTable, AddressesPastTheirForgettingMakeRoomBeforeAnyOtherGoes) {
  // The first address of the table has its last refusal long ago; the next oldest waits.
  refuse("127.0.0.1", start_);
  const auto later = start_ + minutes(16);
  const std::string waiting = other_address(0);
  ASSERT_GT(make_wait(waiting, later), 0);
  for (int n = 1; n < kRemembered - 1; ++n) refuse(other_address(n), later + milliseconds(1));
  // A new address finds the table full: the forgotten one goes, and it alone.
  refuse(other_address(kRemembered - 1), later + milliseconds(2));
  EXPECT_FALSE(checked(waiting, later + milliseconds(3)));
}

}  // namespace
