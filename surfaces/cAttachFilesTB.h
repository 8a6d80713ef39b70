#pragma once
// The command bar "Stowbright Compose" of a reply or forward of a processed mail:
// "Attach Files" puts the saved files of the replied-to item back as attachments of
// the new mail, "Remove Links" only strips the link block. The bar carries the
// processed-attachment list of the replied-to item under a random key.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/object_model.h"
#include "platform/office.h"

namespace stow {

class cAttachFilesTB : public std::enable_shared_from_this<cAttachFilesTB> {
 public:
  ~cAttachFilesTB();

  // The bar built by subAddButtons.
  std::shared_ptr<office::CommandBar> objExplorerToolbar;
  // The record text of the replied-to or forwarded item; emptied once attached.
  std::string strAttachments;
  // Random key of this bar; its decimal text keys colInspectorsComposeTB.
  std::int32_t ID = 0;
  // Text of the compose item's ConversationIndex.
  std::string strConversationIndex;

  std::shared_ptr<om::Inspector> oueCurrInspector() const { return inspector_; }
  void set_oueCurrInspector(std::shared_ptr<om::Inspector> inspector);
  // Not set by the add-in; a bar given one removes itself when it closes.
  std::shared_ptr<om::Explorer> oueCurrExplorer() const { return explorer_; }
  void set_oueCurrExplorer(std::shared_ptr<om::Explorer> explorer);
  // Not set by the add-in; its Quit removes the bar and releases the add-in's objects.
  std::shared_ptr<om::Application> ouaMonitorApp;

  // A random number from 111111111 to 999999999, also stored in ID.
  std::int32_t GetRandomID();
  void subAddButtons();
  void subRemoveButtons();
  bool Built() const { return objExplorerToolbar != nullptr; }

 private:
  void cmdRemoveLinks_Click();
  void cmdAttachfiles_Click();
  void oueCurrInspector_Close();
  void oueCurrExplorer_Close();
  void ouaMonitorApp_Quit();

  std::shared_ptr<om::Inspector> inspector_;
  std::shared_ptr<om::Explorer> explorer_;
  std::shared_ptr<office::CommandBarButton> titleButton_;
  std::shared_ptr<office::CommandBarButton> cmdRemoveLinks_;
  std::shared_ptr<office::CommandBarButton> cmdAttachfiles_;
  Connection onInspectorClose_, onExplorerClose_, onQuit_, onRemoveLinks_, onAttachFiles_;
};

// The record text held by the first compose bar whose conversation index is key;
// empty when none matches.
std::string GetComposeAttachments(const std::string& key);
// Empties the record text of that bar.
void ClearComposeAttachments(const std::string& key);

}  // namespace stow
