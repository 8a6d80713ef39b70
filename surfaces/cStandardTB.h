#pragma once
// The command bar "Stowbright" of an explorer showing a mail or post folder, or of
// an inspector reading a stored mail or post: every command of the add-in as a
// button (folder-wide commands, settings and help only in explorers). Hosts with an
// explorer ribbon get the bar hidden; it is still built, because building it works
// out the attachment folder of the host folder on screen, which the ribbon shows.
// The bar's position is kept between runs (modLocalSettings).

#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/object_model.h"
#include "platform/office.h"

namespace stow {

class cStandardTB : public std::enable_shared_from_this<cStandardTB> {
 public:
  // Takes the running host as ouaMonitorApp.
  cStandardTB();
  // Removes the bar.
  ~cStandardTB();

  // The bar built by subAddButtons.
  std::shared_ptr<office::CommandBar> objExplorerToolbar;
  // The attachment folder stored for the current host folder; empty when none.
  std::string UniqueAttachmentFolderPath;

  std::shared_ptr<om::Inspector> oueCurrInspector() const { return inspector_; }
  void set_oueCurrInspector(std::shared_ptr<om::Inspector> inspector);
  std::shared_ptr<om::Explorer> oueCurrExplorer() const { return explorer_; }
  void set_oueCurrExplorer(std::shared_ptr<om::Explorer> explorer);
  // The host; its Quit removes the bar and releases the add-in's objects.
  std::shared_ptr<om::Application> ouaMonitorApp;

  // Builds the bar in the explorer's window (or else the inspector's).
  void subAddButtons();
  // Deletes the bar and its controls (and bars of the same name left by an earlier
  // run), and lets go of the windows and the host.
  void subRemoveButtons();
  // True between subAddButtons on a window and subRemoveButtons.
  bool Built() const { return built_; }

 private:
  std::shared_ptr<office::CommandBarButton> AddButton(office::CommandBarControls& controls,
                                                      const std::string& caption, int style,
                                                      int faceId, const std::string& tooltip,
                                                      bool beginGroup, const char* label,
                                                      void (cStandardTB::*handler)());
  std::shared_ptr<office::CommandBarPopup> AddPopup(const std::string& caption);
  void GetSeparateFolderButtonCaption(std::string& caption, std::string& tooltip);

  void cmdSetSeparateFileFolder_Click();
  void cmdStripAttachments_Click();
  void cmdReInstateAttachments_Click();
  void cmdRemoveLinks_Click();
  void cmdDeleteItems_Click();
  void cmdStripFolder_Click();
  void cmdReInstateFolder_Click();
  void cmdCopyAttachmentsToFolder_Click();
  void cmdDetachToACustomFolder_Click();
  void cmdSettingsFolders_Click();
  void cmdSettingsAttachments_Click();
  void cmdSettingsExtension_Click();
  void cmdHelpTopics_Click();
  void cmdVideoTour_Click();
  void cmdProductPage_Click();
  void cmdAbout_Click();

  void oueCurrExplorer_Close();
  void oueCurrInspector_Close();
  void ouaMonitorApp_Quit();

  std::shared_ptr<om::Inspector> inspector_;
  std::shared_ptr<om::Explorer> explorer_;
  // The bar last built, shared with the explorer's Close handler so that the
  // position is saved even when the close releases this object first.
  std::shared_ptr<std::shared_ptr<office::CommandBar>> lastBar_ =
      std::make_shared<std::shared_ptr<office::CommandBar>>();

  std::shared_ptr<office::CommandBarButton> titleButton_;
  std::shared_ptr<office::CommandBarButton> cmdSetSeparateFileFolder_;
  std::vector<std::shared_ptr<office::CommandBarButton>> buttons_;
  std::vector<std::shared_ptr<office::CommandBarPopup>> popups_;
  std::vector<Connection> clicks_;
  Connection onInspectorClose_, onExplorerClose_, onQuit_;
  bool built_ = false;
};

namespace modLocalSettings {
// Stores the bar's Top, Left, Position and RowIndex ("MainTBTop", "MainTBLeft",
// "MainTBPosition", "MainTBRowIndex"); errors ignored.
void subWriteRegToolbar(office::CommandBar& bar);
// Applies the stored Position, RowIndex, Top and Left; a value missing or not a
// number leaves that property as it was.
void subReadRegToolbar(office::CommandBar& bar);
}  // namespace modLocalSettings

}  // namespace stow
