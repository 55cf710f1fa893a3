#pragma once

#include <iosfwd>
#include <string>

#include "app/backup_run.h"

namespace quillo::app::cli {

// The backup run's front end on a terminal or in a scheduled job: the mode
// and the comment come from the command line, error dialogs become lines on
// the error stream and information dialogs lines on the output stream. The
// wait notice and a progress bar are drawn on the error stream only when it
// is a terminal, so logs of unattended runs hold the messages alone.
class ConsoleFrontEnd : public BackupFrontEnd {
 public:
  ConsoleFrontEnd(bool supportMode, std::string comment, std::ostream& out, std::ostream& err,
                  bool drawProgress);

  bool SupportMode() override { return supportMode_; }
  std::string CommentText() override { return comment_; }
  void ShowError(const std::string& text) override;
  void ShowInformation(const std::string& text) override;
  // The comment comes from the command line; there is nothing to focus.
  void FocusComment() override {}
  void ShowWaitWindow() override;
  void RemoveWaitWindow() override;
  // Nothing waits for input while a run works.
  void ProcessMessages() override {}
  void RequestTermination() override { terminationRequested_ = true; }
  void ArchiveProgress(int percent) override;

  bool TerminationRequested() const { return terminationRequested_; }

 private:
  void EndOpenLine();

  bool supportMode_;
  std::string comment_;
  std::ostream& out_;
  std::ostream& err_;
  bool drawProgress_;
  bool lineOpen_ = false;
  int shownPercent_ = -1;
  bool terminationRequested_ = false;
};

}  // namespace quillo::app::cli
