#pragma once
// A fresh Maildir per test, messages written as files the way a delivery agent
// writes them, and a minimal message loop that serves file descriptors.

#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "common/hash.h"
#include "common/mime_message.h"
#include "platform/com_error.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/maildir_store.h"
#include "platform/message_loop.h"
#include "platform/services.h"

namespace stow::maildir::testing {

namespace fs = std::filesystem;
using ::stow::testing::Base64;
using ::stow::testing::Sha256;

using ::stow::testing::ReadAll;
using ::stow::testing::SeededBytes;
using ::stow::testing::WriteAll;

inline const std::string kHead =
    "Message-ID: <m1@example.org>\nDate: Tue, 02 Jan 2024 10:00:00 +0000\n"
    "From: Ann <ann@example.org>\nTo: Bob <bob@example.org>\nMIME-Version: 1.0\n";

// Serves only what the store uses: fd watches.
class FdLoop : public platform::MessageLoop {
 public:
  void Post(Task t) override { posted_.push_back(std::move(t)); }
  void DoEvents() override {
    auto posted = std::move(posted_);
    posted_.clear();
    for (auto& t : posted) t();
    std::vector<pollfd> fds;
    for (auto& [fd, task] : watches_) fds.push_back({fd, POLLIN, 0});
    if (fds.empty() || poll(fds.data(), fds.size(), 0) <= 0) return;
    for (auto& p : fds)
      if ((p.revents & POLLIN) && watches_.count(p.fd)) {
        auto task = watches_[p.fd];
        task();
      }
  }
  void Run() override {}
  void Quit() override {}
  platform::TimerId SetTimer(std::chrono::milliseconds, Task) override { return 0; }
  void KillTimer(platform::TimerId) override {}
  void WatchFd(int fd, Task onReadable) override { watches_[fd] = std::move(onReadable); }
  void UnwatchFd(int fd) override { watches_.erase(fd); }
  std::chrono::steady_clock::time_point Now() override { return std::chrono::steady_clock::now(); }
  std::size_t WatchCount() const { return watches_.size(); }

 private:
  std::vector<Task> posted_;
  std::map<int, Task> watches_;
};

class MaildirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.root();
    root_ = dir_ / "Maildir";
    MaildirStore::Create(root_.string());
    store_ = OpenStore();
  }
  // Another store over the test's Maildir and secret (as another process opens it).
  std::shared_ptr<MaildirStore> OpenStore(Options o = {}) const {
    o.secretPath = (dir_ / "secret").string();
    return MaildirStore::Open(root_.string(), o);
  }
  void TearDown() override { store_.reset(); }

  // Delivers text into folder (relative Maildir directory, "" for the Inbox) as
  // sub/<unique><suffix>; returns the file's path.
  fs::path Deliver(const std::string& text, const std::string& suffix = ":2,S",
                   const std::string& folder = "", const std::string& sub = "cur") {
    fs::path d = folder.empty() ? root_ : root_ / folder;
    for (const char* s : {"cur", "new", "tmp"}) fs::create_directories(d / s);
    std::string unique = NewUniqueName(1704189600 + serial_++);
    fs::path tmp = d / "tmp" / unique;
    WriteAll(tmp, text);
    fs::path dest = d / sub / (unique + suffix);
    fs::rename(tmp, dest);
    return dest;
  }

  std::shared_ptr<om::Item> ItemAt(const fs::path& file) {
    auto ref = store_->RefFor({"Inbox"});
    std::string sub = file.parent_path().filename().string();
    if (file.parent_path().parent_path() != root_) {
      auto names = FolderNamesOfDirectory(file.parent_path().parent_path().filename().string());
      ref = store_->RefFor(names);
    }
    return store_->MakeItem(ref, sub, file.filename().string());
  }

  // Files of the Inbox (cur/ and new/), as "sub/name".
  std::vector<std::string> InboxFiles() const {
    std::vector<std::string> out;
    for (const char* s : {"cur", "new"})
      for (auto& e : fs::directory_iterator(root_ / s))
        out.push_back(std::string(s) + "/" + e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  std::int32_t ErrorOf(const std::function<void()>& step) {
    try {
      step();
    } catch (const ComError& e) {
      lastError_ = e.Description();
      return e.Number();
    }
    return 0;
  }

  ::stow::testing::TempDir tmp_{"maildir"};
  fs::path dir_, root_;
  std::shared_ptr<MaildirStore> store_;
  std::string lastError_;
  int serial_ = 0;
};

}  // namespace stow::maildir::testing
