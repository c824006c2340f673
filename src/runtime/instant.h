#pragma once
// Monotonic instants and durations with the conversion rules shared by sleep,
// call_later and the loop timeout.
#include <compare>
#include <cstdint>

namespace velkor {

struct Duration {
  uint64_t secs = 0;
  uint32_t nanos = 0;  // below 1'000'000'000

  auto operator<=>(const Duration&) const = default;
  bool is_zero() const { return secs == 0 && nanos == 0; }

  // Seconds as a double, rounded to the nearest nanosecond. Throws Panic with
  // the conversion messages for negative, NaN, infinite or too large values.
  static Duration from_secs_f64(double seconds);
};

struct Instant {
  int64_t secs = 0;
  uint32_t nanos = 0;  // below 1'000'000'000

  auto operator<=>(const Instant&) const = default;

  static Instant now();  // CLOCK_MONOTONIC
  // Throws Panic("overflow when adding duration to instant") when the seconds
  // leave the signed 64-bit range.
  Instant plus(Duration d) const;
  // This instant moved back by `d`, stopping at the earliest representable one.
  Instant saturating_minus(Duration d) const;
  // Time from `earlier` to this instant; zero when `earlier` is not before it.
  Duration saturating_since(Instant earlier) const;
};

// Loop time: seconds since EPOCH, the process-wide origin fixed by the first
// call. The call that fixes it returns exactly 0.0. Takes no lock after that.
double loop_time();

// The instant at loop time `when`, kept within a century of EPOCH; NaN gives
// now.
Instant instant_at_loop_time(double when);

// Milliseconds to wait for a deadline `remaining` away: rounded down, at least
// 1, capped at INT32_MAX (also on overflow).
int timeout_ms_for(Duration remaining);

}  // namespace velkor
