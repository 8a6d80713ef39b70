#pragma once
// The UI toolkit of the host program. Nothing is drawn: message boxes are lines on
// standard error under the product's title, questions are answered from the terminal
// or by --yes / --no (without either and without a terminal, No: nothing is deleted
// by accident), the batch window is a progress line, and modal dialogs are driven by
// the command that opened them (a "script" per form name) or printed and closed.

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>

#include "app/options.h"
#include "platform/ui.h"

namespace stow::app {

class TerminalToolkit : public ui::Toolkit {
 public:
  using FormScript = std::function<void(ui::Form&)>;

  // in: where typed answers come from; interactive: whether a person is there to type
  // them. err: where boxes and progress go; errIsTerminal: redraw the progress line
  // in place instead of printing a line per change.
  TerminalToolkit(const Options& options, std::istream& in, bool interactive, std::ostream& err,
                  bool errIsTerminal);
  // Standard input and standard error, each a terminal or not as isatty says.
  explicit TerminalToolkit(const Options& options);

  // --- ui::Toolkit
  int MsgBox(const std::string& prompt, int style, const std::string& title) override;
  void ShowForm(ui::Form& form, bool modal) override;
  void HideForm(ui::Form& form) override;
  void SetTopmost(ui::Form& form, bool topmost) override;
  bool IsTopmost(const ui::Form& form) override;
  std::string BrowseForFolder(ui::WindowHandle owner, const std::string& title) override;
  ui::WindowHandle FindWindow(const std::string& className, const std::string& caption) override;
  void BringToFront(ui::WindowHandle window) override;

  // A yes/no question with the product's title: --yes, --no, the terminal, else No.
  bool Ask(const std::string& question);

  // What the command that opens a modal form does in it (types, clicks). Without a
  // script a modal form is printed and closed as if cancelled.
  void SetScript(const std::string& formName, FormScript script);

  // Called at every yield to the message loop: redraws the batch window's progress.
  void Refresh();
  // Ctrl-C: Cancel of the batch window when one is loaded. False when none is.
  bool CancelBatch();
  bool BatchRunning() const { return batch_ != nullptr; }

  // What the user was shown, for the command's summary and exit code.
  int CriticalMessages() const { return criticals_; }
  // Whether a message box has shown text.
  bool Shown(const std::string& text) const { return shown_.find(text) != std::string::npos; }
  int QuestionsAnsweredNo() const { return answeredNo_; }
  int FolderPromptsCancelled() const { return foldersCancelled_; }
  bool BatchCancelled() const { return batchCancelled_; }
  // The last texts of the batch window: "Processing.... (n Of m)".
  const std::string& LastProgress() const { return lastProgressText_; }

 private:
  // A line typed in answer; false at the end of input or on Ctrl-C.
  bool ReadLine(std::string& line);
  void DrawProgress(bool final);
  void PrintForm(const ui::Form& form);
  void ShowErrorReport(ui::Form& form);
  std::string Title(const std::string& title) const;

  const Options& options_;
  std::istream& in_;
  bool interactive_;
  std::ostream& err_;
  bool errIsTerminal_;
  std::map<std::string, FormScript> scripts_;
  std::map<const ui::Form*, bool> topmost_;
  ui::Form* batch_ = nullptr;
  std::string lastProgressText_;
  std::string printedText_;  // the last progress line written to a log
  std::chrono::steady_clock::time_point nextDraw_{};
  std::string drawnLine_;
  std::string lastFolderLabel_;
  std::string shown_;  // every message box's text
  int criticals_ = 0;
  int answeredNo_ = 0;
  int foldersCancelled_ = 0;
  bool batchCancelled_ = false;
  // Batches shown so far, and the one the last Cancel went to (a form's address may
  // be taken again by the next).
  int batchesShown_ = 0, batchCancelledAt_ = 0;
};

}  // namespace stow::app
