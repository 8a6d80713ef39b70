#pragma once
// The central error handler and the trap helpers every reporting routine uses.
//
// A routine with a label runs its body under Trap: an exception (ComError, or any
// std::exception, turned into one) goes to HandleError with its description,
// number, line and source and the routine's label, and the routine returns its
// neutral value. Steps that may fail harmlessly use IgnoreErrors / ValueOr
// (platform/com_error.h) instead and never reach HandleError.
//
//   bool ok = Trap("mMain.ProcessEmail", false, [&] { ...; return true; });
//   Trap("Toolbar.AttachFiles", [&] { ... });
//   std::string s = Trap<std::string>("mMain.GetAttachmentName", "", [&] { ... });
//   try { ... } catch (...) { ReportCurrentError("Explorer.SwitchFolders"); }

#include <cstdint>
#include <string>
#include <utility>

#include "platform/com_error.h"

namespace stow::modErroHandling {

// Shows the error report form, at most once per run. `source` is the failing
// object's source (the report's "Source: " line). Never throws.
void HandleError(const std::string& description, std::int32_t number, int line,
                 const std::string& label, const std::string& source = "");

// Reports the exception in flight (call only inside a catch block).
void ReportCurrentError(const std::string& label);

// The six-line report: every line ended by "\r\n".
std::string BuildReportText(const std::string& hostVersion, int line, const std::string& label,
                            const std::string& source, std::int32_t number,
                            const std::string& description);

// Opens a new mail to the maker's error-report mailbox carrying the report, saved
// and displayed for the user to review and send. Every failure is ignored.
void SendErrorReport(const std::string& reportText);

// The add-in's own version: "major.minor.revision".
std::string GetAppVersion();

// Whether the report was shown during this run (modGlobal::blnErrorReportShown;
// clearing it lets the next HandleError show the report again).
bool ReportShown();

}  // namespace stow::modErroHandling

namespace stow {

// The object a late-bound call needs; raises 91 ("Object variable or With block
// variable not set") when there is none, as a call on Nothing does.
template <class P>
auto& Required(const P& object) {
  if (!object) {
    Raise(errnum::kObjectVariableNotSet, "Stowbright",
          "Object variable or With block variable not set");
  }
  return *object;
}

// Runs body; on any exception reports it under label and returns neutral.
template <class R, class F>
R Trap(const char* label, R neutral, F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    modErroHandling::ReportCurrentError(label);
    return neutral;
  }
}

// Runs body; on any exception reports it under label. Returns false when it failed.
template <class F>
bool Trap(const char* label, F&& body) {
  try {
    std::forward<F>(body)();
    return true;
  } catch (...) {
    modErroHandling::ReportCurrentError(label);
    return false;
  }
}

}  // namespace stow
