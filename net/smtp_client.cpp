#include "net/smtp_client.h"

#include <algorithm>
#include <cstring>

#include "net/curl_session.h"
#include "net/net_error.h"
#include "net/url.h"

namespace quillo::net {

// What Connect() fixed for the messages of one session: the same server and
// credentials, so libcurl finds and reuses the authenticated connection.
struct SmtpClient::Session {
  detail::CurlSession curl{"smtp"};
  std::string server_url;  // "smtp://host:port/"
  std::string user_id;
  std::string password;
};

namespace {

constexpr int kAuthenticationSucceeded = 235;

// Hands the rendered message to libcurl, which adds the SMTP dot-stuffing.
struct MessageSource {
  std::string text;
  std::size_t sent = 0;

  static std::size_t Read(char* buffer, std::size_t size, std::size_t count, void* self) {
    auto* source = static_cast<MessageSource*>(self);
    const std::size_t length = std::min(size * count, source->text.size() - source->sent);
    std::memcpy(buffer, source->text.data() + source->sent, length);
    source->sent += length;
    return length;
  }
};

bool IsPlainAddress(const std::string& address) {
  if (address.empty() || address.find('@') == std::string::npos) return false;
  for (unsigned char c : address)
    if (c <= ' ' || c == 0x7F || std::strchr("<>()[]\\,;:\"", c) != nullptr) return false;
  return true;
}

void RequirePlainAddress(const std::string& address) {
  if (!IsPlainAddress(address)) throw NetError("Invalid mail address: \"" + address + "\"", 0);
}

bool Authenticated(const detail::CurlSession& curl) {
  const auto& replies = curl.Replies();
  return std::any_of(replies.begin(), replies.end(), [](const detail::Reply& reply) {
    return reply.code == kAuthenticationSucceeded;
  });
}

// libcurl goes on without logging in when the server offers no AUTH at all,
// and fails without any refusal from the server when LOGIN is not among the
// mechanisms offered. Either way the mail would not go out as the account it
// belongs to, so both are errors of their own.
bool LoginNotOffered(CURLcode code, const detail::CurlSession& curl) {
  if (code == CURLE_OK) return !Authenticated(curl);
  return code == CURLE_LOGIN_DENIED && curl.Failure(code).ReplyCode() == 0;
}

}  // namespace

SmtpClient::SmtpClient() = default;

SmtpClient::~SmtpClient() {
  Disconnect();
}

void SmtpClient::Connect() {
  Disconnect();
  auto session = std::make_unique<Session>();
  session->server_url = detail::ServerUrl("smtp", host_, port_);
  session->user_id = user_id_;
  session->password = password_;
  CURL* handle = session->curl.Handle();
  curl_easy_setopt(handle, CURLOPT_URL, session->server_url.c_str());
  curl_easy_setopt(handle, CURLOPT_USERNAME, session->user_id.c_str());
  curl_easy_setopt(handle, CURLOPT_PASSWORD, session->password.c_str());
  // libcurl would pick PLAIN when the server offers both.
  curl_easy_setopt(handle, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
  // A harmless command makes libcurl connect, greet and authenticate now,
  // leaving the connection open in the handle for Send().
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, "NOOP");
  curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  const CURLcode code = session->curl.Run(timeouts_);
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(handle, CURLOPT_NOBODY, 0L);
  if (code != CURLE_OK || !Authenticated(session->curl)) {
    NetError error = LoginNotOffered(code, session->curl)
                         ? NetError("The server " + host_ + " offers no LOGIN authentication.", 0)
                         : session->curl.Failure(code);
    session->curl.Close(std::chrono::seconds(1));
    throw error;
  }
  session_ = std::move(session);
}

bool SmtpClient::IsConnected() const {
  return session_ != nullptr && session_->curl.HasLiveConnection();
}

void SmtpClient::Send(const MailMessage& message) {
  if (!IsConnected()) throw NetError("Not connected to an SMTP server.", 0);
  RequirePlainAddress(message.FromAddress());
  RequirePlainAddress(message.Recipient());
  const std::string sender = "<" + message.FromAddress() + ">";
  curl_slist* recipients = curl_slist_append(nullptr, ("<" + message.Recipient() + ">").c_str());
  if (recipients == nullptr) throw NetError("Out of memory.", 0);
  MessageSource source{message.Render()};

  CURL* handle = session_->curl.Handle();
  curl_easy_setopt(handle, CURLOPT_MAIL_FROM, sender.c_str());
  curl_easy_setopt(handle, CURLOPT_MAIL_RCPT, recipients);
  curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(source.text.size()));
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, &MessageSource::Read);
  curl_easy_setopt(handle, CURLOPT_READDATA, &source);
  const CURLcode code = session_->curl.Run(timeouts_);
  curl_easy_setopt(handle, CURLOPT_MAIL_RCPT, nullptr);
  curl_easy_setopt(handle, CURLOPT_UPLOAD, 0L);
  curl_easy_setopt(handle, CURLOPT_READDATA, nullptr);
  curl_slist_free_all(recipients);
  if (code != CURLE_OK) throw session_->curl.Failure(code);
}

void SmtpClient::Disconnect() noexcept {
  if (session_ == nullptr) return;
  // The goodbye is a courtesy; a server that does not answer it promptly is
  // not waited for.
  session_->curl.Close(std::chrono::seconds(2));
  session_.reset();
}

}  // namespace quillo::net
