// quillo-backup-cli: the backup run of Backup Quillo without a window, for a
// scheduled job on the database server or a run by hand on a terminal.

#include <unistd.h>

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "app/backup_run.h"
#include "app/cli/console_front_end.h"
#include "platform/exception.h"
#include "platform/platform.h"

namespace {

using quillo::app::BackupComponents;
using quillo::app::BackupPaths;
using quillo::app::BackupRun;
using quillo::app::SilentAbort;
using quillo::app::TransmissionSettings;

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

std::string Usage() {
  return "usage: quillo-backup-cli [--base-dir DIR] [--support --comment TEXT]\n"
         "\n"
         "Backs up the database folder named in DIR/ConfigBackup.ini into the day's\n"
         "archive DIR/BACKUP_Quillo_<date>.zip, then uploads it to the customer's own\n"
         "FTP server named there (section [Host]), or to technical support with a\n"
         "notice e-mail (--support).\n"
         "\n"
         "  --base-dir DIR  the backup folder (default: " +
         BackupPaths::Installed().baseDir +
         ")\n"
         "  --support       send the archive to technical support\n"
         "  --comment TEXT  the comment for support (required with --support)\n"
         "  -h, --help      show this help\n"
         "\n"
         "Exit status: 0 when the backup was made and sent, 1 on an error, 2 on bad usage.\n";
}

struct Options {
  std::optional<std::string> baseDir;
  bool support = false;
  std::optional<std::string> comment;
  bool help = false;
};

// Returns false (after saying why) when the arguments make no sense.
bool ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value = [&](std::optional<std::string>& into) {
      if (i + 1 == argc) {
        std::cerr << "quillo-backup-cli: " << arg << " needs a value\n";
        return false;
      }
      into = argv[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--support") {
      options.support = true;
    } else if (arg == "--base-dir") {
      if (!value(options.baseDir)) return false;
    } else if (arg == "--comment") {
      if (!value(options.comment)) return false;
    } else {
      std::cerr << "quillo-backup-cli: unexpected argument " << arg << "\n";
      return false;
    }
  }
  if (options.comment && !options.support) {
    std::cerr << "quillo-backup-cli: --comment goes with --support\n";
    return false;
  }
  if (options.baseDir && options.baseDir->empty()) {
    std::cerr << "quillo-backup-cli: --base-dir needs a folder\n";
    return false;
  }
  return true;
}

// Test and demonstration setups reach their own loopback servers through the
// environment: QUILLO_OWN_FTP_PORT (the customer's server, otherwise 21),
// QUILLO_SUPPORT_FTP_HOST, QUILLO_SUPPORT_FTP_PORT, QUILLO_SMTP_HOST,
// QUILLO_SMTP_PORT and QUILLO_SUPPORT_MAILBOX.
bool ApplyEnvironment(TransmissionSettings& settings) {
  const auto text = [](const char* name, std::string& into) {
    if (const char* found = std::getenv(name); found != nullptr && *found != '\0') into = found;
  };
  const auto port = [](const char* name, int& into) {
    const char* found = std::getenv(name);
    if (found == nullptr || *found == '\0') return true;
    const std::string_view digits = found;
    int parsed = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
    if (error != std::errc() || end != digits.data() + digits.size() || parsed < 1 ||
        parsed > 65535) {
      std::cerr << "quillo-backup-cli: " << name << " is not a port number: " << found << "\n";
      return false;
    }
    into = parsed;
    return true;
  };
  text("QUILLO_SUPPORT_FTP_HOST", settings.supportFtpHost);
  text("QUILLO_SMTP_HOST", settings.smtpHost);
  text("QUILLO_SUPPORT_MAILBOX", settings.supportMailbox);
  return port("QUILLO_OWN_FTP_PORT", settings.ownHostFtpPort) &&
         port("QUILLO_SUPPORT_FTP_PORT", settings.supportFtpPort) &&
         port("QUILLO_SMTP_PORT", settings.smtpPort);
}

int RunBackup(const Options& options, const TransmissionSettings& transmission) {
  const BackupPaths paths =
      options.baseDir ? BackupPaths::Under(*options.baseDir, quillo::platform::ExecutableFolder())
                      : BackupPaths::Installed();
  quillo::app::cli::ConsoleFrontEnd frontEnd(options.support, options.comment.value_or(""),
                                             std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
  BackupComponents components;
  try {
    BackupRun(frontEnd, components, paths, transmission).Execute();
  } catch (const SilentAbort&) {
    return kExitError;  // the run has said why
  } catch (const std::exception& error) {
    frontEnd.ShowError(error.what());
    return kExitError;
  }
  return frontEnd.TerminationRequested() ? kExitOk : kExitError;
}

}  // namespace

int main(int argc, char** argv) {
  // The archive's name carries the date in the user's own short format.
  std::setlocale(LC_ALL, "");
  Options options;
  if (!ParseArguments(argc, argv, options)) {
    std::cerr << Usage();
    return kExitUsage;
  }
  if (options.help) {
    std::cout << Usage();
    return kExitOk;
  }
  TransmissionSettings transmission = TransmissionSettings::Support();
  if (!ApplyEnvironment(transmission)) return kExitUsage;
  return RunBackup(options, transmission);
}
