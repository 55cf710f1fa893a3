#pragma once

// Internal to the net module: the one libcurl easy handle a client keeps for
// its whole session. libcurl keeps the connection a transfer used open in the
// handle's own cache, so successive transfers on the same handle reuse one
// control connection (one login, several commands), which is how the clients
// model "connect, do several things, quit" over a per-transfer library.

#include <curl/curl.h>

#include <string>
#include <string_view>
#include <vector>

#include "net/net_error.h"
#include "net/timeouts.h"

namespace quillo::net::detail {

// One complete reply of the server: its code and its text, every line of a
// multi-line reply joined by "\n", codes included ("530 Login incorrect.").
struct Reply {
  int code = 0;
  std::string text;
};

class CurlSession {
 public:
  // `protocols` limits the handle to the one protocol the client speaks
  // ("ftp", "smtp"), so no URL can lead it anywhere else.
  explicit CurlSession(const char* protocols);
  ~CurlSession();
  CurlSession(const CurlSession&) = delete;
  CurlSession& operator=(const CurlSession&) = delete;

  // The handle, made with the common settings on first use. Per-transfer
  // options are set by the caller before Run().
  CURL* Handle();

  // Runs one transfer with the given time limits. The replies seen during it
  // are available afterwards through Replies().
  CURLcode Run(const Timeouts& timeouts);

  // The error that describes a failed Run(): the server's reply when the last
  // reply refused something, libcurl's description otherwise. Taken before
  // Close(), whose goodbye would add replies of its own.
  NetError Failure(CURLcode code) const;

  const std::vector<Reply>& Replies() const { return replies_; }

  // True while the handle holds a connection the peer has not closed.
  bool HasLiveConnection() const;

  // Ends the session: libcurl says goodbye (QUIT) on every open connection,
  // waiting for the answer at most `goodbye_wait` (at least a second), and
  // closes them.
  void Close(std::chrono::seconds goodbye_wait) noexcept;

 private:
  static int OnDebug(CURL* handle, curl_infotype type, char* data, std::size_t size, void* self);
  void TakeIncoming(std::string_view data);

  const char* protocols_;
  CURL* handle_ = nullptr;
  char error_buffer_[CURL_ERROR_SIZE] = {};
  std::string partial_line_;
  std::string pending_reply_;
  std::vector<Reply> replies_;
};

}  // namespace quillo::net::detail
