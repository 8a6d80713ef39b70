#pragma once
// The UI toolkit: message boxes, showing and unloading forms, the folder browser,
// window lookup and topmost placement. Two toolkits implement it: headless (tests
// script the user and read what was shown) and the terminal one of the host program
// (app/terminal_toolkit.h).

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

// Everything runs on the message loop's thread; no member raises unless it says so
// (a form's own event handlers may raise through ShowForm, LoadForm and UnloadForm).
class Toolkit {
 public:
  virtual ~Toolkit() = default;
  // Shows a message box and returns the button pressed: vbOK for an OK-only box; for
  // vbOKCancel vbOK or vbCancel; for vbYesNo vbYes or vbNo. A box that nobody can
  // answer answers Cancel or No, so that nothing is deleted by accident. title
  // empty: the application's own title.
  virtual int MsgBox(const std::string& prompt, int style, const std::string& title) = 0;
  // Called by Form::Show after the form was loaded. A modeless show returns at once
  // with the form visible; a modal one returns when the form is hidden or unloaded.
  virtual void ShowForm(Form& form, bool modal) = 0;
  // Takes a shown form off the screen; called by UnloadForm and Form::Hide. The
  // form stays loaded.
  virtual void HideForm(Form& form) = 0;

  // Loading and unloading keep the list of loaded forms (the Forms collection).
  // Load runs the form's OnLoad once (a loaded form is left alone).
  void LoadForm(Form& form);
  // Runs OnUnload and honours its cancel (false: the form stays loaded); otherwise
  // hides a visible form, takes it off the list and returns true. A form not loaded:
  // true at once.
  bool UnloadForm(Form& form);
  // A form destroyed while loaded leaves the list without its events.
  void Forget(Form& form);
  // The loaded forms, first loaded first.
  std::vector<Form*> Forms() const { return forms_; }
  // Keeps a loaded form above other windows, or lets it go; ignored for a form not
  // loaded.
  virtual void SetTopmost(Form& form, bool topmost) = 0;
  // Whether the form is loaded and kept on top; unloading ends it.
  virtual bool IsTopmost(const Form& form) = 0;
  // The folder browser; the chosen folder's path, empty when cancelled (also when
  // nobody can answer).
  virtual std::string BrowseForFolder(WindowHandle owner, const std::string& title) = 0;
  // A top-level window by class and caption, both compared exactly; 0 when none.
  virtual WindowHandle FindWindow(const std::string& className, const std::string& caption) = 0;
  // Raises a window FindWindow gave above the others; an unknown handle is ignored.
  virtual void BringToFront(WindowHandle window) = 0;

 private:
  std::vector<Form*> forms_;
};

}  // namespace stow::ui
