#pragma once
// Finding folders and items by what the user typed, and the commands that only read
// the store: folders, list, show.

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/object_model.h"

namespace stow::maildir {
class MimeStore;
}

namespace stow::app {

class Session;

struct FolderEntry {
  std::string shortName;   // "Inbox", "Inbox/Projects"
  std::string folderPath;  // "\\Personal Folders\Inbox\Projects"
  std::shared_ptr<om::Folder> folder;
};

// Every folder below the store, parents before their children.
std::vector<FolderEntry> AllFolders(const std::shared_ptr<om::Folder>& root);

// The folder named by its short name, its full host folder path, or (when only one
// folder has it) its own name; compared without regard to case. Raises AppError
// (exit 2) naming the folder when there is none.
FolderEntry ResolveFolder(Session& session, const std::string& name);

// Where the folder's messages live (its Maildir folder, its IMAP mailbox).
std::string FolderDir(maildir::MimeStore& store, const FolderEntry& folder);

// One item of a folder as `list` shows it.
struct ListedItem {
  std::shared_ptr<om::Item> item;
  std::string entryId;
  std::string path;            // its message file
  std::int64_t delivered = 0;  // Unix time
  std::string messageId;       // without <>
  std::string sender;          // the From name, else its address
};

// The items of a folder in the order `list` numbers them: by delivery time (kept in
// the file name across rewrites), then Message-ID, then entry id. A rewrite or a flag
// change does not move an item; only mail delivered or deleted meanwhile does.
std::vector<ListedItem> ListedItems(maildir::MimeStore& store, const FolderEntry& folder);

// The items named by number from `list`, entry id, mid:<Message-ID>, the path of a
// message file of the folder, or `all`; `-` reads such selectors from input (standard
// input), one a line. In the order given, duplicates removed. Raises AppError (exit 2)
// naming the first unknown item.
std::vector<std::shared_ptr<om::Item>> ResolveItems(maildir::MimeStore& store,
                                                    const FolderEntry& folder,
                                                    const std::vector<std::string>& specs,
                                                    std::istream& input = std::cin);

// The processed marker test, as every part of the add-in makes it.
bool CarriesProcessedMarker(const std::shared_ptr<om::Item>& item);

// The attachment folder the settings give a mail folder (per folder or the common
// one, by AttachmentFolderOption), "" when none; reads only.
std::string ConfiguredAttachmentFolder(const std::string& folderPath);

struct Options;
// init DIR: makes a new Maildir (no session: there is no store yet).
int RunInit(const Options& options);

int RunFolders(Session& session);
int RunList(Session& session);
int RunShow(Session& session);

}  // namespace stow::app
