#pragma once

#include <memory>
#include <string>

#include "net/timeouts.h"

namespace quillo::net {

// An FTP client for uploads: it logs in once, keeps the control connection
// open across transfers and quits at the end. Transfers are binary (TYPE I)
// and passive (the client opens the data connection). No TLS.
//
// Every failure is a NetError (net/net_error.h) whose message is the server's
// reply when the server refused the step ("530 Login incorrect."), and
// libcurl's description otherwise ("Failed to connect to ... Connection
// refused"). A local file that cannot be opened is a quillo::Exception.
class FtpClient {
 public:
  static constexpr int kDefaultPort = 21;

  FtpClient();
  ~FtpClient();  // quits an open session
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;

  // Plain settings, used by the next Connect().
  void SetHost(std::string host) { host_ = std::move(host); }
  void SetPort(int port) { port_ = port; }
  void SetUser(std::string user) { user_ = std::move(user); }
  void SetPassword(std::string password) { password_ = std::move(password); }
  void SetTimeouts(const Timeouts& timeouts) { timeouts_ = timeouts; }
  const std::string& Host() const { return host_; }
  int Port() const { return port_; }
  const std::string& User() const { return user_; }

  // Opens the control connection and logs in with User and Password. On
  // failure the connection is closed before the error leaves. A session that
  // is still open is quit first.
  void Connect();

  // True while the logged-in control connection is open and the server has
  // not closed it.
  bool IsConnected() const;

  // Stores the whole local file under `remote_path`, replacing a file of that
  // name. An absolute path ("/BancoDados/x.zip") starts at the server's root,
  // a relative one at the login folder; folders are not created. The local
  // file is read while other programs may go on reading and writing it; a
  // file that changes size meanwhile fails the upload. Requires Connect().
  void Put(const std::string& local_path, const std::string& remote_path);

  // Ends the session (QUIT, waiting briefly for the answer) and closes the
  // connection. Does nothing when not connected; never throws.
  void Quit() noexcept;

 private:
  struct Session;

  std::string host_;
  int port_ = kDefaultPort;
  std::string user_;
  std::string password_;
  Timeouts timeouts_;
  std::unique_ptr<Session> session_;
};

}  // namespace quillo::net
