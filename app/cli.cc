#include "app/cli.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>

#include "app/app_error.h"
#include "app/cli_docs.h"
#include "app/surface_commands.h"

namespace stow::app {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

constexpr const char* kItemHelp =
    "ITEM is a number from `list` (items are numbered by delivery time, then Message-ID, "
    "so a number stays with its mail when mail is rewritten), an entry id, "
    "mid:<Message-ID>, the path of a message file of the folder (as `notmuch search "
    "--output=files` prints it), `all` for every item of the folder, or `-` to read such "
    "ITEMs from standard input, one a line.";

constexpr const char* kOneItemHelp =
    "ITEM is one item: a number from `list`, an entry id, mid:<Message-ID> or the path of "
    "a message file of the folder.";

constexpr const char* kFolderHelp =
    "FOLDER is the short name (Inbox, Sent Items, Inbox/Projects) or the full host "
    "folder path (\\\\Personal Folders\\Inbox).";

constexpr const char* kExitHelp =
    "Exit status: 0 done; 1 the command could not do all that was asked; 2 a folder, "
    "item or option on the command line is wrong (nothing was changed); 130 stopped by "
    "Ctrl-C (SIGINT): the item in hand was finished, nothing after it was begun.";

enum class Items { kNone, kOne, kMany };

std::string Footer(bool folder, Items items) {
  std::string text;
  if (folder) text += std::string(kFolderHelp) + "\n";
  if (items == Items::kMany) text += std::string(kItemHelp) + "\n";
  if (items == Items::kOne) text += std::string(kOneItemHelp) + "\n";
  return text + kExitHelp;
}

// The explorer commands on a selection, or the inspector command with --open.
CLI::App* SelectionCommand(CLI::App& app, Options& o, const std::string& name,
                           const std::string& what, bool dryRun) {
  auto* c = app.add_subcommand(name, what);
  c->add_option("FOLDER", o.folder, "the mail folder")->required();
  c->add_option("ITEM", o.items,
                "items to work on (number, entry id, mid:<Message-ID>, message file, `all` "
                "or `-`)")
      ->required()
      ->expected(1, -1);
  c->add_flag("--open", o.open,
              "open the one ITEM in an inspector and run the inspector command on it");
  if (dryRun) c->add_flag("--dry-run", o.dryRun, "say what would be saved where, changing nothing");
  c->footer(Footer(true, Items::kMany));
  return c;
}

}  // namespace

std::string DefaultStore() {
  std::string maildir = Env("MAILDIR");
  if (!maildir.empty()) return maildir;
  return Env("HOME") + "/Maildir";
}

std::string DefaultConfig() {
  std::string xdg = Env("XDG_CONFIG_HOME");
  if (xdg.empty()) xdg = Env("HOME") + "/.config";
  return xdg + "/stowbright";
}

namespace {

constexpr const char* kAbout =
    "stowbright: takes the attachments out of mail in a Maildir, saves them as files, puts a "
    "block of links into each mail and can put everything back.";

// Every command, operand and option; --help, the manual page and the completions are
// all made from it.
void Define(CLI::App& app, Options& o) {
  app.footer(kExitHelp);
  app.require_subcommand(1, 1);
  app.fallthrough();
  app.set_help_all_flag("--help-all", "help for every command");

  app.add_option("--store", o.store,
                 "Maildir root (default: $MAILDIR, else ~/Maildir), or an IMAP account: "
                 "imaps://USER@HOST[:PORT]/, or imap://USER@HOST[:PORT]/ with STARTTLS (plain "
                 "text only to this machine)")
      ->type_name("DIR|URL");
  app.add_option("--password-command", o.passwordCommand,
                 "for an IMAP --store: a shell command printing the password on its first "
                 "line (e.g. 'pass show mail/work'); without it the password comes from "
                 "~/.netrc ($NETRC)")
      ->type_name("CMD");
  app.add_option("--ca-file", o.caFile,
                 "for an IMAP --store: PEM certificates of a private CA to trust besides the "
                 "system's")
      ->type_name("FILE");
  app.add_option("--imap-poll", o.imapPoll,
                 "for an IMAP --store: how often watch asks the server for new mail")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, 3600))
      ->default_val(30);
  app.add_option("--config", o.config,
                 "where the settings store lives (default: $XDG_CONFIG_HOME/stowbright)")
      ->type_name("DIR");
  app.add_option("--host-version", o.hostVersion,
                 "host version to play: 14 runs commands through the ribbon dispatcher, "
                 "11 and 12 through the command bar")
      ->check(CLI::IsMember({11, 12, 14}))
      ->default_val(14);
  auto* yes = app.add_flag("--yes", o.yes, "answer Yes to every question");
  auto* no = app.add_flag("--no", o.no, "answer No to every question");
  yes->excludes(no);
  app.add_option("--to", o.to, "answer to the folder prompt of detach-to and copy")
      ->type_name("DIR");
  app.add_flag("--json", o.json, "machine-readable output where a command prints data");
  app.add_option("--after-rewrite", o.afterRewrite,
                 "shell command run after each mail this run rewrites, with the new file's "
                 "path as $1 and its Message-ID as $2 (also $STOWBRIGHT_PATH and "
                 "$STOWBRIGHT_MESSAGE_ID): a rewritten mail is a new file, so indexers "
                 "keep old terms until told, e.g. 'notmuch new --quiet && notmuch reindex "
                 "id:\"$2\"'")
      ->type_name("CMD");
  app.add_flag("--new-secret", o.newSecret,
               "make a new store secret although mail in the store carries records made "
               "with a lost one (those records are then never believed)");

  auto* init = app.add_subcommand("init", "make a new, empty Maildir at DIR");
  init->add_option("DIR", o.dir, "the folder of the new Maildir (new or empty)")->required();
  init->footer(kExitHelp);

  auto* folders = app.add_subcommand(
      "folders", "every folder with its host folder path, item count and attachment folder");
  folders->footer(kExitHelp);

  auto* list = app.add_subcommand(
      "list",
      "the items of a folder, numbered from 1 by delivery time, with date, sender, entry id, "
      "subject, message class, attachment count and the processed marker");
  list->add_option("FOLDER", o.folder, "the mail folder")->required();
  list->footer(Footer(true, Items::kNone) +
               "\nWith --json: an array of objects with index, entry_id, message_id, "
               "received_time, sender, subject, message_class, attachment_count, processed.");

  auto* show = app.add_subcommand("show", "one item: its properties, attachments and body");
  show->add_option("FOLDER", o.folder, "the mail folder")->required();
  show->add_option("ITEM", o.items, "the one item")->required()->expected(1);
  show->footer(Footer(true, Items::kOne) +
               "\nWith --json: entry_id, subject, message_class, received_time, "
               "billing_information, processed_attachments, attachments (name, size, "
               "content_id, hidden) and html_body.");

  SelectionCommand(app, o, "detach",
                   "detach the attachments of the items into the attachment folder", true);
  SelectionCommand(app, o, "detach-to",
                   "detach the attachments of the items into a folder chosen now (--to DIR "
                   "or typed at the prompt)",
                   false);
  SelectionCommand(app, o, "reattach", "put the saved files back into the items", false);
  SelectionCommand(app, o, "remove-links",
                   "remove the block of links from the items, leaving the files", false);
  SelectionCommand(app, o, "delete", "delete the items together with their saved files", false);
  SelectionCommand(app, o, "copy",
                   "copy the attachments of the items to a folder (--to DIR or typed), "
                   "leaving the items as they are",
                   false);

  auto* detachAll =
      app.add_subcommand("detach-all", "detach the attachments of every item of a folder");
  detachAll->add_option("FOLDER", o.folder, "the mail folder")->required();
  detachAll->add_flag("--dry-run", o.dryRun, "say what would be saved where, changing nothing");
  detachAll->footer(Footer(true, Items::kNone));

  auto* reattachAll =
      app.add_subcommand("reattach-all", "put the saved files back into every item of a folder");
  reattachAll->add_option("FOLDER", o.folder, "the mail folder")->required();
  reattachAll->footer(Footer(true, Items::kNone));

  auto* verify = app.add_subcommand(
      "verify", "check that the saved file of every detached item of a folder is still there");
  verify->add_option("FOLDER", o.folder, "the mail folder")->required();
  verify->footer(Footer(true, Items::kNone) +
                 "\nNames each record whose file is missing (and says when the trash holds "
                 "it: re-attach takes it from there) or whose size is not the size saved. "
                 "Changes nothing. Exit status 1 when any is.");

  auto* relink = app.add_subcommand(
      "relink", "point the records and links of a folder's items at saved files that moved");
  relink->add_option("FOLDER", o.folder, "the mail folder")->required();
  relink->add_option("OLD_DIR", o.oldDir, "where the saved files were")->required();
  relink->add_option("NEW_DIR", o.newDir, "where they are now (the same names below it)")
      ->required();
  relink->footer(Footer(true, Items::kNone) +
                 "\nOnly records under OLD_DIR whose file is found at the same place under "
                 "NEW_DIR (of the size saved) change; each other one is named, and the exit "
                 "status is then 1.");

  for (const char* name : {"reply", "forward"}) {
    auto* c = app.add_subcommand(
        name, std::string("open a ") + name +
                  " of the item as a compose window (saved in Drafts) and run the compose "
                  "command on it");
    c->add_option("FOLDER", o.folder, "the mail folder")->required();
    c->add_option("ITEM", o.items, "the one item")->required()->expected(1);
    auto* attach = c->add_flag("--attach-files", o.attachFiles,
                               "attach the saved files of the original again");
    auto* remove =
        c->add_flag("--remove-links", o.removeLinks, "remove the block of links from the new mail");
    attach->excludes(remove);
    c->footer(Footer(true, Items::kOne));
  }

  auto* settings = app.add_subcommand(
      "settings", "show a settings page, or change it with --set and save it through the page");
  settings->add_option("PAGE", o.page, "monitoring, attachments or extensions")
      ->check(CLI::IsMember({"monitoring", "attachments", "extensions"}));
  settings
      ->add_option("--set", o.set,
                   "NAME=VALUE: a setting (AttachmentNamingOption=attachment-name, "
                   "AttachmentExtensions=pdf,zip); may be given several times")
      ->type_name("NAME=VALUE");
  settings->footer(SettingsHelp() +
                   "The --set changes are made together and then checked, so their order "
                   "does not matter; when one cannot be made, nothing is saved.\n" +
                   kExitHelp);

  auto* monitor = app.add_subcommand("monitor", "the monitored folders of the monitoring page");
  monitor->require_subcommand(1, 1);
  auto* madd = monitor->add_subcommand("add", "monitor a folder: its new mail is detached");
  madd->add_option("FOLDER", o.folder, "the mail folder")->required();
  madd->add_option("--files", o.files, "attachment folder for this mail folder")->type_name("DIR");
  madd->footer(Footer(true, Items::kNone));
  auto* mremove = monitor->add_subcommand("remove", "stop monitoring a folder");
  mremove->add_option("FOLDER", o.folder, "the mail folder")->required();
  mremove->footer(Footer(true, Items::kNone));
  monitor->add_subcommand("list", "the monitored folders")->footer(kExitHelp);
  monitor->footer(kExitHelp);

  auto* attachmentFolder =
      app.add_subcommand("attachment-folder", "show or set the attachment folder of a mail folder");
  attachmentFolder->add_option("FOLDER", o.folder, "the mail folder")->required();
  attachmentFolder->add_option("DIR", o.dir, "the new attachment folder");
  attachmentFolder->footer(Footer(true, Items::kNone));

  auto* ribbon = app.add_subcommand("ribbon", "print the custom-UI XML the host would receive");
  ribbon->add_option("RIBBON_ID", o.ribbonId,
                     "ribbon type (Microsoft.Outlook.Explorer, Microsoft.Outlook.Mail.Read, ...)");
  ribbon->add_option("--menu", o.menuId, "print the content of this dynamic menu instead")
      ->type_name("MENU_ID");
  ribbon->footer(kExitHelp);

  auto* run = app.add_subcommand("run", "run any control id through the dispatcher");
  run->add_option("CONTROL_ID", o.controlId, "the control id (cmdStripAttachments, ...)")
      ->required();
  run->add_option("FOLDER", o.folder, "the folder the explorer shows");
  run->add_option("ITEM", o.items,
                  "the selection (number, entry id, mid:<Message-ID>, message file, `all` or "
                  "`-`)")
      ->expected(0, -1);
  run->add_flag("--open", o.open,
                "open the one ITEM in an inspector instead (the inspector's own controls, "
                "cmdDetach, cmdReAttach, cmdDelete, need it)");
  run->footer(Footer(true, Items::kMany));

  app.add_subcommand("about", "the about box")->footer(kExitHelp);

  auto* watch = app.add_subcommand(
      "watch",
      "stay running: start-up complete, monitors and sweeps, new mail in monitored folders "
      "detached as it arrives (one line per mail on standard output), settings read again "
      "when they change or on SIGHUP, until SIGINT or SIGTERM");
  watch->footer(kExitHelp);

  app.add_subcommand("sweep",
                     "run the start-up sweeps once and exit: the unprocessed mail of the "
                     "monitored folders detached (StartUpItemMonitoredFolders) and Sent Items "
                     "handled by SentItemsOption (StartUpSentItems); no other command runs them")
      ->footer(kExitHelp);
}

}  // namespace

int ParseCommandLine(int argc, char** argv, Options& o) {
  CLI::App app{kAbout, "stowbright"};
  Define(app, o);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return exitcode::kUsage;
  }

  for (auto* sub : app.get_subcommands()) {
    o.command = sub->get_name();
    for (auto* subsub : sub->get_subcommands()) o.sub = subsub->get_name();
  }
  if (o.store.empty()) o.store = DefaultStore();
  if (o.config.empty()) o.config = DefaultConfig();
  if (o.command == "ribbon" && o.ribbonId.empty() && o.menuId.empty()) {
    std::cerr << "stowbright ribbon: give a RIBBON_ID or --menu MENU_ID\n";
    return exitcode::kUsage;
  }
  return -1;
}

int GenerateDocs(int argc, char** argv) {
  int at = 1;
  while (at < argc - 1 && std::string(argv[at]) != "--generate") ++at;
  if (at >= argc - 1) return -1;
  Options o;
  CLI::App app{kAbout, "stowbright"};
  Define(app, o);
  std::string kind = argv[at + 1];
  if (kind == "man")
    std::cout << ManPage(app);
  else if (kind == "bash" || kind == "zsh")
    std::cout << Completion(app, kind);
  else
    return exitcode::kUsage;
  return exitcode::kOk;
}

}  // namespace stow::app
