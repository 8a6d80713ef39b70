#include "platform/headless/headless_toolkit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/headless/manual_loop.h"
#include "platform/services.h"

namespace stow::headless {
namespace {

// A dialog like the attachment folder dialog: a text box and OK / Cancel.
class PathDialog : public ui::Form {
 public:
  explicit PathDialog(std::string name = "frmAttachmentFolder", bool onTop = false)
      : ui::Form(std::move(name)), onTop_(onTop) {
    okConnection_ = ok.Click.Connect([this] {
      result = txtPath.Text;
      Unload();
    });
    cancelConnection_ = cancel.Click.Connect([this] { Hide(); });
  }
  void OnLoad() override {
    if (onTop_) platform::Platform().ui->SetTopmost(*this, true);
  }
  ui::TextBox& txtPath = Add<ui::TextBox>("txtAttachmentFolderPath");
  ui::CommandButton& ok = Add<ui::CommandButton>("cmdOK");
  ui::CommandButton& cancel = Add<ui::CommandButton>("cmdCancel");
  std::string result;

 private:
  bool onTop_;
  Connection okConnection_, cancelConnection_;
};

class HeadlessToolkitTest : public ::testing::Test {
 protected:
  HeadlessToolkit ui;
  ManualLoop loop;
  platform::ScopedServices services{platform::Services{nullptr, nullptr, &ui, &loop, nullptr}};
};

// (What any toolkit does with forms and questions is the shared UI toolkit suite's.)
TEST_F(HeadlessToolkitTest, AModalFormLeftOpenIsReported) {
  PathDialog withHandler("withHandler"), without("without");
  ui.OnModal("withHandler",
             [](ui::Form& f) { f.Find<ui::TextBox>("txtAttachmentFolderPath")->SetText("x"); });
  withHandler.Show(true);
  without.Show(true);
  EXPECT_EQ(ui.ModalLeftOpen(), (std::vector<std::string>{"withHandler", "without"}));
  EXPECT_EQ(ui.Hides(), (std::vector<std::string>{"withHandler", "without"}));
  // Hiding through a button is a proper close, not "left open".
  ui.ClearRecords();
  ui.OnModal("without",
             [](ui::Form& f) { f.Find<ui::CommandButton>("cmdCancel")->PerformClick(); });
  without.Show(true);
  EXPECT_TRUE(ui.ModalLeftOpen().empty());
  EXPECT_EQ(ui.Hides(), std::vector<std::string>{"without"});
}

TEST_F(HeadlessToolkitTest, ModelessShowsReturnAtOnceAndNestedModalsAreRecordedInOrder) {
  PathDialog batch("fStripAttachments"), inner("frmAttachmentFolder");
  int modelessRuns = 0;
  ui.OnModeless("fStripAttachments", [&](ui::Form&) { ++modelessRuns; });
  ui.OnModal("fSettings", [&](ui::Form&) { inner.Show(true); });
  PathDialog settings("fSettings");
  batch.Show(false);
  EXPECT_TRUE(batch.Visible);
  EXPECT_EQ(modelessRuns, 1);
  settings.Show(true);
  std::vector<std::string> log;
  for (const auto& e : ui.FormEvents())
    log.push_back((e.kind == FormEvent::Show ? (e.modal ? "modal " : "modeless ") : "hide ") +
                  e.form);
  EXPECT_EQ(log, (std::vector<std::string>{"modeless fStripAttachments", "modal fSettings",
                                           "modal frmAttachmentFolder", "hide frmAttachmentFolder",
                                           "hide fSettings"}));
  EXPECT_EQ(ui.FindForm("fStripAttachments"), &batch);
  EXPECT_EQ(ui.FindForm("nothing"), nullptr);
}

TEST_F(HeadlessToolkitTest, MessageBoxesAnswerFromTheQueueThenTheDefault) {
  ui.QueueAnswer(ui::vbYes);
  ui.QueueAnswer(ui::vbNo);
  EXPECT_EQ(ui.MsgBox("Done", ui::vbOKOnly | ui::vbInformation, "T"), ui::vbOK);  // queue untouched
  EXPECT_EQ(ui.MsgBox("Delete?", ui::vbYesNo | ui::vbQuestion, "T"), ui::vbYes);
  EXPECT_EQ(ui.MsgBox("Really?", ui::vbYesNo, "T"), ui::vbNo);
  EXPECT_EQ(ui.QueuedAnswers(), 0u);

  const auto& boxes = ui.MessageBoxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[1].prompt, "Delete?");
  EXPECT_EQ(boxes[1].style, ui::vbYesNo | ui::vbQuestion);
  EXPECT_EQ(boxes[1].title, "T");
  EXPECT_EQ(boxes[1].answer, ui::vbYes);
  EXPECT_EQ(boxes[0].answer, ui::vbOK);
}

TEST_F(HeadlessToolkitTest, MessageBoxesRecordWhichFormsWereOnTop) {
  PathDialog batch("fStripAttachments", /*onTop=*/true);
  batch.Show(false);
  EXPECT_TRUE(ui.IsTopmost(batch));
  ui.MsgBox("while on top", ui::vbOKOnly, "");
  ui.SetTopmost(batch, false);
  ui.MsgBox("after lowering", ui::vbOKOnly, "");
  ui.QueueFolder("/picked");
  ui.SetTopmost(batch, true);
  EXPECT_EQ(ui.BrowseForFolder(42, "Choose"), "/picked");
  batch.Unload();
  ui.MsgBox("after unload", ui::vbOKOnly, "");

  const auto& boxes = ui.MessageBoxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].topmostForms, std::vector<std::string>{"fStripAttachments"});
  EXPECT_TRUE(boxes[1].topmostForms.empty());
  EXPECT_TRUE(boxes[2].topmostForms.empty());
  ASSERT_EQ(ui.Browses().size(), 1u);
  EXPECT_EQ(ui.Browses()[0].topmostForms, std::vector<std::string>{"fStripAttachments"});
  ASSERT_EQ(ui.TopmostChanges().size(), 3u);
  EXPECT_TRUE(ui.TopmostChanges()[0].topmost);
  EXPECT_FALSE(ui.TopmostChanges()[1].topmost);
}

TEST_F(HeadlessToolkitTest, FolderBrowserWindowsAndBringToFront) {
  ui.QueueFolder("/a");
  ui.QueueFolder("");
  EXPECT_EQ(ui.BrowseForFolder(7, "First"), "/a");
  EXPECT_EQ(ui.BrowseForFolder(0, "Second"), "");
  ASSERT_EQ(ui.Browses().size(), 2u);
  EXPECT_EQ(ui.Browses()[0].owner, 7u);
  EXPECT_EQ(ui.Browses()[1].title, "Second");

  ui::WindowHandle main = ui.AddWindow("rctrl_renwnd32", "Inbox - Mail");
  ui::WindowHandle other = ui.AddWindow("rctrl_renwnd32", "Calendar");
  EXPECT_NE(main, 0u);
  EXPECT_NE(main, other);
  EXPECT_EQ(ui.FindWindow("rctrl_renwnd32", "Calendar"), other);
  EXPECT_EQ(ui.FindWindow("rctrl_renwnd32", "Outbox"), 0u);
  EXPECT_EQ(ui.FindWindow("other", "Calendar"), 0u);
  ui.BringToFront(main);
  ui.RemoveWindow(main);
  EXPECT_EQ(ui.FindWindow("rctrl_renwnd32", "Inbox - Mail"), 0u);
  EXPECT_EQ(ui.BroughtToFront(), std::vector<ui::WindowHandle>{main});
}

TEST_F(HeadlessToolkitTest, AFormTimerTicksOnTheLoopAndCanUnloadItsForm) {
  class Closing : public ui::Form {
   public:
    Closing() : ui::Form("fStripAttachments") {
      tick_ = timer.Tick.Connect([this] { Unload(); });
    }
    ui::Timer& timer = Add<ui::Timer>("timerClose");

   private:
    Connection tick_;
  } form;
  form.timer.Interval = std::chrono::milliseconds(500);
  form.Show(false);
  form.timer.SetEnabled(true);
  loop.Advance(std::chrono::milliseconds(499));
  EXPECT_TRUE(form.Loaded());
  loop.Advance(std::chrono::milliseconds(1));
  EXPECT_FALSE(form.Loaded());
  EXPECT_EQ(ui.Hides(), std::vector<std::string>{"fStripAttachments"});
}

}  // namespace
}  // namespace stow::headless
