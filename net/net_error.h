#pragma once

#include <string>

#include "platform/exception.h"

namespace quillo::net {

// A failed network step. The message is the server's own reply text when the
// server refused the step (for example "530 Login incorrect."), and otherwise
// a description of what failed locally (name resolution, connecting, a time
// limit, a lost connection).
class NetError : public quillo::Exception {
 public:
  NetError(const std::string& message, int reply_code)
      : quillo::Exception(message), reply_code_(reply_code) {}

  // The server's reply code that refused the step; 0 when the failure did not
  // come from a server reply.
  int ReplyCode() const { return reply_code_; }

 private:
  int reply_code_;
};

}  // namespace quillo::net
