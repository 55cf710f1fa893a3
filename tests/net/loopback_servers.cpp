#include "tests/net/loopback_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillo::test {
namespace {

using Clock = std::chrono::steady_clock;

// Generous bounds: they only keep a broken server from hanging the run.
constexpr auto kStartBound = std::chrono::seconds(60);
constexpr auto kStopBound = std::chrono::seconds(10);

void Fail(const std::string& what) {
  throw std::runtime_error(what);
}

// Reads the first line the child prints, waiting at most until `deadline`.
std::string ReadFirstLine(int fd, Clock::time_point deadline) {
  std::string line;
  while (line.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) Fail("server did not report its port in time");
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) Fail("server exited before reporting its port");
    line.append(buffer, static_cast<std::size_t>(count));
  }
  return line.substr(0, line.find('\n'));
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

}  // namespace

ServerProcess::ServerProcess(const std::string& script, const std::vector<std::string>& arguments,
                             const std::filesystem::path& log_file) {
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) Fail("pipe failed");

  std::vector<std::string> words = {QUILLO_TEST_PYTHON,
                                    std::string(QUILLO_NET_TEST_SCRIPTS) + "/" + script};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_file.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(to_child[0]);
  close(from_child[1]);
  stdin_fd_ = to_child[1];
  if (spawned != 0) {
    close(from_child[0]);
    close(stdin_fd_);
    Fail("cannot start " + words[0]);
  }

  std::string line;
  try {
    line = ReadFirstLine(from_child[0], Clock::now() + kStartBound);
  } catch (const std::exception& error) {
    close(from_child[0]);
    Stop();
    Fail(std::string(error.what()) + "; its log:\n" + ReadFileText(log_file));
  }
  close(from_child[0]);
  port_ = std::atoi(line.c_str());
}

ServerProcess::~ServerProcess() {
  Stop();
}

void ServerProcess::Stop() {
  if (pid_ <= 0) return;
  close(stdin_fd_);  // the script's cue to exit
  stdin_fd_ = -1;
  const auto deadline = Clock::now() + kStopBound;
  int status;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

FtpServer::FtpServer(const std::filesystem::path& home, const std::string& user,
                     const std::string& password)
    : log_file_(home.parent_path() / ("ftp-server-" + home.filename().string() + ".log")),
      process_("ftp_server.py", {"--home", home.string(), "--user", user, "--password", password},
               log_file_) {}

SmtpServer::SmtpServer(const std::filesystem::path& spool, const std::string& user,
                       const std::string& password, SmtpAuth auth)
    : spool_(spool),
      process_("smtp_server.py",
               {"--spool", spool.string(), "--user", user, "--password", password, "--auth",
                auth == SmtpAuth::kLoginAndPlain ? "login-and-plain"
                : auth == SmtpAuth::kPlainOnly   ? "plain-only"
                                                 : "none"},
               spool / "server.log") {}

std::vector<std::filesystem::path> SmtpServer::Messages() const {
  std::vector<std::pair<int, std::filesystem::path>> numbered;
  for (const auto& entry : std::filesystem::directory_iterator(spool_)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory() && name.starts_with("message-") && !name.ends_with(".partial"))
      numbered.emplace_back(std::atoi(name.c_str() + 8), entry.path());
  }
  std::sort(numbered.begin(), numbered.end());
  std::vector<std::filesystem::path> messages;
  for (auto& [number, path] : numbered) messages.push_back(path);
  return messages;
}

std::vector<std::string> SmtpServer::AuthLog() const {
  std::istringstream log(ReadFileText(spool_ / "auth.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

int UnusedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int port = BoundPort(fd);
  close(fd);
  return port;
}

SilentServer::SilentServer() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd_, 8) != 0)
    Fail("cannot listen on loopback");
  port_ = BoundPort(fd_);
}

SilentServer::~SilentServer() {
  close(fd_);
}

}  // namespace quillo::test
