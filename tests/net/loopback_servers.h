#pragma once

// Real servers on 127.0.0.1 for the network tests: pyftpdlib and aiosmtpd run
// by Debian's own Python as child processes, each on a free port, stopped and
// reaped when the object goes. Every wait here is bounded, so a server that
// fails to start fails the test instead of hanging it.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace quillo::test {

using quillo::testing::ReadFileText;
using quillo::testing::TempFolder;
using quillo::testing::WriteFileText;

// A child process running one of the server scripts of this folder. The
// script prints its port once it listens and exits when its stdin closes.
class ServerProcess {
 public:
  ServerProcess(const std::string& script, const std::vector<std::string>& arguments,
                const std::filesystem::path& log_file);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int Port() const { return port_; }
  // Ends the server and reaps it; its connections are closed afterwards.
  void Stop();

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int port_ = 0;
};

// pyftpdlib serving one user with every permission in `home` (which must exist).
class FtpServer {
 public:
  FtpServer(const std::filesystem::path& home, const std::string& user,
            const std::string& password);
  int Port() const { return process_.Port(); }
  // The server's log so far, one line per event ("... USER 'x' logged in.").
  std::string Log() const { return ReadFileText(log_file_); }
  void Stop() { process_.Stop(); }

 private:
  std::filesystem::path log_file_;
  ServerProcess process_;
};

// What an SmtpServer offers after EHLO.
enum class SmtpAuth { kLoginAndPlain, kPlainOnly, kNone };

// aiosmtpd taking mail for one account after AUTH over plain TCP. Messages and
// authentication attempts are recorded under `spool` (which must exist).
class SmtpServer {
 public:
  SmtpServer(const std::filesystem::path& spool, const std::string& user,
             const std::string& password, SmtpAuth auth = SmtpAuth::kLoginAndPlain);
  int Port() const { return process_.Port(); }
  void Stop() { process_.Stop(); }

  // The folders of the messages received, in the order they came.
  std::vector<std::filesystem::path> Messages() const;
  // One recorded part of a message: "raw.eml", "envelope_from",
  // "envelope_to", "from_name", "from_address", "to", "subject", "body"
  // (decoded text), "content_type", "charset", "transfer_encoding", "parts".
  static std::string Field(const std::filesystem::path& message, const std::string& name) {
    return ReadFileText(message / name);
  }
  // One line per authentication attempt: "<mechanism> <login> ok|refused".
  std::vector<std::string> AuthLog() const;

 private:
  std::filesystem::path spool_;
  ServerProcess process_;
};

// A loopback port on which nothing listens (connections are refused).
int UnusedLoopbackPort();

// A loopback listener that accepts connections (the system completes them)
// but never says a word: a server that hangs.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace quillo::test
