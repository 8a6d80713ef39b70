#pragma once
// The command tests' world: the shared add-in environment plus helpers to fill a
// folder, find the batch window and let it close.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "commands/fStripAttachments.h"
#include "common/addin_environment.h"
#include "engine/processEmail.h"

namespace stow::testing {

class CommandsTest : public AddinTest {
 protected:
  void TearDown() override {
    // Lets every batch window close and be released while the services exist.
    env.loop.Advance(std::chrono::seconds(1));
    env.loop.DoEvents();
  }

  std::vector<std::shared_ptr<om::Item>> AddMails(int n, const std::string& prefix,
                                                  std::shared_ptr<om::Folder> folder = nullptr,
                                                  bool withAttachment = true) {
    std::vector<std::shared_ptr<om::Item>> items;
    for (int i = 0; i < n; ++i)
      items.push_back(env.AddMail(MailAbout(prefix + std::to_string(i), withAttachment), folder));
    return items;
  }

  fStripAttachments* BatchWindow() {
    return dynamic_cast<fStripAttachments*>(env.ui.FindForm("fStripAttachments"));
  }

  int BatchShows() {
    int n = 0;
    for (const auto& e : env.ui.Shows())
      if (e.form == "fStripAttachments") {
        EXPECT_FALSE(e.modal);
        ++n;
      }
    return n;
  }

  // Runs task at the k-th turn of the loop from now (k >= 1).
  void AtTurn(int k, std::function<void()> task) {
    if (k <= 1) {
      env.loop.Post(std::move(task));
      return;
    }
    env.loop.Post([this, k, task = std::move(task)]() mutable { AtTurn(k - 1, std::move(task)); });
  }
};

}  // namespace stow::testing
