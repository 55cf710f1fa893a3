#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::net {

// A plain-text mail with one sender, one recipient, a subject and body lines,
// and no attachments. Texts are UTF-8 (text that is not valid UTF-8 is taken
// as Windows-1252). The rendered message declares UTF-8 and is encoded
// quoted-printable, so accents survive servers that pass only 7-bit ASCII.
class MailMessage {
 public:
  // Empties every field and the body.
  void Clear();

  void SetFrom(std::string address, std::string display_name = {});
  void SetRecipient(std::string address);
  void SetSubject(std::string subject);
  // A line may hold line breaks of its own; each becomes a line of the body.
  void AddBodyLine(std::string line);

  const std::string& FromAddress() const { return from_address_; }
  const std::string& FromName() const { return from_name_; }
  const std::string& Recipient() const { return recipient_; }
  const std::string& Subject() const { return subject_; }
  const std::vector<std::string>& BodyLines() const { return body_; }

  // The whole message (headers, empty line, body), CRLF line ends, dated now
  // and with a new Message-ID.
  std::string Render() const;
  // The same with the date and the Message-ID (without angle brackets) given.
  std::string Render(std::chrono::system_clock::time_point date, std::string_view message_id) const;

 private:
  std::string from_address_;
  std::string from_name_;
  std::string recipient_;
  std::string subject_;
  std::vector<std::string> body_;
};

}  // namespace quillo::net
