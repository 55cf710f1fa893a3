#include "net/mail_message.h"

#include <cstdint>
#include <cstdio>
#include <random>

#include "net/mime.h"
#include "platform/codepage.h"

namespace quillo::net {
namespace {

std::string AsUtf8(std::string_view text) {
  return platform::IsValidUtf8(text) ? std::string(text) : platform::AnsiToUtf8(text);
}

// The right-hand side of a Message-ID: the sender's domain when it is a plain
// host name, so the identifier is unique to this sender.
std::string IdDomain(std::string_view address) {
  const std::size_t at = address.rfind('@');
  std::string_view domain = at == std::string_view::npos ? "" : address.substr(at + 1);
  for (char c : domain) {
    const bool host_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!host_char) return "localhost";
  }
  return domain.empty() ? "localhost" : std::string(domain);
}

std::string NewMessageId(std::string_view from_address) {
  std::random_device entropy;
  const std::uint64_t random = (std::uint64_t{entropy()} << 32) | entropy();
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  char unique[48];
  std::snprintf(unique, sizeof unique, "%llx.%016llx", static_cast<unsigned long long>(now),
                static_cast<unsigned long long>(random));
  return std::string(unique) + "@" + IdDomain(from_address);
}

}  // namespace

void MailMessage::Clear() {
  *this = MailMessage();
}

void MailMessage::SetFrom(std::string address, std::string display_name) {
  from_address_ = std::move(address);
  from_name_ = std::move(display_name);
}

void MailMessage::SetRecipient(std::string address) {
  recipient_ = std::move(address);
}

void MailMessage::SetSubject(std::string subject) {
  subject_ = std::move(subject);
}

void MailMessage::AddBodyLine(std::string line) {
  body_.push_back(std::move(line));
}

std::string MailMessage::Render() const {
  return Render(std::chrono::system_clock::now(), NewMessageId(from_address_));
}

std::string MailMessage::Render(std::chrono::system_clock::time_point date,
                                std::string_view message_id) const {
  std::string text;
  text += "Date: " + mime::DateTime(date) + "\r\n";
  text += "From: " + mime::Mailbox(AsUtf8(from_name_), AsUtf8(from_address_)) + "\r\n";
  text += "To: " + mime::Mailbox("", AsUtf8(recipient_)) + "\r\n";
  text += "Subject: " + mime::HeaderText(AsUtf8(subject_)) + "\r\n";
  text += "Message-ID: " + mime::Mailbox("", message_id) + "\r\n";
  text += "MIME-Version: 1.0\r\n";
  text += "Content-Type: text/plain; charset=UTF-8\r\n";
  text += "Content-Transfer-Encoding: quoted-printable\r\n";
  text += "\r\n";
  for (const std::string& body_line : body_) {
    const std::string utf8 = AsUtf8(body_line);
    const std::vector<std::string_view> lines = mime::SplitLines(utf8);
    // An empty body line is still a line of the body.
    if (lines.empty()) text += "\r\n";
    for (std::string_view line : lines) text += mime::QuotedPrintableLine(line) + "\r\n";
  }
  return text;
}

}  // namespace quillo::net
