// libFuzzer target: the Maildir store's mapping of one message file to an item
// (message class, subject, bodies, dates, conversation, stored properties, hidden
// flags and attachments) and the faithful decoding of every attachment. Built by
// tests/fuzz/run only.
//
// Beyond "no crash", the store promises that SaveAsFile writes exactly Size()
// bytes and leaves no file behind when it refuses, and that nothing a message says
// makes it write outside the path it was given.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/com_error.h"
#include "platform/maildir/maildir_store.h"

namespace fs = std::filesystem;
using namespace stow;

namespace {

struct Tree {
  fs::path root;
  std::shared_ptr<maildir::MaildirStore> store;
  Tree() {
    char tmpl[] = "/tmp/stowbright-fuzz-maildir-XXXXXX";
    root = mkdtemp(tmpl);
    for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(root / "Maildir" / sub);
    fs::create_directories(root / "out");
    maildir::Options o;
    o.secretPath = (root / "secret").string();
    maildir::MaildirStore::Create((root / "Maildir").string());
    store = maildir::MaildirStore::Open((root / "Maildir").string(), o);
  }
  ~Tree() { fs::remove_all(root); }
};

template <class F>
void Try(F f) {
  try {
    f();
  } catch (const ComError&) {
    // A refusal is a fine answer to a malformed message; a crash is not.
  }
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_maildir_item: %s\n", what);
  std::abort();
}

// Everything under dir, so that a write anywhere but the given path shows.
std::size_t CountEntries(const fs::path& dir) {
  std::size_t n = 0;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it)
    ++n;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Tree tree;
  static std::uint64_t serial = 0;
  // A new unique name per input: nothing the store may remember of the previous
  // message can stand in for reading this one.
  std::string name = "1709543700.M" + std::to_string(++serial) + "P1.fuzz:2,S";
  fs::path file = tree.root / "Maildir" / "cur" / name;
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const fs::path outDir = tree.root / "out";
  Try([&] {
    auto inbox = tree.store->GetDefaultFolder(om::olFolderInbox);
    auto walk = inbox->Items()->Enumerate();
    while (auto item = walk->Next()) {
      Try([&] { item->MessageClass(); });
      Try([&] { item->EntryID(); });
      Try([&] { item->Subject(); });
      Try([&] { item->ReceivedTime(); });
      Try([&] { item->ConversationIndex(); });
      Try([&] { item->ConversationTopic(); });
      Try([&] { item->HTMLBody(); });
      Try([&] { item->Body(); });
      Try([&] { item->To(); });
      Try([&] { item->BillingInformation(); });
      Try([&] {
        auto props = item->UserProperties();
        props->Count();
        if (auto p = props->Find("QLXProcessedAttachments")) {
          p->Name();
          p->Type();
          p->GetValue();
        }
      });
      Try([&] {
        auto atts = item->Attachments();
        std::int64_t count = atts->Count();
        for (std::int64_t i = 1; i <= count; ++i) Try([&] { atts->Item(i)->FileName(); });
        for (auto& a : atts->All()) {
          Try([&] { a->FileName(); });
          Try([&] { a->DisplayName(); });
          Try([&] { a->Field(om::PR_ATTACH_CONTENT_ID); });
          Try([&] { a->Field(om::PR_ATTACHMENT_HIDDEN); });
          const fs::path saved = outDir / "saved";
          std::int64_t bytes = -1;
          Try([&] { bytes = a->Size(); });
          bool ok = false;
          Try([&] {
            a->SaveAsFile(saved.string());
            ok = true;
          });
          std::error_code ec;
          if (ok) {
            auto written = fs::file_size(saved, ec);
            if (ec) Fail("SaveAsFile succeeded but wrote no file");
            if (bytes >= 0 && written != static_cast<std::uintmax_t>(bytes))
              Fail("SaveAsFile wrote a size other than Size()");
          } else if (fs::exists(saved, ec)) {
            Fail("SaveAsFile refused but left a file behind");
          }
          if (CountEntries(outDir) > (ok ? 1u : 0u)) Fail("SaveAsFile wrote beside its path");
          fs::remove(saved, ec);
        }
      });
    }
  });
  std::error_code ec;
  fs::remove(file, ec);
  for (auto& e : fs::directory_iterator(outDir)) fs::remove_all(e.path());
  // Reading never writes: the store leaves nothing in tmp/ or new/.
  if (!fs::is_empty(tree.root / "Maildir" / "tmp") || !fs::is_empty(tree.root / "Maildir" / "new"))
    Fail("reading a message left a file in the Maildir");
  for (auto& e : fs::directory_iterator(tree.root / "Maildir" / "cur")) {
    (void)e;
    Fail("reading a message left a file in cur/");
  }
  return 0;
}
