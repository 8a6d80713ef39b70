#include "app/dispatch.h"

#include <map>

#include "app/app_error.h"
#include "app/interrupt.h"
#include "app/session.h"
#include "host/RozozizeraRoreravo.h"
#include "platform/com_error.h"
#include "platform/office.h"

namespace stow::app {

namespace {

constexpr const char* kMainBar = "Stowbright";
constexpr const char* kComposeBar = "Stowbright Compose";

// Where a control sits on the command bars: the bar's name and the captions its
// button may carry (the attachment-folder button changes its caption once a folder is
// set).
struct BarButton {
  const char* bar;
  std::vector<std::string> captions;
};

const std::map<std::string, BarButton>& Table() {
  static const std::map<std::string, BarButton> table = [] {
    std::map<std::string, BarButton> t;
    // Ribbon buttons, their single-item and their multiple-items context menu entries
    // all run the same command as the one bar button.
    auto each = [&](const std::string& stem, const char* caption) {
      for (const char* suffix : {"", "Context", "ContextMulti"})
        t[stem + suffix] = {kMainBar, {caption}};
    };
    each("cmdStripAttachments", "Detach");
    each("cmdReInstateAttachments", "Re-Attach");
    each("cmdRemoveLinks", "Remove Links");
    each("cmdDeleteItems", "Delete");
    each("cmdCopyAttachmentsToFolder", "Copy attachments to a custom file folder");
    each("cmdDetachToACustomFolder", "Detach to a custom file Folder");
    t["cmdAttachmentFolder"] = {kMainBar,
                                {"Specify Attachment Folder...", "Change Attachment Folder..."}};
    t["cmdStripAttachmentsFolder"] = {kMainBar, {"Detach All"}};
    t["cmdReInstateAttachmentsFolder"] = {kMainBar, {"Re-Attach All"}};
    // The inspector's ribbon has commands of its own; its bar has the same buttons as
    // the explorer's, working on the item on screen.
    t["cmdDetach"] = {kMainBar, {"Detach"}};
    t["cmdReAttach"] = {kMainBar, {"Re-Attach"}};
    t["cmdDelete"] = {kMainBar, {"Delete"}};
    t["cmdSettingsFolders"] = {kMainBar, {"Monitored Folders"}};
    t["cmdSettingsAttachments"] = {kMainBar, {"Attachment Options"}};
    t["cmdSettingsExtension"] = {kMainBar, {"Extensions"}};
    t["cmdHelpTopics"] = {kMainBar, {"Help Topics"}};
    t["cmdVideoTour"] = {kMainBar, {"Watch Video Demonstration"}};
    t["cmdProductPage"] = {kMainBar, {"Visit product page"}};
    t["cmdAbout"] = {kMainBar, {"About Stowbright"}};
    t["cmdReAttachCompose"] = {kComposeBar, {"Attach Files"}};
    t["cmdRemoveLinksCompose"] = {kComposeBar, {"Remove Links"}};
    return t;
  }();
  return table;
}

std::shared_ptr<office::CommandBars> ActiveWindowBars(Session& session, std::string& where) {
  auto window =
      ValueOr(std::shared_ptr<om::Window>(), [&] { return session.host().ActiveWindow(); });
  if (auto inspector = std::dynamic_pointer_cast<om::Inspector>(window)) {
    where = "the inspector";
    return inspector->CommandBars();
  }
  auto explorer = std::dynamic_pointer_cast<om::Explorer>(window);
  if (!explorer)
    explorer =
        ValueOr(std::shared_ptr<om::Explorer>(), [&] { return session.host().ActiveExplorer(); });
  if (!explorer) return nullptr;
  where = "the explorer";
  return explorer->CommandBars();
}

// Versions 11 and 12: the user clicks the button on the add-in's bar in the window
// that has the focus.
void ClickBarButton(Session& session, const std::string& controlId, const BarButton& button) {
  std::string where;
  auto bars = ActiveWindowBars(session, where);
  if (!bars) throw AppError(exitcode::kFailed, "no window of the host is open to run " + controlId);
  std::shared_ptr<office::CommandBar> bar;
  for (auto& b : bars->All())
    if (b->Name == button.bar && !b->Deleted()) {
      bar = b;
      break;
    }
  if (!bar)
    throw AppError(exitcode::kFailed, where + " has no command bar \"" + std::string(button.bar) +
                                          "\" to run " + controlId + " from");
  for (auto& row : office::Flatten(*bar)) {
    auto& control = row.control;
    for (const auto& caption : button.captions) {
      if (control->Caption != caption) continue;
      if (!control->Enabled || !control->Visible)
        throw AppError(exitcode::kFailed,
                       "the button \"" + caption + "\" of " + where + "'s bar is not enabled");
      control->Execute();
      return;
    }
  }
  throw AppError(exitcode::kFailed, "the command bar \"" + std::string(button.bar) + "\" of " +
                                        where + " has no button \"" + button.captions.front() +
                                        "\" (" + controlId + ")");
}

// Version 14: the ribbon calls the add-in's one dispatcher with the control.
void RibbonAction(Session& session, const std::string& controlId) {
  auto& addin = session.addin();
  office::RibbonControl control(controlId);
  // The ribbon hides the attachment-folder button while every mail folder shares the
  // global folder; nobody can click a hidden button.
  if (controlId == "cmdAttachmentFolder" && !addin.GetAttachmentFolderVisible(control))
    throw AppError(exitcode::kFailed,
                   "the ribbon does not show \"cmdAttachmentFolder\": every mail folder uses the "
                   "global attachment folder (settings attachments --set "
                   "AttachmentFolderOption=0 gives each mail folder its own)");
  addin.SubExecuteAction(control);
}

}  // namespace

bool KnownControl(const std::string& controlId) {
  return Table().count(controlId) > 0;
}

std::string InspectorOnlyUse(const std::string& controlId) {
  static const std::map<std::string, std::string> uses = {
      {"cmdDetach", "`stowbright detach --open FOLDER ITEM`"},
      {"cmdReAttach", "`stowbright reattach --open FOLDER ITEM`"},
      {"cmdDelete", "`stowbright delete --open FOLDER ITEM`"},
      {"cmdReAttachCompose", "`stowbright reply|forward --attach-files FOLDER ITEM`"},
      {"cmdRemoveLinksCompose", "`stowbright reply|forward --remove-links FOLDER ITEM`"},
  };
  auto it = uses.find(controlId);
  return it == uses.end() ? std::string()
                          : "give --open with one ITEM, or use " + it->second + " instead";
}

std::vector<std::string> KnownControls() {
  std::vector<std::string> out;
  for (const auto& [id, button] : Table()) out.push_back(id);
  return out;
}

void ExecuteControl(Session& session, const std::string& controlId) {
  auto it = Table().find(controlId);
  if (it == Table().end())
    throw AppError(exitcode::kUsage, "unknown control id '" + controlId + "'");
  if (interrupt::Requested())
    throw AppError(exitcode::kInterrupted, "stopped by Ctrl-C before " + controlId);
  if (!session.Connected()) session.Connect();
  if (session.options().hostVersion >= 14)
    RibbonAction(session, controlId);
  else
    ClickBarButton(session, controlId, it->second);
}

}  // namespace stow::app
