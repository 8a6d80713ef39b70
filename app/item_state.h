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
  bool hasLinkBlock = false;
  std::vector<SavedFile> records;
};

// Reads the state of item; folderPath is the folder it is expected in. Without
// content only what the header block holds is read (subject, mark, records): the
// link block stays false, and the message is not parsed.
ItemState ReadState(const std::shared_ptr<om::Item>& item, const std::string& folderPath,
                    bool withContent = true);

// The records of the add-in's record text: path TAB name TAB flag, lines joined by CR LF.
std::vector<SavedFile> ParseRecords(const std::string& text);

}  // namespace stow::app
