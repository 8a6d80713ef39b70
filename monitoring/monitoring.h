#pragma once
// Detaching new mail without a command: one item-added listener per monitored folder
// (the EmailFolders setting) and one for Sent Items (by SentItemsOption), plus the
// sweeps over the items already there when the listeners are set up.

#include <memory>

#include "platform/event.h"
#include "platform/object_model.h"

namespace stow {

// Listens to one monitored folder's items.
class cMonitoredFolder : public std::enable_shared_from_this<cMonitoredFolder> {
 public:
  std::shared_ptr<om::Items> ouiMailItems() const { return items_; }
  void set_ouiMailItems(std::shared_ptr<om::Items> items);

 private:
  void ouiMailItems_ItemAdd(const std::shared_ptr<om::Item>& Item);
  std::shared_ptr<om::Items> items_;
  Connection onItemAdd_;
};

// Listens to the items of Sent Items.
class cMonitoredSentItemsFolder : public std::enable_shared_from_this<cMonitoredSentItemsFolder> {
 public:
  std::shared_ptr<om::Items> ouiSentItems() const { return items_; }
  void set_ouiSentItems(std::shared_ptr<om::Items> items);

 private:
  void ouiSentItems_ItemAdd(const std::shared_ptr<om::Item>& Item);
  std::shared_ptr<om::Items> items_;
  Connection onItemAdd_;
};

// Replaces every folder listener by one per resolvable EmailFolders entry, then runs
// the folder sweep when StartUpItemMonitoredFolders is set.
void subMonitorMailFolders(bool showFolderMessage);

// Adds a listener for folder; false for no folder or a folder already listened to.
bool SetupFolderMonitoring(const std::shared_ptr<om::Folder>& folder);

// Detaches the unprocessed items of every monitored folder, one folder after another.
void ProcessExistingItemsInMonitoredFolder(bool showFolderMessage);

// Runs the Sent Items sweep when StartUpSentItems is set, then (re)creates the Sent
// Items listener.
void MonitorSentItemsFolder(bool showFolderMessage);

}  // namespace stow
