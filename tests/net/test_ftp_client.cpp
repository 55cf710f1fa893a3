#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "net/ftp_client.h"
#include "net/net_error.h"
#include "tests/net/loopback_servers.h"

namespace quillo::net {
namespace {

namespace fs = std::filesystem;
using test::FtpServer;
using test::ReadFileText;
using test::TempFolder;
using test::WriteFileText;

// Bytes that a text-mode transfer would change: line ends, NULs, high bytes.
std::string BinaryContent(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  bytes.replace(0, 6, "\r\n\n\r\0\xFF", 6);
  return bytes;
}

fs::path MadeFolder(const fs::path& path) {
  fs::create_directories(path);
  return path;
}

std::size_t CountOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

class ftp_client_test : public ::testing::Test {
 protected:
  ftp_client_test() {
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.SetUser("usuario");
    client.SetPassword("senha");
  }

  fs::path LocalFile(const std::string& name, const std::string& bytes) {
    const fs::path path = local / name;
    WriteFileText(path, bytes);
    return path;
  }

  TempFolder temp;
  fs::path home = MadeFolder(temp.Path() / "home");
  fs::path local = MadeFolder(temp.Path() / "local");
  FtpServer server{home, "usuario", "senha"};
  FtpClient client;
};

TEST_F(ftp_client_test, upload_lands_byte_for_byte_at_a_nested_path) {
  fs::create_directories(home / "BancoDados" / "2024");
  const std::string bytes = BinaryContent(300 * 1024 + 17, 1);
  const fs::path archive = LocalFile("BACKUP_Quillo_09122024.zip", bytes);

  client.Connect();
  ASSERT_TRUE(client.IsConnected());
  client.Put(archive.string(), "/BancoDados/2024/BACKUP_Quillo_09122024.zip");

  EXPECT_EQ(ReadFileText(home / "BancoDados" / "2024" / "BACKUP_Quillo_09122024.zip"), bytes);
  EXPECT_TRUE(client.IsConnected());
}

TEST_F(ftp_client_test, upload_replaces_a_longer_file_of_the_same_name) {
  fs::create_directories(home / "backups");
  WriteFileText(home / "backups" / "day.zip", BinaryContent(200000, 2));
  const std::string bytes = BinaryContent(1000, 3);

  client.Connect();
  client.Put(LocalFile("day.zip", bytes).string(), "/backups/day.zip");

  EXPECT_EQ(ReadFileText(home / "backups" / "day.zip"), bytes);
}

TEST_F(ftp_client_test, one_login_serves_every_upload_of_the_session) {
  client.Connect();
  client.Put(LocalFile("a.bin", "first").string(), "/a.bin");
  client.Put(LocalFile("b.bin", "second").string(), "/b.bin");
  client.Quit();
  server.Stop();  // its log is complete

  EXPECT_EQ(ReadFileText(home / "a.bin"), "first");
  EXPECT_EQ(ReadFileText(home / "b.bin"), "second");
  EXPECT_EQ(CountOf(server.Log(), "logged in"), 1u) << server.Log();
}

TEST_F(ftp_client_test, remote_paths_are_taken_literally) {
  struct Case {
    const char* remote;
    fs::path landed;
  };
  fs::create_directories(home / "pasta com espaço");
  const Case cases[] = {
      {"//BACKUP.zip", home / "BACKUP.zip"},  // an empty remote folder setting
      {"/pasta com espaço/a#b?c%20;d.zip", home / "pasta com espaço" / "a#b?c%20;d.zip"},
      {"relative.zip", home / "relative.zip"},  // relative to the login folder
  };
  client.Connect();
  for (const Case& c : cases) {
    const std::string bytes = std::string("content of ") + c.remote;
    client.Put(LocalFile("upload", bytes).string(), c.remote);
    EXPECT_EQ(ReadFileText(c.landed), bytes) << c.remote;
  }
}

TEST_F(ftp_client_test, refused_login_carries_the_server_reply) {
  client.SetPassword("wrong");
  try {
    client.Connect();
    FAIL() << "login with a wrong password succeeded";
  } catch (const NetError& error) {
    EXPECT_STREQ(error.what(), "530 Authentication failed.");
    EXPECT_EQ(error.ReplyCode(), 530);
  }
  EXPECT_FALSE(client.IsConnected());

  // The failure left nothing behind: the right password then works.
  client.SetPassword("senha");
  client.Connect();
  EXPECT_TRUE(client.IsConnected());
}

TEST_F(ftp_client_test, refused_upload_carries_the_server_reply_and_keeps_the_session) {
  client.Connect();
  try {
    client.Put(LocalFile("x.zip", "x").string(), "/no/such/folder/x.zip");
    FAIL() << "upload into a missing folder succeeded";
  } catch (const NetError& error) {
    EXPECT_GE(error.ReplyCode(), 500);
    EXPECT_TRUE(std::string(error.what()).starts_with(std::to_string(error.ReplyCode()) + " "))
        << error.what();
  }
  EXPECT_TRUE(client.IsConnected());
  client.Put(LocalFile("y.zip", "y").string(), "/y.zip");
  EXPECT_EQ(ReadFileText(home / "y.zip"), "y");
}

TEST_F(ftp_client_test, local_file_that_cannot_be_opened_is_named_in_the_error) {
  client.Connect();
  const std::string missing = (local / "missing.zip").string();
  try {
    client.Put(missing, "/missing.zip");
    FAIL() << "upload of a missing file succeeded";
  } catch (const quillo::Exception& error) {
    EXPECT_EQ(error.what(), "Cannot open file " + missing);
  }
  EXPECT_FALSE(fs::exists(home / "missing.zip"));
}

TEST_F(ftp_client_test, file_whose_size_differs_from_what_was_read_fails_the_upload) {
  // A /proc file says it is empty and yet gives bytes: the same as a file
  // that another program extends while it is being sent.
  client.Connect();
  EXPECT_THROW(client.Put("/proc/self/status", "/status"), NetError);
  EXPECT_TRUE(client.IsConnected());
}

TEST_F(ftp_client_test, quit_ends_the_session_and_put_then_needs_a_connection) {
  client.Connect();
  client.Quit();
  EXPECT_FALSE(client.IsConnected());
  client.Quit();  // a second quit does nothing
  EXPECT_THROW(client.Put(LocalFile("z", "z").string(), "/z"), NetError);
  EXPECT_FALSE(fs::exists(home / "z"));
}

TEST_F(ftp_client_test, a_server_that_went_away_is_not_connected) {
  client.Connect();
  ASSERT_TRUE(client.IsConnected());
  server.Stop();
  EXPECT_FALSE(client.IsConnected());
}

TEST(ftp_client_failure_test, unreachable_server_fails_with_an_error) {
  FtpClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(test::UnusedLoopbackPort());
  try {
    client.Connect();
    FAIL() << "connected to a port nobody listens on";
  } catch (const NetError& error) {
    EXPECT_EQ(error.ReplyCode(), 0);
    EXPECT_NE(std::string(error.what()).find("Failed to connect to 127.0.0.1"), std::string::npos)
        << error.what();
  }
  EXPECT_FALSE(client.IsConnected());
}

TEST(ftp_client_failure_test, silent_server_fails_once_the_reply_time_is_up) {
  test::SilentServer silent;
  FtpClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(silent.Port());
  Timeouts short_limits;
  short_limits.connect = std::chrono::seconds(1);
  short_limits.reply = std::chrono::seconds(1);
  client.SetTimeouts(short_limits);
  try {
    client.Connect();
    FAIL() << "a server that never greets was taken as connected";
  } catch (const NetError& error) {
    // libcurl words it "server response timeout" or "... timed out ...".
    const std::string message = error.what();
    EXPECT_TRUE(message.find("timeout") != std::string::npos ||
                message.find("timed out") != std::string::npos)
        << message;
    EXPECT_EQ(error.ReplyCode(), 0);
  }
  EXPECT_FALSE(client.IsConnected());
}

TEST(ftp_client_failure_test, empty_host_is_an_error) {
  FtpClient client;
  EXPECT_THROW(client.Connect(), NetError);
  EXPECT_FALSE(client.IsConnected());
}

}  // namespace
}  // namespace quillo::net
