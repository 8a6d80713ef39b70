// libFuzzer target: the ITEM selectors of the command line (a number from `list`,
// an entry id, mid:<Message-ID>, a message file, `all`, `-` for more from the input)
// as app/store_view.cc resolves them in a Maildir folder of a
// few messages. The input is the list of selectors, one per line (NUL also ends
// one: no argument can hold it).
//
// Whatever is typed, resolving either names the first unknown item (exit 2) or
// gives items of the folder, each once, and every number 1..Count and every entry
// id of the folder resolves.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_error.h"
#include "app/store_view.h"
#include "platform/com_error.h"
#include "platform/maildir/maildir_store.h"

namespace fs = std::filesystem;
using namespace stow;

namespace {

// File names the seed corpus also uses, so that entry ids are reachable at once.
const char* const kFiles[] = {"cur/1709543700.M1P1.fuzz:2,S", "cur/1709543701.M2P1.fuzz:2,",
                              "new/1709543702.M3P1.fuzz", "cur/1709543703.M4P1.Fuzz:2,RS"};

struct Tree {
  fs::path root;
  std::shared_ptr<maildir::MaildirStore> store;
  app::FolderEntry inbox;
  std::set<std::string> ids;
  Tree() {
    char tmpl[] = "/tmp/stowbright-fuzz-select-XXXXXX";
    root = mkdtemp(tmpl);
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(root / "Maildir" / sub);
    int n = 0;
    for (const char* f : kFiles) {
      std::ofstream out(root / "Maildir" / f, std::ios::binary);
      ++n;
      out << "From: a@example.org\r\nSubject: item " << n << "\r\nMessage-ID: <m" << n
          << "@example.org>\r\n\r\nbody\r\n";
    }
    maildir::Options o;
    o.secretPath = (root / "secret").string();
    maildir::MaildirStore::Create((root / "Maildir").string());
    store = maildir::MaildirStore::Open((root / "Maildir").string(), o);
    auto folder = store->GetDefaultFolder(om::olFolderInbox);
    inbox = {"Inbox", folder->FolderPath(), folder};
    auto walk = folder->Items()->Enumerate();
    while (auto item = walk->Next()) ids.insert(item->EntryID());
  }
  ~Tree() { fs::remove_all(root); }
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_item_selector: %s\n", what);
  std::abort();
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Tree tree;
  std::vector<std::string> specs(1);
  for (std::size_t i = 0; i < size && specs.size() <= 64; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == '\n' || c == '\0')
      specs.emplace_back();
    else
      specs.back() += c;
  }
  const std::size_t count = tree.ids.size();
  // What the caller can know must resolve: a plain number in range, a listed id,
  // or `all` in any case.
  bool mustResolve = true;
  for (const auto& s : specs) {
    bool known = tree.ids.count(s) > 0 || (s.size() == 3 && (s[0] | 0x20) == 'a' &&
                                           (s[1] | 0x20) == 'l' && (s[2] | 0x20) == 'l');
    if (!known && AllDigits(s) && s.size() < 6) {
      long n = std::stol(s);
      known = n >= 1 && n <= static_cast<long>(count);
    }
    if (!known) mustResolve = false;
  }
  std::vector<std::shared_ptr<om::Item>> items;
  try {
    std::istringstream more("1\nmid:m2@example.org\n");
    items = app::ResolveItems(*tree.store, tree.inbox, specs, more);
  } catch (const app::AppError& e) {
    if (e.code() != app::exitcode::kUsage) Fail("an unknown item is not a usage error");
    if (mustResolve) Fail("a number in range, a listed entry id or `all` was refused");
    return 0;
  }
  if (items.size() > count) Fail("more items than the folder holds");
  std::set<std::string> seen;
  for (const auto& item : items) {
    std::string id = item->EntryID();
    if (!tree.ids.count(id)) Fail("an item that is not in the folder");
    if (!seen.insert(id).second) Fail("an item given twice");
  }
  return 0;
}
