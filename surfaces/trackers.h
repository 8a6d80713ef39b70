#pragma once
// Following the host's windows: one cExplorersEvent per process wraps every explorer
// window in a cExplorer (folder switches, close, host quit), and one cInspectors
// gives read and compose inspectors their command bars.
//
// Event handlers hold only weak references to their sink, so releasing a tracker from
// inside one of its own events (the last explorer closing, the host quitting) is safe.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/collection.h"
#include "platform/event.h"
#include "platform/object_model.h"

namespace stow {

class cStandardTB;
class cAttachFilesTB;

class cExplorer : public std::enable_shared_from_this<cExplorer> {
 public:
  ~cExplorer();

  // This wrapper's key in colExplorers.
  std::string strRemoveTag;

  std::shared_ptr<om::Explorer> oueCurrExplorer() const { return explorer_; }
  void set_oueCurrExplorer(std::shared_ptr<om::Explorer> explorer);
  std::shared_ptr<om::Application> ouaMonitorApp() const { return app_; }
  void set_ouaMonitorApp(std::shared_ptr<om::Application> app);

  // Rebuilds the command bar for the active explorer's folder and refreshes
  // strCurrentAttachmentFolder.
  void subTrackRequiredFolder();

  // The explorer's command bar, nothing for a folder that is not of mail or posts.
  std::shared_ptr<cStandardTB> CommandBar() const { return toolbar_; }

 private:
  void oueCurrExplorer_FolderSwitch();
  void oueCurrExplorer_Close();
  void ouaMonitorApp_Quit();

  std::shared_ptr<om::Explorer> explorer_;
  std::shared_ptr<om::Application> app_;
  std::shared_ptr<cStandardTB> toolbar_;
  Connection onFolderSwitch_, onClose_, onQuit_;
};

class cExplorersEvent : public std::enable_shared_from_this<cExplorersEvent> {
 public:
  // Also creates objInspectors (listening to the host's inspectors) and an empty
  // colExplorers.
  static std::shared_ptr<cExplorersEvent> Create();
  ~cExplorersEvent();

  // The explorer the next LoadHelplarkMenu wraps.
  std::shared_ptr<om::Explorer> oueCurrExplorer;
  std::shared_ptr<om::Explorers> oExplorers() const { return explorers_; }
  void set_oExplorers(std::shared_ptr<om::Explorers> explorers);

  // Wraps oueCurrExplorer in a new cExplorer kept in colExplorers.
  void LoadHelplarkMenu();

  // The key a new wrapper gets: the host's explorer count followed by "EXPLORER",
  // moved on to the next free number when an earlier wrapper still holds it.
  static std::string NextExplorerKey(std::int64_t explorerCount);

 private:
  cExplorersEvent() = default;
  void oExplorers_NewExplorer(const std::shared_ptr<om::Explorer>& explorer);

  std::shared_ptr<om::Explorers> explorers_;
  Connection onNewExplorer_;
};

class cInspectors : public std::enable_shared_from_this<cInspectors> {
 public:
  cInspectors();
  ~cInspectors();

  // One bar per open read inspector, keyed by the item's EntryID.
  std::shared_ptr<platform::KeyedCollection<cStandardTB>> colInspectorsTB;
  // One bar per open reply or forward, keyed by the decimal text of the bar's ID.
  std::shared_ptr<platform::KeyedCollection<cAttachFilesTB>> colInspectorsComposeTB;

  std::shared_ptr<om::Inspectors> ouisInspectors() const { return inspectors_; }
  void set_ouisInspectors(std::shared_ptr<om::Inspectors> inspectors);

 private:
  void ouisInspectors_NewInspector(const std::shared_ptr<om::Inspector>& inspector);

  std::shared_ptr<om::Inspectors> inspectors_;
  Connection onNewInspector_;
};

}  // namespace stow
