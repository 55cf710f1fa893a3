#include "net/curl_session.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

#include "net/net_error.h"

namespace quillo::net::detail {
namespace {

// libcurl's global state is set up once per process, before the first handle,
// and released at exit; every client goes through here.
void EnsureCurlInitialised() {
  struct GlobalInit {
    GlobalInit() {
      if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        throw NetError("The network library could not be initialised.", 0);
    }
    ~GlobalInit() { curl_global_cleanup(); }
  };
  static GlobalInit init;
}

std::size_t DiscardBody(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

// A reply line is "NNN text" (last line of a reply) or "NNN-text" (a line
// that more follow).
bool StartsWithCode(std::string_view line) {
  return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
         std::isdigit(static_cast<unsigned char>(line[1])) &&
         std::isdigit(static_cast<unsigned char>(line[2]));
}

bool IsFinalReplyLine(std::string_view line) {
  return StartsWithCode(line) && (line.size() == 3 || line[3] == ' ');
}

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

}  // namespace

CurlSession::CurlSession(const char* protocols) : protocols_(protocols) {
  EnsureCurlInitialised();
}

CurlSession::~CurlSession() {
  Close(std::chrono::seconds(2));
}

CURL* CurlSession::Handle() {
  if (handle_ != nullptr) return handle_;
  handle_ = curl_easy_init();
  if (handle_ == nullptr) throw NetError("The network library could not make a connection.", 0);
  curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, protocols_);
  // Time limits raise signals in the default resolver; the clients may run on
  // any thread.
  curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, error_buffer_);
  curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, DiscardBody);
  // The debug stream is the only place libcurl shows the server's replies
  // for every step; with a callback installed nothing goes to stderr.
  curl_easy_setopt(handle_, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(handle_, CURLOPT_DEBUGFUNCTION, &CurlSession::OnDebug);
  curl_easy_setopt(handle_, CURLOPT_DEBUGDATA, this);
  // A control connection idles while the archive is prepared or sent;
  // keep-alive probes notice a peer that vanished.
  curl_easy_setopt(handle_, CURLOPT_TCP_KEEPALIVE, 1L);
  return handle_;
}

CURLcode CurlSession::Run(const Timeouts& timeouts) {
  CURL* handle = Handle();
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
  curl_easy_setopt(handle, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                   static_cast<long>(timeouts.reply.count()));
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(timeouts.stall.count()));
  error_buffer_[0] = '\0';
  partial_line_.clear();
  pending_reply_.clear();
  replies_.clear();
  return curl_easy_perform(handle);
}

NetError CurlSession::Failure(CURLcode code) const {
  if (!replies_.empty() && replies_.back().code >= 400)
    return NetError(replies_.back().text, replies_.back().code);
  return NetError(error_buffer_[0] != '\0' ? error_buffer_ : curl_easy_strerror(code), 0);
}

bool CurlSession::HasLiveConnection() const {
  if (handle_ == nullptr) return false;
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(handle_, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
      socket == CURL_SOCKET_BAD)
    return false;
    // An idle control connection has nothing to read. Anything there is the
    // peer closing it or announcing that it will ("421 Timeout"), which is how
    // libcurl itself judges a connection before reusing it.
#ifdef _WIN32
  WSAPOLLFD probe{socket, POLLRDNORM, 0};
  const int ready = WSAPoll(&probe, 1, 0);
#else
  pollfd probe{socket, POLLIN, 0};
  const int ready = poll(&probe, 1, 0);
#endif
  return ready == 0;
}

void CurlSession::Close(std::chrono::seconds goodbye_wait) noexcept {
  if (handle_ == nullptr) return;
  // Zero would mean libcurl's own default of minutes.
  curl_easy_setopt(handle_, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                   std::max(1L, static_cast<long>(goodbye_wait.count())));
  curl_easy_cleanup(handle_);
  handle_ = nullptr;
}

int CurlSession::OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* self) {
  auto* session = static_cast<CurlSession*>(self);
  if (type == CURLINFO_HEADER_IN) session->TakeIncoming(std::string_view(data, size));
  return 0;
}

// Replies may arrive a line at a time or several lines at once; lines are
// collected until the final line of a reply completes it.
void CurlSession::TakeIncoming(std::string_view data) {
  partial_line_.append(data);
  std::size_t end;
  while ((end = partial_line_.find('\n')) != std::string::npos) {
    std::string_view line = WithoutLineEnd(std::string_view(partial_line_).substr(0, end + 1));
    if (!pending_reply_.empty()) pending_reply_ += '\n';
    pending_reply_.append(line);
    if (IsFinalReplyLine(line)) {
      replies_.push_back(Reply{std::stoi(std::string(line.substr(0, 3))), pending_reply_});
      pending_reply_.clear();
    }
    partial_line_.erase(0, end + 1);
  }
}

}  // namespace quillo::net::detail
