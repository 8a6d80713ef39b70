#pragma once
// Everything the command line can say, parsed once in main and read by the commands.

#include <optional>
#include <string>
#include <vector>

namespace stow::app {

struct Options {
  // Global options.
  std::string store;  // the Maildir root, or imaps://USER@HOST[:PORT]/ (imap://: STARTTLS)
  std::string passwordCommand;  // prints the IMAP password (else ~/.netrc)
  std::string caFile;           // a private CA the IMAP server's certificate is checked with
  int imapPoll = 30;            // seconds between watch's questions for new IMAP mail
  std::string config;           // the folder of the settings store and the store's secret
  int hostVersion = 14;
  bool yes = false;
  bool no = false;
  std::optional<std::string> to;  // answer to the folder prompt
  bool json = false;
  bool newSecret = false;    // make a new store secret although mail carries records
  std::string afterRewrite;  // shell command run after each rewritten mail

  // The command and its operands.
  std::string command;  // "folders", "list", "detach", ...
  std::string sub;      // "monitor add|remove|list"
  std::string folder;
  std::vector<std::string> items;
  bool open = false;  // run the inspector command on one open item
  bool dryRun = false;
  bool attachFiles = false;      // reply/forward
  bool removeLinks = false;      // reply/forward
  std::string page;              // settings page
  std::vector<std::string> set;  // settings --set NAME=VALUE
  std::string files;             // monitor add --files
  std::string dir;               // attachment-folder FOLDER [DIR]
  std::string oldDir, newDir;    // relink FOLDER OLD_DIR NEW_DIR
  std::string ribbonId;
  std::string menuId;
  std::string controlId;
};

// Defaults for --store and --config when they were not given: $MAILDIR else ~/Maildir,
// $XDG_CONFIG_HOME/stowbright else ~/.config/stowbright.
std::string DefaultStore();
std::string DefaultConfig();

}  // namespace stow::app
