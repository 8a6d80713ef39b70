#include "monitoring/monitoring.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "commands/commandRunner.h"
#include "engine/deleteItem.h"
#include "engine/processEmail.h"
#include "platform/collection.h"
#include "platform/com_error.h"
#include "platform/services.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/modOutlookHelpers.h"

namespace stow {

using modGlobal::colMonitoredFolders;
using modGlobal::objSettings;
using modGlobal::oMonitoredSentItems;

namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// Plain mail only: signed, encrypted, reports, invitations and posts have longer or
// other classes.
bool IsPlainMail(const std::shared_ptr<om::Item>& item) {
  return Upper(Required(item).MessageClass()) == "IPM.NOTE";
}

std::shared_ptr<om::Folder> Resolve(const std::string& entry) {
  return ValueOr(std::shared_ptr<om::Folder>(),
                 [&] { return modOutlookCode::GetFolderFromPath(entry, false); });
}

void Yield() {
  if (auto* loop = platform::Platform().loop) loop->DoEvents();
}

}  // namespace

void cMonitoredFolder::set_ouiMailItems(std::shared_ptr<om::Items> items) {
  onItemAdd_.Disconnect();
  items_ = std::move(items);
  if (!items_) return;
  onItemAdd_ = items_->ItemAdd().Connect([weak = weak_from_this()](std::shared_ptr<om::Item> item) {
    if (auto self = weak.lock()) self->ouiMailItems_ItemAdd(item);
  });
}

void cMonitoredFolder::ouiMailItems_ItemAdd(const std::shared_ptr<om::Item>& Item) {
  auto self = shared_from_this();
  Trap("MonitorOpenFolder.Items.Add", [&] {
    if (IsPlainMail(Item)) ProcessEmail(Item, true, "", false);
  });
}

void cMonitoredSentItemsFolder::set_ouiSentItems(std::shared_ptr<om::Items> items) {
  onItemAdd_.Disconnect();
  items_ = std::move(items);
  if (!items_) return;
  onItemAdd_ = items_->ItemAdd().Connect([weak = weak_from_this()](std::shared_ptr<om::Item> item) {
    if (auto self = weak.lock()) self->ouiSentItems_ItemAdd(item);
  });
}

void cMonitoredSentItemsFolder::ouiSentItems_ItemAdd(const std::shared_ptr<om::Item>& Item) {
  auto self = shared_from_this();
  Trap("cMonitoredSentItemsFolder.Items.Add", [&] {
    if (!objSettings) return;
    if (!IsPlainMail(Item)) return;
    switch (objSettings->SentItemsOption) {
      case 0:
        ProcessEmail(Item, true, "", false);
        break;
      case 1:
        subDeleteAttachments(Item);
        break;
      default:
        break;
    }
  });
}

void subMonitorMailFolders(bool showFolderMessage) {
  Trap("mMain.subMonitorMailFolders", [&] {
    if (modGlobal::blnNoMonitors) return;
    colMonitoredFolders = std::make_shared<platform::KeyedCollection<cMonitoredFolder>>();
    auto folders = Required(objSettings).EmailFolders();
    if (Required(folders).Count() < 1) return;
    for (const std::string& entry : folders->Items()) {
      if (auto folder = Resolve(entry)) SetupFolderMonitoring(folder);
    }
    // The sweep may have let the settings go (the host quitting while it yields).
    if (objSettings && objSettings->StartUpItemMonitoredFolders != 0) {
      ProcessExistingItemsInMonitoredFolder(showFolderMessage);
    }
  });
}

bool SetupFolderMonitoring(const std::shared_ptr<om::Folder>& folder) {
  return Trap("mMain.SetupFolderMonitoring", false, [&] {
    if (!folder) return false;
    std::string key = folder->FolderPath();
    auto monitor = std::make_shared<cMonitoredFolder>();
    monitor->set_ouiMailItems(folder->Items());
    if (!colMonitoredFolders) {
      colMonitoredFolders = std::make_shared<platform::KeyedCollection<cMonitoredFolder>>();
    }
    std::int32_t failed = IgnoreErrors([&] { colMonitoredFolders->Add(monitor, key); });
    if (failed == errnum::kKeyAlreadyInCollection) return false;
    return true;
  });
}

void ProcessExistingItemsInMonitoredFolder(bool showFolderMessage) {
  Trap("mMain.ProcessExistingItemsInMonitoredFolder", [&] {
    auto folders = Required(objSettings).EmailFolders();
    if (Required(folders).Count() < 1) return;
    for (const std::string& entry : folders->Items()) {
      Yield();
      if (auto folder = Resolve(entry)) {
        StripAttachmentsFromAllItemsInFolder(folder, true, showFolderMessage);
      }
    }
  });
}

void MonitorSentItemsFolder(bool showFolderMessage) {
  Trap("mMain.MonitorSentItemsFolder", [&] {
    if (modGlobal::blnNoMonitors) return;
    oMonitoredSentItems.reset();
    std::shared_ptr<om::Folder> folder;
    IgnoreErrors([&] {
      auto nameSpace = Required(modGlobal::objOutlook).GetNamespace("MAPI");
      folder = Required(nameSpace).GetDefaultFolder(om::olFolderSentMail);
    });
    if (!folder) return;
    if (Required(objSettings).StartUpSentItems != 0) {
      if (objSettings->SentItemsOption != 0) {
        RemoveAttachmentsFromAllItemsInFolder(folder, true);
      } else {
        StripAttachmentsFromAllItemsInFolder(folder, true, showFolderMessage);
      }
    }
    auto monitor = std::make_shared<cMonitoredSentItemsFolder>();
    oMonitoredSentItems = monitor;
    monitor->set_ouiSentItems(folder->Items());
  });
}

}  // namespace stow
