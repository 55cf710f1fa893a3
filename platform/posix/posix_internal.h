#pragma once

// Pieces of the POSIX backend that its tests reach directly: the seam through
// which File makes its system calls, the name pattern matcher of listings, and
// the conversion of a file time to an MS-DOS stamp. Nothing outside the
// platform module and its tests includes this.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string_view>

namespace quillo::platform::posix {

// The system calls behind File's data transfer. Tests put their own functions
// here to produce what a real file cannot be made to do on demand (an
// interrupted call, a partial write, a full disk); everything else leaves the
// defaults alone.
struct SystemCalls {
  ssize_t (*read)(int fd, void* buffer, size_t count);
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  int (*fsync)(int fd);
};

// The calls in use, initially the real ones.
SystemCalls& Calls();

// True when `name` matches the listing pattern: "*" stands for any run of
// characters, "?" for exactly one character (a whole UTF-8 sequence), other
// characters match themselves with ASCII letter case ignored. A pattern that
// ends in ".*" also matches the names that match it without that ending, so
// "*.*" matches every name and "readme.*" matches "README".
bool MatchesPattern(std::string_view name, std::string_view pattern);

// The MS-DOS stamp (date in the high half, time in the low half) of a moment,
// in local time. Moments before 1980 give 1980-01-01 00:00:00 and moments after
// 2107 give 2107-12-31 23:59:58, the ends of what the stamp can hold.
std::uint32_t DosTimeFromUnix(std::time_t moment);

inline constexpr std::uint32_t kEarliestDosTime = (0u << 25) | (1u << 21) | (1u << 16);
inline constexpr std::uint32_t kLatestDosTime =
    (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;

}  // namespace quillo::platform::posix
