#include "app/cli/console_front_end.h"

#include <algorithm>
#include <ostream>
#include <utility>

namespace quillo::app::cli {
namespace {

constexpr const char* kWaitText = "Aguarde, realizando o processamento...";
constexpr int kBarWidth = 30;

std::string Bar(int percent) {
  const int filled = percent * kBarWidth / 100;
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "]";
}

}  // namespace

ConsoleFrontEnd::ConsoleFrontEnd(bool supportMode, std::string comment, std::ostream& out,
                                 std::ostream& err, bool drawProgress)
    : supportMode_(supportMode),
      comment_(std::move(comment)),
      out_(out),
      err_(err),
      drawProgress_(drawProgress) {}

void ConsoleFrontEnd::ShowError(const std::string& text) {
  EndOpenLine();
  err_ << text << std::endl;
}

void ConsoleFrontEnd::ShowInformation(const std::string& text) {
  EndOpenLine();
  out_ << text << std::endl;
}

void ConsoleFrontEnd::ShowWaitWindow() {
  if (!drawProgress_) return;
  EndOpenLine();
  err_ << kWaitText << std::flush;
  lineOpen_ = true;
  shownPercent_ = -1;
}

void ConsoleFrontEnd::RemoveWaitWindow() {
  EndOpenLine();
}

void ConsoleFrontEnd::ArchiveProgress(int percent) {
  percent = std::clamp(percent, 0, 100);
  // The writer reports after every buffer; redraw only when the figure moves.
  if (!drawProgress_ || percent == shownPercent_) return;
  shownPercent_ = percent;
  err_ << "\r" << kWaitText << " " << Bar(percent) << " " << percent << "%" << std::flush;
  lineOpen_ = true;
}

void ConsoleFrontEnd::EndOpenLine() {
  if (!lineOpen_) return;
  err_ << std::endl;
  lineOpen_ = false;
}

}  // namespace quillo::app::cli
