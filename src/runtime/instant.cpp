#include "runtime/instant.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "runtime/panic.h"

namespace velkor {

namespace {
constexpr uint32_t kNanosPerSec = 1'000'000'000;
constexpr double kTwoPow64 = 18446744073709551616.0;
}  // namespace

Duration Duration::from_secs_f64(double seconds) {
  if (std::isnan(seconds) || seconds >= kTwoPow64) {
    throw Panic("cannot convert float seconds to Duration: value is either too big or NaN");
  }
  if (seconds < 0.0) {  // negative zero compares equal to zero and is accepted
    throw Panic("cannot convert float seconds to Duration: value is negative");
  }
  double whole = std::floor(seconds);
  double frac_nanos = std::nearbyint((seconds - whole) * 1e9);
  uint64_t secs = static_cast<uint64_t>(whole);
  uint64_t nanos = static_cast<uint64_t>(frac_nanos);
  if (nanos >= kNanosPerSec) {
    if (secs == std::numeric_limits<uint64_t>::max()) {
      throw Panic("cannot convert float seconds to Duration: value is either too big or NaN");
    }
    secs += 1;
    nanos -= kNanosPerSec;
  }
  return Duration{secs, static_cast<uint32_t>(nanos)};
}

Instant Instant::now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return Instant{static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

Instant Instant::plus(Duration d) const {
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (d.secs > kMax) throw Panic("overflow when adding duration to instant");
  int64_t s;
  if (__builtin_add_overflow(secs, static_cast<int64_t>(d.secs), &s)) {
    throw Panic("overflow when adding duration to instant");
  }
  uint32_t n = nanos + d.nanos;
  if (n >= kNanosPerSec) {
    n -= kNanosPerSec;
    if (__builtin_add_overflow(s, int64_t{1}, &s)) {
      throw Panic("overflow when adding duration to instant");
    }
  }
  return Instant{s, n};
}

Instant Instant::saturating_minus(Duration d) const {
  constexpr Instant kEarliest{std::numeric_limits<int64_t>::min(), 0};
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  int64_t s;
  if (d.secs > kMax || __builtin_sub_overflow(secs, static_cast<int64_t>(d.secs), &s)) return kEarliest;
  int64_t n = static_cast<int64_t>(nanos) - static_cast<int64_t>(d.nanos);
  if (n < 0) {
    n += kNanosPerSec;
    if (__builtin_sub_overflow(s, int64_t{1}, &s)) return kEarliest;
  }
  return Instant{s, static_cast<uint32_t>(n)};
}

Duration Instant::saturating_since(Instant earlier) const {
  if (!(earlier < *this)) return Duration{};
  int64_t s = secs - earlier.secs;
  int64_t n = static_cast<int64_t>(nanos) - static_cast<int64_t>(earlier.nanos);
  if (n < 0) {
    n += kNanosPerSec;
    s -= 1;
  }
  return Duration{static_cast<uint64_t>(s), static_cast<uint32_t>(n)};
}

namespace {
// EPOCH: fixed by the first reader.
const Instant& loop_epoch() {
  static const Instant epoch = Instant::now();
  return epoch;
}
}  // namespace

double loop_time() {
  const Instant now = Instant::now();  // read first, so the call that fixes EPOCH gives 0.0
  Duration since = now.saturating_since(loop_epoch());
  return static_cast<double>(since.secs) + static_cast<double>(since.nanos) / 1e9;
}

Instant instant_at_loop_time(double when) {
  constexpr double kCentury = 100.0 * 365 * 24 * 3600;
  if (std::isnan(when)) return Instant::now();
  Duration span = Duration::from_secs_f64(std::min(std::fabs(when), kCentury));
  return when >= 0.0 ? loop_epoch().plus(span) : loop_epoch().saturating_minus(span);
}

int timeout_ms_for(Duration remaining) {
  constexpr uint64_t kCap = std::numeric_limits<int32_t>::max();
  uint64_t ms;
  if (__builtin_mul_overflow(remaining.secs, uint64_t{1000}, &ms) ||
      __builtin_add_overflow(ms, uint64_t{remaining.nanos / 1'000'000}, &ms) || ms > kCap) {
    return static_cast<int>(kCap);
  }
  return ms == 0 ? 1 : static_cast<int>(ms);
}

}  // namespace velkor
