// The UI toolkit contract (platform/ui.h), one typed suite run on the host program's
// terminal toolkit and on the tests' headless one.

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/terminal_toolkit.h"
#include "platform/headless/headless_toolkit.h"
#include "platform/headless/manual_loop.h"
#include "platform/services.h"

namespace stow::ui {
namespace {

// Each toolkit as the contract meets it: nobody there to answer, until Agree().
struct Headless {
  headless::HeadlessToolkit tk;
  void Agree() { tk.SetDefaultAnswer(vbYes); }
  void OnModal(const std::string& form, std::function<void(Form&)> run) {
    tk.OnModal(form, std::move(run));
  }
};
struct Terminal {
  app::Options options;
  std::istringstream in;
  std::ostringstream err;
  app::TerminalToolkit tk{options, in, /*interactive=*/false, err, /*errIsTerminal=*/false};
  void Agree() { options.yes = true; }
  void OnModal(const std::string& form, std::function<void(Form&)> run) {
    tk.SetScript(form, std::move(run));
  }
};

// A text box and OK (keeps the text, unloads) / Cancel (hides); Close refuses to unload.
class Dialog : public Form {
 public:
  explicit Dialog(std::string name) : Form(std::move(name)) {
    ok_ = ok.Click.Connect([this] {
      result = path.Text;
      Unload();
    });
    cancel_ = cancel.Click.Connect([this] { Hide(); });
  }
  void OnLoad() override { ++loads; }
  void OnUnload(bool& cancelUnload) override { cancelUnload = refuseUnload; }
  TextBox& path = Add<TextBox>("txtPath");
  CommandButton& ok = Add<CommandButton>("cmdOK");
  CommandButton& cancel = Add<CommandButton>("cmdCancel");
  std::string result;
  int loads = 0;
  bool refuseUnload = false;

 private:
  Connection ok_, cancel_;
};

template <class Impl>
class ToolkitContract : public ::testing::Test {
 protected:
  Impl impl;
  Toolkit& ui = impl.tk;
  headless::ManualLoop loop;
  platform::ScopedServices services{platform::Services{nullptr, nullptr, &impl.tk, &loop, nullptr}};
};
using Toolkits = ::testing::Types<Headless, Terminal>;
TYPED_TEST_SUITE(ToolkitContract, Toolkits);

TYPED_TEST(ToolkitContract, NobodyThereMeansNoCancelAndNoFolderAndAgreeingMeansYes) {
  Toolkit& ui = this->ui;
  EXPECT_EQ(ui.MsgBox("Done", vbOKOnly | vbInformation, ""), vbOK);
  EXPECT_EQ(ui.MsgBox("Delete?", vbYesNo | vbQuestion, "T"), vbNo);
  EXPECT_EQ(ui.MsgBox("Go on?", vbOKCancel, ""), vbCancel);
  EXPECT_EQ(ui.BrowseForFolder(0, "Choose"), "");
  this->impl.Agree();
  EXPECT_EQ(ui.MsgBox("Delete?", vbYesNo | vbQuestion, "T"), vbYes);
  EXPECT_EQ(ui.MsgBox("Go on?", vbOKCancel, ""), vbOK);
  EXPECT_EQ(ui.MsgBox("Failed", vbOKOnly | vbCritical, ""), vbOK);
}

TYPED_TEST(ToolkitContract, AModalShowReturnsWithTheFormClosedAndAModelessOneAtOnceVisible) {
  this->impl.OnModal("typed", [](Form& f) {
    f.Find<TextBox>("txtPath")->SetText("/srv/att");
    f.Find<CommandButton>("cmdOK")->PerformClick();
  });
  this->impl.OnModal("idle", [](Form&) {});
  Dialog typed("typed"), idle("idle"), unscripted("unscripted"), modeless("modeless");
  typed.Show(true);
  EXPECT_EQ(typed.result, "/srv/att");
  EXPECT_FALSE(typed.Loaded());
  for (Dialog* open : {&idle, &unscripted}) {
    open->Show(true);
    EXPECT_TRUE(open->Loaded()) << open->Name;
    EXPECT_FALSE(open->Visible) << open->Name;
  }
  modeless.Show(false);
  EXPECT_TRUE(modeless.Visible);
  EXPECT_EQ(this->ui.Forms(), (std::vector<Form*>{&idle, &unscripted, &modeless}));
}

TYPED_TEST(ToolkitContract, LoadingOnceUnloadingHonoursItsCancelAndTopmostNeedsALoadedForm) {
  Toolkit& ui = this->ui;
  Dialog a("a"), b("b");
  ui.SetTopmost(a, true);
  EXPECT_FALSE(ui.IsTopmost(a));
  ui.LoadForm(a);
  ui.LoadForm(b);
  ui.LoadForm(a);
  EXPECT_EQ(a.loads, 1);
  EXPECT_EQ(ui.Forms(), (std::vector<Form*>{&a, &b}));
  ui.SetTopmost(a, true);
  EXPECT_TRUE(ui.IsTopmost(a));
  ui.SetTopmost(a, false);
  EXPECT_FALSE(ui.IsTopmost(a));
  ui.SetTopmost(a, true);
  a.refuseUnload = true;
  EXPECT_FALSE(ui.UnloadForm(a));
  EXPECT_TRUE(a.Loaded());
  a.refuseUnload = false;
  EXPECT_TRUE(ui.UnloadForm(a));
  EXPECT_FALSE(ui.IsTopmost(a));
  EXPECT_TRUE(ui.UnloadForm(a));
  EXPECT_EQ(ui.Forms(), std::vector<Form*>{&b});
  EXPECT_EQ(ui.FindWindow("rctrl_renwnd32", "no such window"), 0u);
  ui.BringToFront(0x4242);  // unknown: ignored
}

}  // namespace
}  // namespace stow::ui
