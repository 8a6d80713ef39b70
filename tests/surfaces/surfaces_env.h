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
    mem::MailSpec mailSpec;
    mailSpec.subject = subject;
    mailSpec.htmlBody = "<html><body><p>" + subject + "</p></body></html>";
    mem::AttachmentSpec a;
    a.fileName = subject + ".pdf";
    a.bytes = "%PDF-" + subject;
    mailSpec.attachments = {a};
    return env.AddMail(mailSpec, folder);
  }

  std::string attachments;
};

}  // namespace stow::testing
