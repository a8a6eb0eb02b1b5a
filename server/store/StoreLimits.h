#pragma once

#include <chrono>
#include <functional>

namespace norvane::server {

// The wall clock of the rules that depend on time (session lifetimes, login throttles). Tests
// and the control endpoint put their own in place, so that hours pass without waiting for them.
using StoreClock = std::function<std::chrono::system_clock::time_point()>;

// How long a session lives.
struct SessionLimits {
    std::chrono::seconds idle { std::chrono::hours(12) }; // since its last request
    std::chrono::seconds lifetime { std::chrono::hours(7 * 24) }; // since its login
};

// How failed logins and password checks slow the next tries down. Failures are counted per
// account, per account and address, and per address. Once an account (or an address) has
// `freeFailures` of them, the next try must wait `firstDelay`, doubled with every further failure
// up to `maxDelay`; a try made while it waits is refused without being counted, so a minute after
// the last failure every account is open again. A success clears the account's counts; counts
// are forgotten `forgetAfter` after their last failure.
struct LoginThrottleLimits {
    int accountFreeFailures = 5;
    int addressFreeFailures = 20; // an office behind one address holds many users
    std::chrono::seconds firstDelay { 1 };
    std::chrono::seconds maxDelay { 60 };
    std::chrono::seconds forgetAfter { std::chrono::minutes(15) };
};

struct StoreLimits {
    SessionLimits sessions;
    LoginThrottleLimits logins;
    // Wrong passwords a share link takes in all before it is disabled for good.
    int shareLinkWrongPasswords = 50;
    // How often ended sessions and forgotten login failures are removed; zero: never by itself.
    std::chrono::seconds pruneEvery { std::chrono::minutes(10) };
};

} // namespace norvane::server
