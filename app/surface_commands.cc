#include "app/surface_commands.h"

#include <filesystem>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "app/app_error.h"
#include "app/dispatch.h"
#include "app/session.h"
#include "app/store_view.h"
#include "host/RozozizeraRoreravo.h"
#include "platform/com_error.h"
#include "platform/dictionary.h"
#include "platform/office.h"
#include "settings/fSettings.h"
#include "settings/uscMonitoring.h"
#include "support/cSettings.h"
#include "support/cSingleList.h"
#include "support/fAbout.h"
#include "support/modGlobal.h"

namespace stow::app {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::string Dump(const json& j) {
  return j.dump(2, ' ', false, json::error_handler_t::replace);
}

// --- the settings pages --------------------------------------------------------

enum class Kind { kOption, kCheck, kText, kList };

// A setting as the page shows it: the control (or group of option buttons) that holds
// it, how to read it back from the store, and what `settings --help` says of it.
struct SettingDef {
  const char* name;
  int page;
  Kind kind;
  const char* control;             // an option group's base name: "optNaming" for optNaming(0..)
  std::vector<const char*> names;  // an option group's values by index, as typed
  std::function<std::string(cSettings&)> stored;
  const char* meaning;
  const char* byDefault;  // the value a new settings store holds
  int count() const { return static_cast<int>(names.size()); }
};

std::string Num(std::int64_t v) {
  return std::to_string(v);
}

const std::vector<SettingDef>& Settings() {
  static const std::vector<SettingDef> defs = {
      {"EmailFolders",
       0,
       Kind::kList,
       "lvFolders",
       {},
       [](cSettings& s) { return s.EmailFolders()->GetString("\n"); },
       "the monitored mail folders: their new mail is detached while `stowbright watch` "
       "runs (changed with `stowbright monitor add|remove`)",
       "none"},
      {"AttachmentFolderOption",
       1,
       Kind::kOption,
       "optAttachmentFolder",
       {"per-folder", "global"},
       [](cSettings& s) { return Num(s.AttachmentFolderOption); },
       "where detached files go: a folder of its own for each mail folder (set with "
       "`stowbright attachment-folder`), or the one AttachmentFolderPath for all",
       "1 (global)"},
      {"AttachmentFolderPath",
       1,
       Kind::kText,
       "txtFolderPath",
       {},
       [](cSettings& s) { return s.AttachmentFolderPath; },
       "the folder detached files go to when AttachmentFolderOption is global (an existing "
       "folder)",
       "~/Documents/My Attachments"},
      {"AttachmentNamingOption",
       1,
       Kind::kOption,
       "optNaming",
       {"received-date", "subject", "running-number", "random-number", "attachment-name"},
       [](cSettings& s) { return Num(s.AttachmentNamingOption); },
       "how saved files are named: received date + attachment name, subject + attachment "
       "name, a running number, a random number, or the attachment's own name",
       "3 (random-number)"},
      {"AttachmentDisplayOption",
       1,
       Kind::kOption,
       "optAttachmentLink",
       {"full-path", "name-only"},
       [](cSettings& s) { return Num(s.AttachmentDisplayOption); },
       "the text of each link in the mail: the file's full path or the attachment's name",
       "1 (name-only)"},
      {"AttachmentLocationOption",
       1,
       Kind::kOption,
       "optLocation",
       {"top", "bottom"},
       [](cSettings& s) { return Num(s.AttachmentLocationOption); },
       "where the block of links goes in the mail's body",
       "0 (top)"},
      {"TreatInlineImagesAsAttachments",
       1,
       Kind::kCheck,
       "cInlineImagesAttachment",
       {},
       [](cSettings& s) { return Num(s.TreatInlineImagesAsAttachments); },
       "detach the images shown inside the mail's text too",
       "0"},
      {"DeleteItemPrompt",
       1,
       Kind::kCheck,
       "chkDeleteItemPrompt",
       {},
       [](cSettings& s) { return Num(s.DeleteItemPrompt); },
       "ask before deleting one mail with its files",
       "0"},
      {"DeleteItemsPrompt",
       1,
       Kind::kCheck,
       "chkDeleteItemsPrompt",
       {},
       [](cSettings& s) { return Num(s.DeleteItemsPrompt); },
       "ask before deleting several mails with their files",
       "1"},
      {"EmbedMacPath",
       1,
       Kind::kCheck,
       "chkEmbedMacPath",
       {},
       [](cSettings& s) { return Num(s.EmbedMacPath); },
       "add an smb: link to each file for Mac users",
       "0"},
      {"EmbedHTTPPath",
       1,
       Kind::kCheck,
       "chkEmbedHTTPPath",
       {},
       [](cSettings& s) { return Num(s.EmbedHTTPPath); },
       "add a web link to each file, under HTTPAddress",
       "0"},
      {"HTTPAddress",
       1,
       Kind::kText,
       "txtHTTPAddress",
       {},
       [](cSettings& s) { return s.HTTPAddress; },
       "the web address the attachment folder is published under (needs EmbedHTTPPath=1)",
       "empty"},
      {"MacHTTPOnAutoDetachment",
       1,
       Kind::kCheck,
       "chkMacHTTPonAutoDetachment",
       {},
       [](cSettings& s) { return Num(s.MacHTTPOnAutoDetachment); },
       "add the smb: and web links only to mail detached automatically",
       "0"},
      {"SentItemsOption",
       1,
       Kind::kOption,
       "optSentItems",
       {"detach", "remove-attachments", "none"},
       [](cSettings& s) { return Num(s.SentItemsOption); },
       "what happens to new mail in Sent Items: detached, its attachments removed, or "
       "nothing",
       "2 (none)"},
      {"StartUpSentItems",
       1,
       Kind::kCheck,
       "chkStartupSentItems",
       {},
       [](cSettings& s) { return Num(s.StartUpSentItems != 0); },
       "when the watcher starts, treat the mail already in Sent Items by SentItemsOption",
       "1"},
      {"StartUpItemMonitoredFolders",
       1,
       Kind::kCheck,
       "chkSentItemMonitoredFolders",
       {},
       [](cSettings& s) { return Num(s.StartUpItemMonitoredFolders != 0); },
       "when the watcher starts, detach the mail already in the monitored folders",
       "1"},
      {"AttachmentExtensions",
       2,
       Kind::kText,
       "txtExtensions",
       {},
       [](cSettings& s) { return s.AttachmentExtensions()->GetString(","); },
       "extensions of attachments that are never detached, without the dot, separated by "
       "commas (pdf,zip)",
       "none"},
  };
  return defs;
}

const char* kPageNames[] = {"monitoring", "attachments", "extensions"};
const char* kPageControls[] = {"cmdSettingsFolders", "cmdSettingsAttachments",
                               "cmdSettingsExtension"};

int PageNumber(const std::string& name) {
  for (int i = 0; i < 3; ++i)
    if (name == kPageNames[i]) return i;
  throw AppError(exitcode::kUsage,
                 "unknown settings page '" + name + "' (monitoring, attachments or extensions)");
}

const SettingDef* FindSetting(const std::string& name) {
  for (const auto& d : Settings())
    if (name == d.name) return &d;
  return nullptr;
}

std::string OptionName(const SettingDef& d, int i) {
  return std::string(d.control) + "(" + std::to_string(i) + ")";
}

std::vector<ui::Control*> ControlsOf(const SettingsPage& page, const SettingDef& d) {
  std::vector<ui::Control*> out;
  if (d.kind == Kind::kOption) {
    for (int i = 0; i < d.count(); ++i)
      if (auto* c = page.FindControl(OptionName(d, i))) out.push_back(c);
  } else if (auto* c = page.FindControl(d.control)) {
    out.push_back(c);
  }
  return out;
}

// What the page's controls say now, as text: an option group's chosen index (-1 for
// none), a check box 0 or 1 (2 grayed), a text box its text, a list its rows.
std::string PageValue(const SettingsPage& page, const SettingDef& d) {
  switch (d.kind) {
    case Kind::kOption:
      for (int i = 0; i < d.count(); ++i) {
        auto* o = page.Find<ui::OptionButton>(OptionName(d, i));
        if (o && o->Value) return std::to_string(i);
      }
      return "-1";
    case Kind::kCheck: {
      auto* c = page.Find<ui::CheckBox>(d.control);
      return c ? std::to_string(c->Value) : "";
    }
    case Kind::kText: {
      auto* t = page.Find<ui::TextBox>(d.control);
      return t ? t->Text : "";
    }
    case Kind::kList: {
      std::string out;
      if (auto* l = page.Find<ui::ListView>(d.control))
        for (const auto& row : l->ListItems) out += (out.empty() ? "" : "\n") + row.Text;
      return out;
    }
  }
  return "";
}

std::string CaptionOf(const SettingsPage& page, const SettingDef& d, const std::string& value) {
  if (d.kind == Kind::kOption) {
    auto* o = page.Find<ui::OptionButton>(OptionName(d, std::atoi(value.c_str())));
    return o ? o->Caption : "";
  }
  if (d.kind == Kind::kCheck) {
    auto* c = page.Find<ui::CheckBox>(d.control);
    return c ? c->Caption : "";
  }
  return "";
}

bool Usable(const SettingsPage& page, const SettingDef& d) {
  for (auto* c : ControlsOf(page, d))
    if (!c->Enabled || !c->Visible) return false;
  return true;
}

struct Change {
  const SettingDef* def;
  std::string value;  // normalised: option index, "0"/"1", text
};

std::string Lowered(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string CheckValue(const std::string& name, const std::string& value) {
  std::string v = Lowered(value);
  if (v == "1" || v == "true" || v == "yes" || v == "on") return "1";
  if (v == "0" || v == "false" || v == "no" || v == "off") return "0";
  throw AppError(exitcode::kUsage, name + " takes 0 or 1 (no or yes), not '" + value + "'");
}

// "0|per-folder, 1|global": what an option group takes.
std::string OptionValues(const SettingDef& d) {
  std::string out;
  for (int i = 0; i < d.count(); ++i)
    out += (i ? ", " : "") + std::to_string(i) + "|" + d.names[static_cast<std::size_t>(i)];
  return out;
}

// An option's number, or its name in any letter case.
std::string OptionValue(const SettingDef& d, const std::string& value) {
  for (int i = 0; i < d.count(); ++i)
    if (value == std::to_string(i) || Lowered(value) == d.names[static_cast<std::size_t>(i)])
      return std::to_string(i);
  throw AppError(exitcode::kUsage,
                 std::string(d.name) + " takes " + OptionValues(d) + ", not '" + value + "'");
}

// The extensions as the user meant them: the page splits its text at each comma and
// keeps the blanks and dots around a name, which would then never match a file.
std::string ExtensionsValue(const std::string& value) {
  std::string out, part;
  auto flush = [&] {
    auto b = part.find_first_not_of(" \t*.");
    auto e = part.find_last_not_of(" \t");
    if (b != std::string::npos && e != std::string::npos && e >= b)
      out += (out.empty() ? "" : ",") + part.substr(b, e - b + 1);
    part.clear();
  };
  for (char c : value) {
    if (c == ',' || c == ';' || c == ' ')
      flush();
    else
      part += c;
  }
  flush();
  return out;
}

Change ParseChange(const std::string& text) {
  auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0)
    throw AppError(exitcode::kUsage, "--set takes NAME=VALUE, not '" + text + "'");
  std::string name = text.substr(0, eq), value = text.substr(eq + 1);
  const SettingDef* d = FindSetting(name);
  if (!d) {
    std::string names;
    for (const auto& s : Settings())
      if (s.kind != Kind::kList) names += (names.empty() ? "" : ", ") + std::string(s.name);
    throw AppError(exitcode::kUsage, "unknown setting '" + name + "' (settings: " + names +
                                         "; see `stowbright settings --help`)");
  }
  switch (d->kind) {
    case Kind::kList:
      throw AppError(exitcode::kUsage,
                     "EmailFolders is changed with `stowbright monitor add|remove FOLDER`");
    case Kind::kOption:
      return {d, OptionValue(*d, value)};
    case Kind::kCheck:
      return {d, CheckValue(name, value)};
    case Kind::kText:
      if (name == "AttachmentExtensions") return {d, ExtensionsValue(value)};
      if (name == "AttachmentFolderPath" && !value.empty()) {
        std::error_code ec;
        if (!fs::is_directory(value, ec))
          throw AppError(exitcode::kUsage, "no folder at " + value + " (AttachmentFolderPath)");
        value = fs::absolute(value).lexically_normal().string();
        while (value.size() > 1 && value.back() == '/') value.pop_back();
      }
      return {d, value};
  }
  return {d, value};
}

// Puts a value into the page's controls as the user would: clicks the option, ticks
// the box, types the text.
void Apply(SettingsPage& page, const Change& c) {
  const auto& d = *c.def;
  if (d.kind == Kind::kOption) {
    page.Find<ui::OptionButton>(OptionName(d, std::stoi(c.value)))->SetValue(true);
  } else if (d.kind == Kind::kCheck) {
    page.Find<ui::CheckBox>(d.control)->SetValue(c.value == "1" ? 1 : 0);
  } else {
    page.Find<ui::TextBox>(d.control)->SetText(c.value);
  }
}

// A monitored folder row as the page lists it.
json RowJson(const ui::ListItem& row) {
  return {{"path", row.Text},
          {"type", row.SubItems.size() > 0 ? row.SubItems[0] : ""},
          {"attachment_folder", row.SubItems.size() > 1 ? row.SubItems[1] : ""}};
}

json PageJson(const SettingsPage& page, int pageNumber, const std::string& title) {
  json settings = json::object();
  for (const auto& d : Settings()) {
    if (d.page != pageNumber) continue;
    std::string v = PageValue(page, d);
    if (d.kind == Kind::kOption)
      settings[d.name] = std::stoi(v);
    else if (d.kind == Kind::kCheck)
      settings[d.name] = v == "1";
    else if (d.kind == Kind::kText)
      settings[d.name] = v;
    else {
      json rows = json::array();
      if (auto* l = page.Find<ui::ListView>(d.control))
        for (const auto& row : l->ListItems) rows.push_back(RowJson(row));
      settings[d.name] = rows;
    }
  }
  return {{"page", kPageNames[pageNumber]}, {"title", title}, {"settings", settings}};
}

void PrintPage(const SettingsPage& page, int pageNumber, const std::string& title) {
  std::cout << title << "\n";
  for (const auto& d : Settings()) {
    if (d.page != pageNumber) continue;
    if (d.kind == Kind::kList) {
      auto* l = page.Find<ui::ListView>(d.control);
      std::cout << "  " << d.name << ":" << (l && l->ListItems.empty() ? " (none)" : "") << "\n";
      if (l)
        for (const auto& row : l->ListItems) {
          json r = RowJson(row);
          std::cout << "    " << row.Text << "  (" << r["type"].get<std::string>() << ")  -> "
                    << r["attachment_folder"].get<std::string>() << "\n";
        }
      continue;
    }
    std::string v = PageValue(page, d);
    std::string caption = CaptionOf(page, d, v);
    std::cout << "  " << d.name << " = " << v;
    if (d.kind == Kind::kOption && v != "-1") std::cout << " " << d.names.at(std::stoul(v));
    if (!caption.empty()) std::cout << "  (" << caption << ")";
    if (!Usable(page, d)) std::cout << "  [not enabled]";
    std::cout << "\n";
  }
}

// Opens the settings dialog on a page through the add-in's surface and hands the
// shown page to work; the dialog is closed without saving unless work saved it.
void WithPage(Session& session, int pageNumber,
              const std::function<void(fSettings&, SettingsPage&, const std::string&)>& work) {
  std::optional<AppError> failure;
  bool shown = false;
  session.toolkit().SetScript("fSettings", [&](ui::Form& form) {
    auto* dialog = dynamic_cast<fSettings*>(&form);
    if (!dialog || !dialog->currentItem) return;
    shown = true;
    try {
      work(*dialog, *dialog->currentItem, form.Caption);
    } catch (const AppError& e) {
      failure = e;
    }
    if (form.Loaded()) dialog->tb.PerformClick("Exit");
  });
  ExecuteControl(session, kPageControls[pageNumber]);
  session.Settle();
  session.toolkit().SetScript("fSettings", nullptr);
  if (failure) throw *failure;
  if (!shown)
    throw AppError(exitcode::kFailed,
                   std::string("the settings page ") + kPageNames[pageNumber] + " was not shown");
}

void OpenHostOnInbox(Session& session) {
  auto inbox = ValueOr(std::shared_ptr<om::Folder>(),
                       [&] { return session.store().GetDefaultFolder(om::olFolderInbox); });
  std::shared_ptr<hostapp::HostExplorer> explorer;
  if (inbox) explorer = session.host().OpenExplorer(inbox);
  session.Connect();
  if (explorer) session.host().SetActiveWindow(explorer);
}

cSettings StoredSettings() {
  cSettings fresh;
  fresh.ReadSettings();
  return fresh;
}

std::string NormalisedExtensions(const std::string& text) {
  cSingleList list;
  list.SetString(text, ",");
  return list.GetString(",");
}

}  // namespace

std::string SettingsFingerprint() {
  cSettings stored = StoredSettings();
  std::string out;
  for (const auto& d : Settings()) out += std::string(d.name) + "=" + d.stored(stored) + "\n";
  return out;
}

std::string SettingsHelp() {
  std::string out = "Settings (NAME=VALUE for --set; the page in brackets):\n";
  for (const auto& d : Settings()) {
    out += std::string("  ") + d.name + " [" + kPageNames[d.page] + "]: " + d.meaning + ".\n    ";
    switch (d.kind) {
      case Kind::kOption:
        out += "Values: " + OptionValues(d);
        break;
      case Kind::kCheck:
        out += "Values: 0 or 1 (also no/yes, false/true, off/on)";
        break;
      case Kind::kText:
        out += "Value: text";
        break;
      case Kind::kList:
        out += "Not set with --set";
        break;
    }
    out += std::string("; default: ") + d.byDefault + ".\n";
  }
  return out;
}

int RunSettings(Session& session) {
  const auto& o = session.options();
  std::vector<Change> changes;
  for (const auto& s : o.set) changes.push_back(ParseChange(s));
  std::vector<int> pages;
  if (!o.page.empty()) {
    pages.push_back(PageNumber(o.page));
    for (const auto& c : changes)
      if (c.def->page != pages.front())
        throw AppError(exitcode::kUsage, std::string(c.def->name) + " is a setting of the " +
                                             kPageNames[c.def->page] + " page, not of " + o.page);
  } else if (!changes.empty()) {
    for (const auto& c : changes)
      if (std::find(pages.begin(), pages.end(), c.def->page) == pages.end())
        pages.push_back(c.def->page);
  } else {
    pages = {0, 1, 2};
  }

  OpenHostOnInbox(session);
  json shownJson = json::array();
  for (int page : pages) {
    std::vector<Change> mine;
    for (const auto& c : changes)
      if (c.def->page == page) mine.push_back(c);
    WithPage(session, page, [&](fSettings& dialog, SettingsPage& p, const std::string& title) {
      if (mine.empty()) {
        if (o.json)
          shownJson.push_back(PageJson(p, page, title));
        else
          PrintPage(p, page, title);
        return;
      }
      // All the changes are made before any is judged, so that their order does not
      // matter: a box ticked by one change enables the text another one types.
      std::vector<const Change*> pending;
      for (const auto& c : mine) pending.push_back(&c);
      for (bool progress = true; progress && !pending.empty();) {
        progress = false;
        std::erase_if(pending, [&](const Change* c) {
          if (!Usable(p, *c->def)) return false;
          Apply(p, *c);
          return progress = true;
        });
      }
      for (const auto& c : mine) {
        std::string name = c.def->name;
        if (Usable(p, *c.def) && PageValue(p, *c.def) == c.value) continue;
        throw AppError(exitcode::kUsage,
                       name + " cannot be changed: its control on the page is not enabled" +
                           (name == "HTTPAddress"            ? " (set EmbedHTTPPath=1)"
                            : name == "AttachmentFolderPath" ? " (set AttachmentFolderOption=1)"
                                                             : "") +
                           "; nothing was saved");
      }
      dialog.tb.PerformClick("Save");
    });
  }
  session.Shutdown();
  if (changes.empty()) {
    if (o.json) std::cout << Dump(o.page.empty() ? shownJson : shownJson.at(0)) << "\n";
    return exitcode::kOk;
  }
  // What the store holds now, read afresh: the page's save is believed only there.
  cSettings stored = StoredSettings();
  bool ok = true;
  for (const auto& c : changes) {
    std::string now = c.def->stored(stored);
    std::string want = std::string(c.def->name) == "AttachmentExtensions"
                           ? NormalisedExtensions(c.value)
                           : c.value;
    if (now == want) {
      std::cout << "Saved " << c.def->name << " = " << now << "\n";
    } else {
      ok = false;
      std::cerr << "stowbright: " << c.def->name << " was not saved (the store holds '" << now
                << "')\n";
    }
  }
  return ok ? exitcode::kOk : exitcode::kFailed;
}

int RunMonitor(Session& session) {
  const auto& o = session.options();
  const std::string& sub = o.sub;
  std::optional<FolderEntry> folder;
  std::string entry;  // the text of the page's row
  if (sub == "add") {
    folder = ResolveFolder(session, o.folder);
    entry = folder->folderPath;
  } else if (sub == "remove") {
    try {
      folder = ResolveFolder(session, o.folder);
      entry = folder->folderPath;
    } catch (const AppError&) {
      // A monitored folder that is gone from the store can still be taken off the list.
      entry = o.folder;
    }
  }
  std::string files;
  if (!o.files.empty()) {
    std::error_code ec;
    if (!fs::is_directory(o.files, ec))
      throw AppError(exitcode::kUsage, "no folder at " + o.files + " (--files)");
    files = fs::absolute(o.files).lexically_normal().string();
    while (files.size() > 1 && files.back() == '/') files.pop_back();
  }
  auto same = [](const std::string& a, const std::string& b) {
    using platform::Dictionary;
    return Dictionary::FoldKey(a, Dictionary::kTextCompare) ==
           Dictionary::FoldKey(b, Dictionary::kTextCompare);
  };
  auto rowOf = [&](const ui::ListView& list) {
    for (std::size_t i = 0; i < list.ListItems.size(); ++i)
      if (same(list.ListItems[i].Text, entry)) return static_cast<int>(i);
    return -1;
  };

  OpenHostOnInbox(session);
  std::string message;
  json rows = json::array();
  WithPage(session, 0, [&](fSettings& dialog, SettingsPage& p, const std::string&) {
    auto& page = dynamic_cast<uscMonitoring&>(p);
    if (sub == "list") {
      for (const auto& row : page.lvFolders.ListItems) rows.push_back(RowJson(row));
      return;
    }
    int existing = rowOf(page.lvFolders);
    if (sub == "remove") {
      if (existing < 0) throw AppError(exitcode::kUsage, "'" + o.folder + "' is not monitored");
      page.lvFolders.Select(existing);
      page.cmdRemoveFolder.PerformClick();
      dialog.tb.PerformClick("Save");
      message = "No longer monitoring " + entry;
      return;
    }
    bool ownFolders = page.AttachmentFolderFrame.Visible;
    if (!ownFolders && !files.empty())
      throw AppError(exitcode::kUsage,
                     "--files is not used: every mail folder shares the global attachment folder "
                     "(AttachmentFolderOption=1)");
    if (existing >= 0 && files.empty()) {
      message = entry + " is monitored already";
      return;
    }
    session.host().SetPickFolderAnswer(folder->folder);
    if (existing >= 0) {
      page.lvFolders.Select(existing);
    } else {
      page.cmdPickFolder.PerformClick();
      if (!same(page.txtSelectedFolder.Text, entry))
        throw AppError(exitcode::kFailed,
                       "the page did not take the folder " + entry + ": " + page.lblStatus.Caption);
    }
    if (ownFolders) {
      if (!files.empty()) page.txtAttachmentFileFolder.SetText(files);
      if (page.txtAttachmentFileFolder.Text.empty())
        throw AppError(exitcode::kUsage, entry +
                                             " has no attachment folder yet; give --files DIR "
                                             "(each mail folder has its own)");
    }
    page.cmdAddFolder.PerformClick();
    dialog.tb.PerformClick("Save");
    message = (existing >= 0 ? "Monitoring " + entry + " (attachment folder changed)"
                             : "Monitoring " + entry);
  });
  session.Shutdown();

  if (sub == "list") {
    if (o.json) {
      std::cout << Dump(rows) << "\n";
    } else if (rows.empty()) {
      std::cout << "No folder is monitored\n";
    } else {
      for (const auto& r : rows)
        std::cout << r["path"].get<std::string>() << "  (" << r["type"].get<std::string>()
                  << ")  -> " << r["attachment_folder"].get<std::string>() << "\n";
    }
    return exitcode::kOk;
  }
  cSettings stored = StoredSettings();
  bool listed = false;
  for (const auto& e : stored.EmailFolders()->Items()) listed = listed || same(e, entry);
  if (listed != (sub == "add")) {
    std::cerr << "stowbright: the monitored folders were not saved\n";
    return exitcode::kFailed;
  }
  std::cout << message;
  if (sub == "add") {
    std::string dir = ConfiguredAttachmentFolder(entry);
    std::cout << "; new mail there is detached into "
              << (dir.empty() ? std::string("(no attachment folder)") : dir)
              << " while `stowbright watch` runs";
  }
  std::cout << "\n";
  return exitcode::kOk;
}

int RunRibbon(Session& session) {
  const auto& o = session.options();
  // Version 12 has ribbons in its inspectors only; version 11 none at all.
  bool inspectorRibbon = o.ribbonId.rfind("Microsoft.Outlook.Explorer", 0) != 0;
  if (o.hostVersion < 12 || (o.hostVersion == 12 && (!o.menuId.empty() || !inspectorRibbon)))
    throw AppError(
        exitcode::kUsage,
        "hosts of version " + std::to_string(o.hostVersion) +
            (o.hostVersion < 12 ? " have no ribbon" : " have ribbons in inspector windows only") +
            "; use --host-version 14");
  OpenHostOnInbox(session);
  std::string xml;
  if (!o.menuId.empty()) {
    xml = session.addin().GetContentXML(office::RibbonControl(o.menuId));
  } else {
    xml = session.addin().IRibbonExtensibility_GetCustomUI(o.ribbonId);
  }
  session.Shutdown();
  // The add-in answers an id it does not know with an empty menu.
  if (!o.menuId.empty() && xml.find("<button") == std::string::npos)
    throw AppError(exitcode::kUsage, "the ribbon has no dynamic menu '" + o.menuId + "'");
  if (xml.empty())
    throw AppError(exitcode::kUsage,
                   "the add-in has no custom UI for ribbon type '" + o.ribbonId + "'");
  std::cout << xml << "\n";
  return exitcode::kOk;
}

int RunAbout(Session& session) {
  bool shown = false;
  session.toolkit().SetScript("fAbout", [&](ui::Form& form) {
    shown = true;
    auto* about = dynamic_cast<fAbout*>(&form);
    if (!about) return;
    if (session.options().json) {
      std::cout << Dump({{"caption", about->Caption},
                         {"title", about->Label1.Caption},
                         {"build", about->lblBuild.Caption},
                         {"text", about->Label5.Caption}})
                << "\n";
    } else {
      std::cout << about->Label1.Caption << "\n"
                << about->lblBuild.Caption << "\n"
                << about->Label5.Caption << "\n";
    }
    about->cmdOK.PerformClick();
  });
  OpenHostOnInbox(session);
  ExecuteControl(session, "cmdAbout");
  session.Settle();
  session.Shutdown();
  if (!shown) throw AppError(exitcode::kFailed, "the about box was not shown");
  return exitcode::kOk;
}

int RunCompose(Session& session) {
  const auto& o = session.options();
  auto folder = ResolveFolder(session, o.folder);
  auto items = ResolveItems(session.store(), folder, o.items);
  if (items.size() != 1) throw AppError(exitcode::kUsage, "give exactly one ITEM");
  auto original = items.front();

  auto explorer = session.host().OpenExplorer(folder.folder);
  session.Connect();
  explorer->SetSelection({original});
  session.host().SetActiveWindow(explorer);
  bool reply = o.command == "reply";
  auto fresh = reply ? original->Reply() : original->Forward();
  // The compose window quotes the original below the new text, links and all.
  if (ValueOr(std::string(), [&] { return fresh->HTMLBody(); }).empty()) {
    std::string html = ValueOr(std::string(), [&] { return original->HTMLBody(); });
    if (!html.empty()) fresh->SetHTMLBody(html);
  }
  // The window the reply was started from is still active while the add-in looks at
  // the new inspector, so it finds the original as the selection.
  auto inspector = session.host().OpenInspector(fresh);
  std::string control;
  if (o.attachFiles) control = "cmdReAttachCompose";
  if (o.removeLinks) control = "cmdRemoveLinksCompose";
  std::size_t attachmentsBefore =
      ValueOr<std::size_t>(0, [&] { return fresh->Attachments()->All().size(); });
  if (!control.empty()) ExecuteControl(session, control);
  session.Settle();
  std::size_t attachmentsAfter =
      ValueOr<std::size_t>(0, [&] { return fresh->Attachments()->All().size(); });
  bool hasLinks = ValueOr(std::string(), [&] { return fresh->HTMLBody(); }).find("tableKZOSTART") !=
                  std::string::npos;
  // The user closes the window saving the new mail in Drafts.
  bool saved = true;
  try {
    inspector->Close(om::olSave);
  } catch (const ComError& e) {
    saved = false;
    std::cerr << "stowbright: the new mail could not be saved in Drafts: " << e.Description()
              << "\n";
  }
  std::string entryId = ValueOr(std::string(), [&] { return fresh->EntryID(); });
  std::string subject = ValueOr(std::string(), [&] { return fresh->Subject(); });
  auto& tk = session.toolkit();
  int critical = tk.CriticalMessages();
  session.Shutdown();
  if (!saved) return exitcode::kFailed;
  std::cout << (reply ? "Reply" : "Forward") << " \"" << subject << "\" saved in Drafts as "
            << entryId;
  if (o.attachFiles)
    std::cout << " with " << (attachmentsAfter - std::min(attachmentsAfter, attachmentsBefore))
              << " file(s) of the original attached";
  if (o.removeLinks) std::cout << (hasLinks ? "; the links are still there" : " without links");
  std::cout << "\n";
  if (critical > 0) return exitcode::kFailed;
  if (o.removeLinks && hasLinks) return exitcode::kFailed;
  return exitcode::kOk;
}

}  // namespace stow::app
