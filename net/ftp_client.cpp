#include "net/ftp_client.h"

#include <cstdint>
#include <memory>

#include "net/curl_session.h"
#include "net/net_error.h"
#include "net/url.h"
#include "platform/exception.h"
#include "platform/platform.h"

namespace quillo::net {

// What Connect() fixed for the transfers of one session: the same server and
// credentials, so libcurl finds and reuses the logged-in connection.
struct FtpClient::Session {
  detail::CurlSession curl{"ftp"};
  std::string server_url;  // "ftp://host:port/"
  std::string user;
  std::string password;
};

namespace {

// Hands the open local file to libcurl piece by piece.
struct UploadSource {
  platform::File* file;
  bool read_failed = false;

  static std::size_t Read(char* buffer, std::size_t size, std::size_t count, void* self) {
    auto* source = static_cast<UploadSource*>(self);
    const std::int64_t got = source->file->Read(buffer, static_cast<std::int64_t>(size * count));
    if (got < 0) {
      source->read_failed = true;
      return CURL_READFUNC_ABORT;
    }
    return static_cast<std::size_t>(got);
  }
};

}  // namespace

FtpClient::FtpClient() = default;

FtpClient::~FtpClient() {
  Quit();
}

void FtpClient::Connect() {
  Quit();
  auto session = std::make_unique<Session>();
  session->server_url = detail::ServerUrl("ftp", host_, port_);
  session->user = user_;
  session->password = password_;
  CURL* handle = session->curl.Handle();
  curl_easy_setopt(handle, CURLOPT_URL, session->server_url.c_str());
  curl_easy_setopt(handle, CURLOPT_USERNAME, session->user.c_str());
  curl_easy_setopt(handle, CURLOPT_PASSWORD, session->password.c_str());
  // Nothing to transfer: libcurl connects, logs in and leaves the connection
  // open in the handle for the uploads that follow.
  curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  const CURLcode code = session->curl.Run(timeouts_);
  if (code != CURLE_OK) {
    NetError error = session->curl.Failure(code);
    session->curl.Close(std::chrono::seconds(1));
    throw error;
  }
  session_ = std::move(session);
}

bool FtpClient::IsConnected() const {
  return session_ != nullptr && session_->curl.HasLiveConnection();
}

void FtpClient::Put(const std::string& local_path, const std::string& remote_path) {
  if (!IsConnected()) throw NetError("Not connected to an FTP server.", 0);
  std::unique_ptr<platform::File> file = platform::OpenFile(
      local_path, platform::File::Access::kRead, platform::File::Share::kDenyNone);
  if (file == nullptr) throw quillo::Exception("Cannot open file " + local_path);

  UploadSource source{file.get()};
  const std::string url = session_->server_url + detail::EncodePath(remote_path);
  CURL* handle = session_->curl.Handle();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(handle, CURLOPT_APPEND, 0L);
  curl_easy_setopt(handle, CURLOPT_TRANSFERTEXT, 0L);
  // STOR with the whole path: no change of the working folder, so the path
  // means the same on every upload of the session.
  curl_easy_setopt(handle, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  curl_easy_setopt(handle, CURLOPT_FTP_CREATE_MISSING_DIRS,
                   static_cast<long>(CURLFTP_CREATE_DIR_NONE));
  // The size known up front lets libcurl notice a file that shrank meanwhile.
  curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file->Size()));
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, &UploadSource::Read);
  curl_easy_setopt(handle, CURLOPT_READDATA, &source);
  const CURLcode code = session_->curl.Run(timeouts_);
  curl_easy_setopt(handle, CURLOPT_UPLOAD, 0L);
  curl_easy_setopt(handle, CURLOPT_READDATA, nullptr);
  if (source.read_failed) throw quillo::Exception("Cannot read file " + local_path);
  if (code != CURLE_OK) throw session_->curl.Failure(code);
}

void FtpClient::Quit() noexcept {
  if (session_ == nullptr) return;
  // The goodbye is a courtesy; a server that does not answer it promptly is
  // not waited for.
  session_->curl.Close(std::chrono::seconds(2));
  session_.reset();
}

}  // namespace quillo::net
