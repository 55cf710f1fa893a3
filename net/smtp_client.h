#pragma once

#include <memory>
#include <string>

#include "net/mail_message.h"
#include "net/timeouts.h"

namespace quillo::net {

// A mail submission client: connects, greets, logs in with the LOGIN
// mechanism, sends messages and disconnects. Plain TCP, no TLS.
//
// Every failure is a NetError (net/net_error.h) whose message is the server's
// reply when the server refused the step ("535 5.7.8 Authentication
// credentials invalid"), and libcurl's description otherwise.
class SmtpClient {
 public:
  static constexpr int kDefaultPort = 587;

  SmtpClient();
  ~SmtpClient();  // disconnects an open session
  SmtpClient(const SmtpClient&) = delete;
  SmtpClient& operator=(const SmtpClient&) = delete;

  // Plain settings, used by the next Connect().
  void SetHost(std::string host) { host_ = std::move(host); }
  void SetPort(int port) { port_ = port; }
  void SetUserId(std::string user_id) { user_id_ = std::move(user_id); }
  void SetPassword(std::string password) { password_ = std::move(password); }
  void SetTimeouts(const Timeouts& timeouts) { timeouts_ = timeouts; }
  const std::string& Host() const { return host_; }
  int Port() const { return port_; }
  const std::string& UserId() const { return user_id_; }

  // Opens the connection, greets the server (EHLO) and authenticates with
  // UserId and Password by the LOGIN mechanism. A server that refuses the
  // login, or that offers no LOGIN authentication at all, is an error, and
  // the connection is closed before it leaves. A session that is still open
  // is disconnected first.
  void Connect();

  // True while the authenticated connection is open and the server has not
  // closed it.
  bool IsConnected() const;

  // Hands the message to the server for its sender and its one recipient.
  // Requires Connect(). Sender and recipient must be plain addresses
  // (local@domain, no spaces, brackets or line breaks).
  void Send(const MailMessage& message);

  // Ends the session (QUIT, waiting briefly for the answer) and closes the
  // connection. Does nothing when not connected; never throws.
  void Disconnect() noexcept;

 private:
  struct Session;

  std::string host_;
  int port_ = kDefaultPort;
  std::string user_id_;
  std::string password_;
  Timeouts timeouts_;
  std::unique_ptr<Session> session_;
};

}  // namespace quillo::net
