#pragma once
// The UI toolkit: message boxes, showing and unloading forms, the folder browser,
// window lookup and topmost placement. Two toolkits implement it: headless (tests
// script the user and read what was shown) and the terminal one of the host program.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/forms.h"

namespace stow::ui {

// Message box buttons and icons, or-ed together.
enum MsgBoxStyle : int {
  vbOKOnly = 0,
  vbOKCancel = 1,
  vbYesNo = 4,
  vbCritical = 16,
  vbQuestion = 32,
  vbExclamation = 48,
  vbInformation = 64,
};

enum MsgBoxResult : int { vbOK = 1, vbCancel = 2, vbYes = 6, vbNo = 7 };

using WindowHandle = std::uint64_t;  // 0: no window

class Toolkit {
 public:
  virtual ~Toolkit() = default;
  // title empty: the application's own title. Returns the button pressed.
  virtual int MsgBox(const std::string& prompt, int style, const std::string& title) = 0;
  // Called by Form::Show after the form was loaded. A modal show returns when the
  // form is hidden or unloaded.
  virtual void ShowForm(Form& form, bool modal) = 0;
  virtual void HideForm(Form& form) = 0;

  // Loading and unloading keep the list of loaded forms (the Forms collection).
  // Load runs the form's OnLoad; Unload runs OnUnload and honours its cancel.
  void LoadForm(Form& form);
  bool UnloadForm(Form& form);
  // A form destroyed while loaded leaves the list without its events.
  void Forget(Form& form);
  // The loaded forms, first loaded first.
  std::vector<Form*> Forms() const { return forms_; }
  virtual void SetTopmost(Form& form, bool topmost) = 0;
  virtual bool IsTopmost(const Form& form) = 0;
  // The folder browser; empty when cancelled.
  virtual std::string BrowseForFolder(WindowHandle owner, const std::string& title) = 0;
  // A top-level window by class and caption; 0 when none.
  virtual WindowHandle FindWindow(const std::string& className, const std::string& caption) = 0;
  virtual void BringToFront(WindowHandle window) = 0;

 private:
  std::vector<Form*> forms_;
};

}  // namespace stow::ui
