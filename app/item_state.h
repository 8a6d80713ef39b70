#pragma once
// What the host program looks at in an item before and after a command, to tell the
// user what changed and to decide whether the command did what was asked.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/object_model.h"

namespace stow::app {

struct SavedFile {
  std::string path;
  std::string name;
};

struct ItemState {
  bool gone = false;  // deleted, moved out of its folder, or unreadable
  std::string subject;
  bool processed = false;
  int visibleAttachments = 0;
  // Attachments a detach would still take out under the current settings; -1 unknown.
  int detachableAttachments = -1;
  bool hasLinkBlock = false;
  std::vector<SavedFile> records;
};

// Reads the state of item; folderPath is the folder it is expected in.
ItemState ReadState(const std::shared_ptr<om::Item>& item, const std::string& folderPath);

// The records of the add-in's record text: path TAB name TAB flag, lines joined by CR LF.
std::vector<SavedFile> ParseRecords(const std::string& text);

}  // namespace stow::app
