#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "net/mail_message.h"
#include "net/net_error.h"
#include "net/smtp_client.h"
#include "tests/net/loopback_servers.h"

namespace quillo::net {
namespace {

namespace fs = std::filesystem;
using test::SmtpServer;
using test::TempFolder;

constexpr const char* kMailbox = "suporte@example.com";
constexpr const char* kUserId = "norvosystem";
constexpr const char* kPassword = "37918459";

const std::vector<std::string> kNoticeLines = {
    "Neste e-mail contém um arquivo anexado com o banco de dados.",
    "Esta é uma mensagem automática do sistema QUILLO.",
    "",
    "Usuário: Quillo Móveis e Decorações",
    "",
    "O banco de dados deste usuário já está disponível para download",
    "",
    "Comentário do Usuário:",
    "",
    "Favor verificar a tabela de preços.\r\nObrigado, João",
};

MailMessage Notice() {
  MailMessage message;
  message.SetFrom(kMailbox, "Norvo System");
  message.SetSubject("Banco de Dados");
  for (const std::string& line : kNoticeLines) message.AddBodyLine(line);
  message.SetRecipient(kMailbox);
  return message;
}

fs::path MadeFolder(const fs::path& path) {
  fs::create_directories(path);
  return path;
}

class smtp_client_test : public ::testing::Test {
 protected:
  void Point(SmtpClient& smtp, const SmtpServer& at) {
    smtp.SetHost("127.0.0.1");
    smtp.SetPort(at.Port());
    smtp.SetUserId(kUserId);
    smtp.SetPassword(kPassword);
  }

  TempFolder temp;
  fs::path spool = MadeFolder(temp.Path() / "spool");
  SmtpServer server{spool, kUserId, kPassword};
  SmtpClient client;
};

TEST_F(smtp_client_test, sends_one_message_that_decodes_to_what_was_composed) {
  Point(client, server);
  client.Connect();
  ASSERT_TRUE(client.IsConnected());
  client.Send(Notice());
  client.Disconnect();

  const std::vector<fs::path> messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const fs::path& m = messages[0];
  EXPECT_EQ(SmtpServer::Field(m, "envelope_from"), kMailbox);
  EXPECT_EQ(SmtpServer::Field(m, "envelope_to"), kMailbox);
  EXPECT_EQ(SmtpServer::Field(m, "from_name"), "Norvo System");
  EXPECT_EQ(SmtpServer::Field(m, "from_address"), kMailbox);
  EXPECT_EQ(SmtpServer::Field(m, "to"), kMailbox);
  EXPECT_EQ(SmtpServer::Field(m, "subject"), "Banco de Dados");
  EXPECT_EQ(SmtpServer::Field(m, "content_type"), "text/plain");
  EXPECT_EQ(SmtpServer::Field(m, "charset"), "utf-8");
  EXPECT_EQ(SmtpServer::Field(m, "parts"), "1");  // no attachment
  EXPECT_EQ(SmtpServer::Field(m, "mime_version"), "1.0");
  EXPECT_FALSE(SmtpServer::Field(m, "date").empty());
  EXPECT_FALSE(SmtpServer::Field(m, "message_id").empty());

  std::string expected_body;
  for (const std::string& line : kNoticeLines) expected_body += line + "\n";
  expected_body.replace(expected_body.find("\r\n"), 2, "\n");
  EXPECT_EQ(SmtpServer::Field(m, "body"), expected_body);

  // What travelled was plain 7-bit ASCII, so no server on the way could
  // have mangled the accents.
  for (unsigned char c : SmtpServer::Field(m, "raw.eml")) ASSERT_LT(c, 0x80);
  EXPECT_EQ(server.AuthLog(), std::vector<std::string>{"LOGIN norvosystem ok"});
  EXPECT_EQ(SmtpServer::Field(m, "auth_login"), kUserId);
}

TEST_F(smtp_client_test, accented_subject_and_sender_name_arrive_intact) {
  MailMessage message = Notice();
  message.SetSubject("Relatório de Conceição — ação concluída");
  message.SetFrom(kMailbox, "José da Conceição");
  Point(client, server);
  client.Connect();
  client.Send(message);

  const std::vector<fs::path> messages = server.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(SmtpServer::Field(messages[0], "subject"), "Relatório de Conceição — ação concluída");
  EXPECT_EQ(SmtpServer::Field(messages[0], "from_name"), "José da Conceição");
}

TEST_F(smtp_client_test, one_authentication_serves_every_message_of_the_session) {
  Point(client, server);
  client.Connect();
  client.Send(Notice());
  client.Send(Notice());
  EXPECT_EQ(server.Messages().size(), 2u);
  EXPECT_EQ(server.AuthLog().size(), 1u);
}

TEST_F(smtp_client_test, refused_authentication_carries_the_server_reply) {
  Point(client, server);
  client.SetPassword("wrong");
  try {
    client.Connect();
    FAIL() << "authentication with a wrong password succeeded";
  } catch (const NetError& error) {
    EXPECT_STREQ(error.what(), "535 5.7.8 Authentication credentials invalid");
    EXPECT_EQ(error.ReplyCode(), 535);
  }
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(server.AuthLog(), std::vector<std::string>{"LOGIN norvosystem refused"});
  EXPECT_TRUE(server.Messages().empty());
}

TEST_F(smtp_client_test, disconnect_ends_the_session_and_send_then_needs_a_connection) {
  Point(client, server);
  client.Connect();
  client.Disconnect();
  EXPECT_FALSE(client.IsConnected());
  EXPECT_THROW(client.Send(Notice()), NetError);
  EXPECT_TRUE(server.Messages().empty());
}

TEST_F(smtp_client_test, addresses_that_are_not_plain_are_refused_before_sending) {
  Point(client, server);
  client.Connect();
  for (const char* bad : {"", "no-at-sign", "two words@example.com", "a@b.c>\r\nRCPT TO:<x@y.z"}) {
    MailMessage message = Notice();
    message.SetRecipient(bad);
    EXPECT_THROW(client.Send(message), NetError) << bad;
  }
  EXPECT_TRUE(server.Messages().empty());
}

TEST(smtp_client_failure_test, server_that_offers_no_login_authentication_is_an_error) {
  for (const test::SmtpAuth offered : {test::SmtpAuth::kNone, test::SmtpAuth::kPlainOnly}) {
    TempFolder temp;
    const fs::path spool = MadeFolder(temp.Path() / "spool");
    SmtpServer server(spool, kUserId, kPassword, offered);
    SmtpClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.SetUserId(kUserId);
    client.SetPassword(kPassword);
    try {
      client.Connect();
      ADD_FAILURE() << "connected without logging in by LOGIN";
    } catch (const NetError& error) {
      EXPECT_NE(std::string(error.what()).find("offers no LOGIN authentication"), std::string::npos)
          << error.what();
    }
    EXPECT_FALSE(client.IsConnected());
    EXPECT_THROW(client.Send(Notice()), NetError);
    EXPECT_TRUE(server.Messages().empty());
    EXPECT_TRUE(server.AuthLog().empty());  // the password never went out another way
  }
}

TEST(smtp_client_failure_test, unreachable_server_fails_with_an_error) {
  SmtpClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(test::UnusedLoopbackPort());
  client.SetUserId(kUserId);
  client.SetPassword(kPassword);
  try {
    client.Connect();
    FAIL() << "connected to a port nobody listens on";
  } catch (const NetError& error) {
    EXPECT_EQ(error.ReplyCode(), 0);
    EXPECT_NE(std::string(error.what()).find("Failed to connect to 127.0.0.1"), std::string::npos)
        << error.what();
  }
}

TEST(smtp_client_failure_test, silent_server_fails_once_the_reply_time_is_up) {
  test::SilentServer silent;
  SmtpClient client;
  client.SetHost("127.0.0.1");
  client.SetPort(silent.Port());
  client.SetUserId(kUserId);
  client.SetPassword(kPassword);
  Timeouts short_limits;
  short_limits.connect = std::chrono::seconds(1);
  short_limits.reply = std::chrono::seconds(1);
  client.SetTimeouts(short_limits);
  EXPECT_THROW(client.Connect(), NetError);
  EXPECT_FALSE(client.IsConnected());
}

}  // namespace
}  // namespace quillo::net
