#pragma once

#include <stdexcept>
#include <string>

namespace quillo {

// The one base of every error this system raises. It carries only a message,
// so an error box or a command line can show what went wrong and nothing else
// needs to be known about its origin.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quillo
