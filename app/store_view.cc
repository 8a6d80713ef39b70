#include "app/store_view.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <tuple>

#include "app/app_error.h"
#include "app/session.h"
#include "engine/processEmail.h"
#include "platform/com_error.h"
#include "platform/dictionary.h"
#include "platform/maildir/fast_scan.h"
#include "platform/maildir/maildir_files.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/maildir_store.h"
#include "platform/maildir/mime.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/modRegistryEntry.h"

namespace stow::app {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string Fold(const std::string& text) {
  return platform::Dictionary::FoldKey(text, platform::Dictionary::kTextCompare);
}

std::string ShortNameOf(const std::string& folderPath) {
  // "\\Store\Inbox\Projects" -> "Inbox/Projects"
  std::string rest = folderPath;
  if (rest.rfind("\\\\", 0) == 0) rest = rest.substr(2);
  auto slash = rest.find('\\');
  rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
  std::replace(rest.begin(), rest.end(), '\\', '/');
  return rest;
}

void Walk(const std::shared_ptr<om::Folder>& folder, std::vector<FolderEntry>& out) {
  auto children = folder->Folders();
  for (std::int64_t i = 1; i <= children->Count(); ++i) {
    auto child = children->Item(i);
    std::string path = child->FolderPath();
    out.push_back({ShortNameOf(path), path, child});
    Walk(child, out);
  }
}

std::string LeafName(const std::string& shortName) {
  auto slash = shortName.rfind('/');
  return slash == std::string::npos ? shortName : shortName.substr(slash + 1);
}

// RFC 3339 with the local offset: a local time alone names no instant.
std::string DateText(const DateTime& t) {
  if (!t.Valid() || t == DateTime::None()) return "";
  std::time_t when = static_cast<std::time_t>(t.ToUnix());
  std::tm tm{};
  if (!localtime_r(&when, &tm)) return "";
  int offset = static_cast<int>(tm.tm_gmtoff / 60);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+',
                std::abs(offset) / 60, std::abs(offset) % 60);
  return buf;
}

std::string RecordsText(const std::shared_ptr<om::Item>& item) {
  return ValueOr(std::string(), [&] {
    auto prop = item->UserProperties()->Find(kRecordsProperty);
    return prop ? ToText(prop->GetValue()) : std::string();
  });
}

std::int64_t AttachmentCount(const std::shared_ptr<om::Item>& item) {
  return ValueOr<std::int64_t>(0, [&] { return item->Attachments()->Count(); });
}

// One line of a table cell: tabs and line breaks would break the columns.
std::string Cell(std::string text) {
  for (char& c : text)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return text;
}

struct HeaderFields {
  std::string messageId;
  std::string sender;
};

// The sender as a list shows it: the name of the first From address, else the address.
std::string SenderOf(const std::string& rawFrom) {
  std::string from = maildir::mime::DecodeHeaderText(rawFrom);
  auto lt = from.find('<');
  std::string name = from.substr(0, lt);
  auto b = name.find_first_not_of(" \t\"");
  auto e = name.find_last_not_of(" \t\"");
  if (b != std::string::npos) return name.substr(b, e - b + 1);
  if (lt == std::string::npos) return from;
  return from.substr(lt + 1, from.find('>', lt) - lt - 1);
}

// Message-ID and sender of a message from its header block alone (where names it).
HeaderFields ReadHeaderFields(const maildir::scan::HeaderText& header, const std::string& where) {
  HeaderFields out;
  if (auto block = maildir::scan::SimpleHeaderBlockOf(header, {"Message-ID", "From"})) {
    out.messageId = block->MessageId();
    auto from = block->Values("From");
    if (!from.empty()) out.sender = SenderOf(from.front());
    return out;
  }
  // A header block with anything unusual in it is GMime's to read.
  IgnoreErrors([&] {
    auto doc = maildir::mime::Document::ParseHeaders(header.text, where);
    out.messageId = maildir::mime::MessageId(doc->message());
    out.sender = SenderOf(maildir::mime::RawHeader(doc->message(), "From"));
  });
  return out;
}

// At most width bytes of text, not cutting a UTF-8 character.
std::string Clip(std::string text, std::size_t width) {
  if (text.size() <= width) return text;
  std::size_t end = width;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

std::vector<FolderEntry> AllFolders(const std::shared_ptr<om::Folder>& root) {
  std::vector<FolderEntry> out;
  Walk(root, out);
  return out;
}

FolderEntry ResolveFolder(Session& session, const std::string& name) {
  std::string wanted = name;
  while (wanted.size() > 1 && (wanted.back() == '/' || wanted.back() == '\\')) wanted.pop_back();
  std::string key = Fold(wanted);
  auto folders = AllFolders(session.store().Root());
  for (const auto& f : folders)
    if (Fold(f.shortName) == key || Fold(f.folderPath) == key) return f;
  const FolderEntry* byLeaf = nullptr;
  int matches = 0;
  for (const auto& f : folders) {
    if (Fold(LeafName(f.shortName)) == key) {
      byLeaf = &f;
      ++matches;
    }
  }
  if (matches == 1) return *byLeaf;
  if (matches > 1)
    throw AppError(exitcode::kUsage,
                   "folder '" + name + "' is ambiguous: give its path (see `stowbright folders`)");
  throw AppError(exitcode::kUsage, "no folder '" + name + "' in " + session.store().Location() +
                                       " (see `stowbright folders`)");
}

std::string FolderDir(maildir::MimeStore& store, const FolderEntry& folder) {
  std::vector<std::string> names;
  const std::string& rest = folder.shortName;
  for (std::size_t start = 0;;) {
    auto slash = rest.find('/', start);
    names.push_back(
        rest.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return store.RefFor(names).dir;
}

std::vector<ListedItem> ListedItems(maildir::MimeStore& store, const FolderEntry& folder) {
  std::string dir = FolderDir(store, folder);
  std::map<std::string, std::string> paths;
  // Only a Maildir has message files to name.
  if (dynamic_cast<maildir::MaildirStore*>(&store))
    for (const auto& e : maildir::Listing(dir)) paths.emplace(e.unique, e.PathIn(dir));
  std::vector<ListedItem> out;
  auto walk = folder.folder->Items()->Enumerate();
  while (auto item = walk->Next()) {
    ListedItem l;
    l.item = item;
    l.entryId = ValueOr(std::string(), [&] { return item->EntryID(); });
    if (auto it = paths.find(l.entryId); it != paths.end()) l.path = it->second;
    l.delivered = maildir::DeliveryTimeOfUnique(l.entryId).value_or(0);
    if (!l.delivered) {
      DateTime t = ValueOr(DateTime::None(), [&] { return item->ReceivedTime(); });
      if (t.Valid() && !(t == DateTime::None())) l.delivered = t.ToUnix();
    }
    std::optional<maildir::scan::HeaderText> text;
    if (int fd = l.path.empty() ? -1 : ::open(l.path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
      text = maildir::scan::ReadHeaderText(fd);
      ::close(fd);
    } else if (l.path.empty()) {
      text = store.KnownHeader(dir, l.entryId);
    }
    auto header =
        text ? ReadHeaderFields(*text, l.path.empty() ? l.entryId : l.path) : HeaderFields{};
    l.messageId = header.messageId;
    l.sender = header.sender;
    out.push_back(std::move(l));
  }
  std::sort(out.begin(), out.end(), [](const ListedItem& a, const ListedItem& b) {
    return std::tie(a.delivered, a.messageId, a.entryId) <
           std::tie(b.delivered, b.messageId, b.entryId);
  });
  return out;
}

std::vector<std::shared_ptr<om::Item>> ResolveItems(maildir::MimeStore& store,
                                                    const FolderEntry& folder,
                                                    const std::vector<std::string>& given,
                                                    std::istream& input) {
  std::vector<std::string> selectors;
  for (const auto& s : given) {
    if (s != "-") {
      selectors.push_back(s);
      continue;
    }
    // `notmuch search --output=files ... | stowbright detach Inbox -`
    std::string line;
    while (std::getline(input, line)) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (!line.empty()) selectors.push_back(line);
    }
    input.clear();
  }
  // Numbers and Message-IDs need every item's header; entry ids and files do not.
  std::optional<std::vector<ListedItem>> listed;
  auto all = [&]() -> const std::vector<ListedItem>& {
    if (!listed) listed = ListedItems(store, folder);
    return *listed;
  };
  std::optional<std::map<std::string, ListedItem>> byId;
  auto find = [&](const std::string& entryId) -> const ListedItem* {
    if (!byId) {
      byId.emplace();
      auto walk = folder.folder->Items()->Enumerate();
      while (auto item = walk->Next()) {
        std::string id = ValueOr(std::string(), [&] { return item->EntryID(); });
        auto& l = (*byId)[id];
        l.item = item;
        l.entryId = id;
      }
    }
    auto it = byId->find(entryId);
    return it == byId->end() ? nullptr : &it->second;
  };
  std::string dir = FolderDir(store, folder);
  std::vector<std::shared_ptr<om::Item>> out;
  std::set<std::string> seen;
  auto add = [&](const ListedItem& l) {
    if (seen.insert(l.entryId).second) out.push_back(l.item);
  };
  for (const auto& selector : selectors) {
    std::size_t before = out.size();
    bool found = false;
    if (Fold(selector) == "all") {
      for (const auto& l : all()) add(l);
      continue;
    }
    if (auto n = ParseInteger(selector);
        n && selector.find_first_not_of("0123456789") == std::string::npos) {
      if (*n >= 1 && *n <= static_cast<std::int64_t>(all().size())) {
        add(all()[static_cast<std::size_t>(*n - 1)]);
        found = true;
      }
    } else if (selector.rfind("mid:", 0) == 0 || selector.rfind("id:", 0) == 0) {
      std::string id = selector.substr(selector.find(':') + 1);
      if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
      for (const auto& l : all())
        if (!id.empty() && l.messageId == id) {
          add(l);
          found = true;
        }
    } else {
      // A message file: its unique name is the entry id, wherever a flag change or
      // another program moved it between cur/ and new/ of this folder.
      std::string unique = maildir::MaildirFileName::Parse(selector).unique;
      if (selector.find('/') != std::string::npos) {
        fs::path p = fs::absolute(selector).lexically_normal();
        std::error_code ec;
        fs::path parent = fs::weakly_canonical(p.parent_path().parent_path(), ec);
        fs::path own = fs::weakly_canonical(dir, ec);
        unique = parent == own ? maildir::MaildirFileName::Parse(p.filename().string()).unique
                               : std::string();
      }
      if (const ListedItem* l = unique.empty() ? nullptr : find(unique)) {
        add(*l);
        found = true;
      }
    }
    if (!found && out.size() == before)
      throw AppError(exitcode::kUsage, "no item '" + selector + "' in folder '" + folder.shortName +
                                           "' (see `stowbright list " + folder.shortName + "`)");
  }
  return out;
}

bool CarriesProcessedMarker(const std::shared_ptr<om::Item>& item) {
  std::string billing = ValueOr(std::string(), [&] { return item->BillingInformation(); });
  std::transform(billing.begin(), billing.end(), billing.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return billing == kProcessedMarker;
}

std::string ConfiguredAttachmentFolder(const std::string& folderPath) {
  return ValueOr(std::string(), [&] {
    std::string option =
        modRegistryEntry::ReadRegistryValue(kRegistryAppName, "", "AttachmentFolderOption", "");
    if (option == "0") return ReadAttachmentFolderPathFromRegistry(folderPath);
    if (option == "1")
      return modRegistryEntry::ReadRegistryValue(kRegistryAppName, "", "AttachmentFolderPath", "");
    return std::string();
  });
}

int RunInit(const Options& options) {
  try {
    bool made = maildir::MaildirStore::Create(options.dir);
    std::cout << (made ? "Made a new Maildir at " : "There is a Maildir at ") << options.dir
              << (made ? "" : " already") << "\n";
    return exitcode::kOk;
  } catch (const ComError& e) {
    throw AppError(exitcode::kFailed, e.Description());
  }
}

int RunFolders(Session& session) {
  auto folders = AllFolders(session.store().Root());
  if (session.options().json) {
    json out = json::array();
    for (const auto& f : folders) {
      out.push_back(
          {{"name", f.shortName},
           {"folder_path", f.folderPath},
           {"item_count", ValueOr<std::int64_t>(0, [&] { return f.folder->Items()->Count(); })},
           {"default_item_type", ValueOr(0, [&] { return f.folder->DefaultItemType(); })},
           {"attachment_folder", ConfiguredAttachmentFolder(f.folderPath)}});
    }
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return exitcode::kOk;
  }
  std::size_t width = 6;
  for (const auto& f : folders) width = std::max(width, f.shortName.size());
  for (const auto& f : folders) {
    std::int64_t count = ValueOr<std::int64_t>(0, [&] { return f.folder->Items()->Count(); });
    std::string files = ConfiguredAttachmentFolder(f.folderPath);
    std::printf("%-*s  %6lld  %s  -> %s\n", static_cast<int>(width), f.shortName.c_str(),
                static_cast<long long>(count), f.folderPath.c_str(),
                files.empty() ? "(no attachment folder)" : files.c_str());
  }
  return exitcode::kOk;
}

int RunList(Session& session) {
  auto folder = ResolveFolder(session, session.options().folder);
  json out = json::array();
  std::int64_t i = 0;
  for (const auto& l : ListedItems(session.store(), folder)) {
    ++i;
    const auto& item = l.item;
    std::string subject = ValueOr(std::string(), [&] { return item->Subject(); });
    std::string cls = ValueOr(std::string(), [&] { return item->MessageClass(); });
    std::string date = l.delivered ? DateText(DateTime::FromUnix(l.delivered)) : "";
    std::int64_t attachments = AttachmentCount(item);
    bool processed = CarriesProcessedMarker(item);
    if (session.options().json) {
      out.push_back({{"index", i},
                     {"entry_id", l.entryId},
                     {"message_id", l.messageId},
                     {"received_time", date},
                     {"sender", l.sender},
                     {"subject", subject},
                     {"message_class", cls},
                     {"attachment_count", attachments},
                     {"processed", processed}});
    } else {
      std::printf("%4lld  %-16.16s  %-24s  %2lld att  %-9s  %s  (%s)\n", static_cast<long long>(i),
                  date.c_str(), Clip(Cell(l.sender), 24).c_str(),
                  static_cast<long long>(attachments), processed ? "processed" : "-",
                  Cell(subject).c_str(), l.entryId.c_str());
    }
  }
  if (session.options().json)
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  return exitcode::kOk;
}

int RunShow(Session& session) {
  auto folder = ResolveFolder(session, session.options().folder);
  auto items = ResolveItems(session.store(), folder, session.options().items);
  if (items.size() != 1) throw AppError(exitcode::kUsage, "show takes exactly one item");
  auto item = items.front();
  json attachments = json::array();
  auto list = ValueOr(std::vector<std::shared_ptr<om::Attachment>>(),
                      [&] { return item->Attachments()->All(); });
  for (const auto& a : list) {
    Value cid = ValueOr(Value{}, [&] { return a->Field(om::PR_ATTACH_CONTENT_ID); });
    Value hidden = ValueOr(Value{}, [&] { return a->Field(om::PR_ATTACHMENT_HIDDEN); });
    attachments.push_back(
        {{"name", ValueOr(std::string(), [&] { return a->FileName(); })},
         {"size", ValueOr<std::int64_t>(0, [&] { return a->Size(); })},
         {"content_id",
          IsEmpty(cid) ? std::string() : ValueOr(std::string(), [&] { return ToText(cid); })},
         {"hidden", !IsEmpty(hidden) && ValueOr(false, [&] { return ToBool(hidden); })}});
  }
  json out = {
      {"folder", folder.shortName},
      {"entry_id", ValueOr(std::string(), [&] { return item->EntryID(); })},
      {"subject", ValueOr(std::string(), [&] { return item->Subject(); })},
      {"message_class", ValueOr(std::string(), [&] { return item->MessageClass(); })},
      {"received_time", DateText(ValueOr(DateTime::None(), [&] { return item->ReceivedTime(); }))},
      {"billing_information", ValueOr(std::string(), [&] { return item->BillingInformation(); })},
      {"processed", CarriesProcessedMarker(item)},
      {"processed_attachments", RecordsText(item)},
      {"attachments", attachments},
      {"html_body", ValueOr(std::string(), [&] { return item->HTMLBody(); })},
  };
  if (session.options().json) {
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return exitcode::kOk;
  }
  std::cout << "Entry id:      " << out["entry_id"].get<std::string>() << "\n"
            << "Subject:       " << out["subject"].get<std::string>() << "\n"
            << "Class:         " << out["message_class"].get<std::string>() << "\n"
            << "Received:      " << out["received_time"].get<std::string>() << "\n"
            << "Billing:       " << out["billing_information"].get<std::string>() << "\n"
            << "Processed:     " << (out["processed"].get<bool>() ? "yes" : "no") << "\n";
  std::string records = out["processed_attachments"];
  if (!records.empty()) {
    std::cout << "Detached files:\n";
    std::size_t start = 0;
    while (start < records.size()) {
      auto end = records.find("\r\n", start);
      std::string line =
          records.substr(start, end == std::string::npos ? std::string::npos : end - start);
      std::replace(line.begin(), line.end(), '\t', ' ');
      if (!line.empty()) std::cout << "  " << line << "\n";
      if (end == std::string::npos) break;
      start = end + 2;
    }
  }
  std::cout << "Attachments:   " << attachments.size() << "\n";
  for (const auto& a : attachments) {
    std::cout << "  " << a["name"].get<std::string>() << "  " << a["size"].get<std::int64_t>()
              << " bytes";
    if (!a["content_id"].get<std::string>().empty())
      std::cout << "  cid:" << a["content_id"].get<std::string>();
    if (a["hidden"].get<bool>()) std::cout << "  hidden";
    std::cout << "\n";
  }
  std::string html = out["html_body"];
  std::cout << "HTML body:     " << html.size() << " bytes\n";
  if (!html.empty()) std::cout << "\n" << html << "\n";
  return exitcode::kOk;
}

}  // namespace stow::app
