#pragma once
// The surface tests' world: the shared add-in environment, an attachment folder,
// mails with one attachment each, and the checks the commands are seen by.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/addin_environment.h"
#include "engine/processEmail.h"
#include "settings/fSettings.h"

namespace stow::testing {

class SurfacesTest : public AddinTest {
 protected:
  void SetUp() override {
    attachments = env.MakeFolder("att");
    env.UseAttachmentFolder(attachments);
    // Questions (detach permission, delete confirmations) are answered Yes.
    env.ui.SetDefaultAnswer(ui::vbYes);
  }
  void TearDown() override {
    env.loop.Advance(std::chrono::seconds(1));
    env.loop.DoEvents();
    ReleaseSettingsDialog();
  }

  std::shared_ptr<om::Item> Mail(const std::string& subject,
                                 std::shared_ptr<om::Folder> folder = nullptr) {
    return env.AddMail(MailAbout(subject), folder);
  }

  std::string attachments;
};

}  // namespace stow::testing
