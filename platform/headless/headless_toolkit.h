#pragma once
// The UI toolkit of tests (platform/ui.h). Nothing reaches a screen: message boxes are answered
// from a queue, a modal form runs a handler the test registered for its name (the
// handler types into text boxes and clicks buttons, as the user would), the folder
// browser answers from a queue, and everything shown is recorded in order so a test
// can check what the user would have seen.

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace stow::headless {

struct MessageBoxRecord {
  std::string prompt;
  int style = 0;
  std::string title;  // as the caller passed it (empty: the application's own)
  int answer = 0;
  // Names of the forms that were on top of other windows while the box was open.
  std::vector<std::string> topmostForms;
};

struct FormEvent {
  enum Kind { Show, Hide };
  Kind kind = Show;
  std::string form;
  bool modal = false;  // for Show
};

struct BrowseRecord {
  ui::WindowHandle owner = 0;
  std::string title;
  std::string answer;  // empty: cancelled
  std::vector<std::string> topmostForms;
};

struct TopmostChange {
  std::string form;
  bool topmost = false;
};

class HeadlessToolkit : public ui::Toolkit {
 public:
  using FormHandler = std::function<void(ui::Form&)>;

  // --- ui::Toolkit
  // OK-only boxes answer vbOK without using the queue; other boxes take the next
  // queued answer, or the default answer when the queue is empty.
  int MsgBox(const std::string& prompt, int style, const std::string& title) override;
  // Records the show. Modeless: runs the OnModeless handler, if any, and returns.
  // Modal: runs the OnModal handler and returns; a form the handler left visible (or
  // one without a handler) is hidden by the toolkit and named in ModalLeftOpen().
  void ShowForm(ui::Form& form, bool modal) override;
  void HideForm(ui::Form& form) override;
  // Only a loaded form has a window; an unloaded one is never on top.
  void SetTopmost(ui::Form& form, bool topmost) override;
  bool IsTopmost(const ui::Form& form) override;
  // The next queued folder; empty (cancelled) when the queue is empty.
  std::string BrowseForFolder(ui::WindowHandle owner, const std::string& title) override;
  // A window added by AddWindow with exactly this class and caption; 0 when none.
  ui::WindowHandle FindWindow(const std::string& className, const std::string& caption) override;
  void BringToFront(ui::WindowHandle window) override;

  // --- scripting the user
  void QueueAnswer(int answer) { answers_.push_back(answer); }
  std::size_t QueuedAnswers() const { return answers_.size(); }
  // The answer to a question when the queue is empty (vbNo unless set). For an
  // OK/Cancel box vbYes and vbOK mean OK and anything else Cancel; for a Yes/No box
  // vbOK and vbYes mean Yes and anything else No.
  void SetDefaultAnswer(int answer) { defaultAnswer_ = answer; }
  // One handler per form name; a later call replaces it, an empty handler removes it.
  void OnModal(const std::string& formName, FormHandler handler);
  void OnModeless(const std::string& formName, FormHandler handler);
  // "" answers the next browse with Cancel.
  void QueueFolder(const std::string& path) { folders_.push_back(path); }
  ui::WindowHandle AddWindow(const std::string& className, const std::string& caption);
  void RemoveWindow(ui::WindowHandle window);

  // --- what was shown
  const std::vector<MessageBoxRecord>& MessageBoxes() const { return boxes_; }
  const std::vector<FormEvent>& FormEvents() const { return formEvents_; }
  std::vector<FormEvent> Shows() const;
  std::vector<std::string> Hides() const;
  const std::vector<std::string>& ModalLeftOpen() const { return modalLeftOpen_; }
  const std::vector<BrowseRecord>& Browses() const { return browses_; }
  const std::vector<ui::WindowHandle>& BroughtToFront() const { return broughtToFront_; }
  const std::vector<TopmostChange>& TopmostChanges() const { return topmostChanges_; }
  // Names of the loaded forms now on top, in load order.
  std::vector<std::string> TopmostForms();
  // A loaded form by name; nullptr when none.
  ui::Form* FindForm(const std::string& name) const;
  // Forgets the records (not the queues, handlers or windows).
  void ClearRecords();

 private:
  void PurgeUnloaded();

  std::deque<int> answers_;
  int defaultAnswer_ = ui::vbNo;
  std::map<std::string, FormHandler> modalHandlers_;
  std::map<std::string, FormHandler> modelessHandlers_;
  std::deque<std::string> folders_;
  struct WindowEntry {
    std::string className;
    std::string caption;
  };
  std::map<ui::WindowHandle, WindowEntry> windows_;
  ui::WindowHandle nextWindow_ = 0x10010;
  std::map<const ui::Form*, bool> topmost_;

  std::vector<MessageBoxRecord> boxes_;
  std::vector<FormEvent> formEvents_;
  std::vector<std::string> modalLeftOpen_;
  std::vector<BrowseRecord> browses_;
  std::vector<ui::WindowHandle> broughtToFront_;
  std::vector<TopmostChange> topmostChanges_;
};

}  // namespace stow::headless
