#pragma once

#include <chrono>

namespace quillo::net {

// How long a client waits before it gives up, so an unreachable or silent
// server fails the step with an error instead of blocking it for ever.
struct Timeouts {
  // Establishing the TCP connection (name resolution included).
  std::chrono::milliseconds connect = std::chrono::seconds(15);
  // Waiting for each reply of the server, the greeting included.
  std::chrono::seconds reply = std::chrono::seconds(60);
  // A transfer that moves less than one byte per second for this long has
  // stalled and is abandoned; a slow but moving transfer is never cut.
  std::chrono::seconds stall = std::chrono::seconds(60);
};

}  // namespace quillo::net
