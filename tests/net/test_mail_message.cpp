#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/mail_message.h"

namespace quillo::net {
namespace {

using namespace std::chrono;

const system_clock::time_point kDate = sys_days{2024y / December / 9} + 14h + 30min;

TEST(mail_message_test, renders_a_complete_7bit_message) {
  MailMessage message;
  message.SetFrom("suporte@example.com", "Norvo System");
  message.SetRecipient("suporte@example.com");
  message.SetSubject("Banco de Dados");
  message.AddBodyLine("Esta é uma mensagem automática do sistema QUILLO.");
  message.AddBodyLine("");
  message.AddBodyLine("linha um\r\nlinha dois");

  EXPECT_EQ(message.Render(kDate, "id.1@example.com"),
            "Date: Mon, 09 Dec 2024 14:30:00 +0000\r\n"
            "From: \"Norvo System\" <suporte@example.com>\r\n"
            "To: <suporte@example.com>\r\n"
            "Subject: Banco de Dados\r\n"
            "Message-ID: <id.1@example.com>\r\n"
            "MIME-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n"
            "\r\n"
            "Esta =C3=A9 uma mensagem autom=C3=A1tica do sistema QUILLO.\r\n"
            "\r\n"
            "linha um\r\n"
            "linha dois\r\n");
}

TEST(mail_message_test, text_that_is_not_utf8_is_taken_as_windows_1252) {
  MailMessage message;
  message.SetFrom("a@b.c");
  message.SetRecipient("a@b.c");
  message.SetSubject("Concei\xE7\xE3o");
  message.AddBodyLine("Concei\xE7\xE3o");
  const std::string text = message.Render(kDate, "x@b.c");
  EXPECT_NE(text.find("Subject: =?UTF-8?Q?Concei=C3=A7=C3=A3o?=\r\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("\r\n\r\nConcei=C3=A7=C3=A3o\r\n"));
}

TEST(mail_message_test, header_fields_cannot_be_forged_through_the_texts) {
  MailMessage message;
  message.SetFrom("a@b.c", "Evil\r\nBcc: victim@example.com");
  message.SetRecipient("a@b.c");
  message.SetSubject("Hi\nBcc: victim@example.com");
  const std::string text = message.Render(kDate, "x@b.c");
  const std::string headers = text.substr(0, text.find("\r\n\r\n") + 2);
  EXPECT_EQ(headers.find("\r\nBcc:"), std::string::npos);
  EXPECT_EQ(headers.find('\n'), headers.find("\r\n") + 1);  // no bare line feeds
}

TEST(mail_message_test, every_render_has_its_own_message_id_in_the_sender_domain) {
  MailMessage message;
  message.SetFrom("suporte@example.com", "Norvo System");
  message.SetRecipient("a@b.c");
  auto id_of = [](const std::string& text) {
    const std::size_t start = text.find("Message-ID: <");
    return text.substr(start, text.find("\r\n", start) - start);
  };
  const std::string first = id_of(message.Render());
  const std::string second = id_of(message.Render());
  EXPECT_NE(first, second);
  EXPECT_TRUE(first.ends_with("@example.com>")) << first;
}

}  // namespace
}  // namespace quillo::net
