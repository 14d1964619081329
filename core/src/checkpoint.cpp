// Wall-clock reading for the default `updated_at` of a checkpoint.
#include "vorlane/checkpoint.hpp"

#include <time.h>

namespace vorlane {

std::int64_t unix_time_now() noexcept {
    timespec ts{};
    // CLOCK_REALTIME is the precise UTC wall clock; tv_sec already rounds
    // toward negative infinity (tv_nsec is always non-negative).
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
    return static_cast<std::int64_t>(ts.tv_sec);
}

}  // namespace vorlane
