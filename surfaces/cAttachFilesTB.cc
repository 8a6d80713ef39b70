#include "surfaces/cAttachFilesTB.h"

#include <string>

#include "engine/reattach.h"
#include "platform/com_error.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/product.h"
#include "support/shutdown.h"
#include "surfaces/trackers.h"

namespace stow {

namespace {
constexpr const char* kBarName = "Stowbright Compose";
}  // namespace

cAttachFilesTB::~cAttachFilesTB() {
  IgnoreErrors([&] { subRemoveButtons(); });
}

void cAttachFilesTB::set_oueCurrInspector(std::shared_ptr<om::Inspector> inspector) {
  onInspectorClose_.Disconnect();
  inspector_ = std::move(inspector);
  if (inspector_) {
    onInspectorClose_ = inspector_->CloseEvent().Connect([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->oueCurrInspector_Close();
    });
  }
}

void cAttachFilesTB::set_oueCurrExplorer(std::shared_ptr<om::Explorer> explorer) {
  onExplorerClose_.Disconnect();
  explorer_ = std::move(explorer);
  if (explorer_) {
    onExplorerClose_ = explorer_->CloseEvent().Connect([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->oueCurrExplorer_Close();
    });
  }
}

std::int32_t cAttachFilesTB::GetRandomID() {
  // The upper bound is exclusive there, so one more than the largest key is passed.
  ID = static_cast<std::int32_t>(modFileSystem::GetRandomNumber(111111111, 1000000000));
  return ID;
}

void cAttachFilesTB::subAddButtons() {
  std::shared_ptr<office::CommandBars> bars;
  bool failed = IgnoreErrors([&] {
                  if (inspector_) bars = inspector_->CommandBars();
                }) != 0;
  if (failed || !bars) return;
  IgnoreErrors([&] {
    objExplorerToolbar = bars->Add(kBarName, office::msoBarTop, false, true);
    objExplorerToolbar->Visible = true;
  });
  if (!objExplorerToolbar) return;
  Trap("Toolbar.AddButtons", [&] {
    if (ouaMonitorApp) {
      onQuit_ = ouaMonitorApp->QuitEvent().Connect([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->ouaMonitorApp_Quit();
      });
    }
    auto& controls = objExplorerToolbar->Controls();
    auto button = [&] {
      return std::dynamic_pointer_cast<office::CommandBarButton>(
          controls.Add(office::msoControlButton, 1, true));
    };
    titleButton_ = button();
    titleButton_->Caption = "Stowbright";
    titleButton_->Style = office::msoButtonCaption;
    titleButton_->TooltipText = product::kHomePage;
    titleButton_->Enabled = false;
    titleButton_->State = office::msoButtonUp;
    titleButton_->HyperlinkType = office::msoCommandBarButtonHyperlinkOpen;

    cmdRemoveLinks_ = button();
    cmdRemoveLinks_->Caption = "Remove Links";
    cmdRemoveLinks_->Style = office::msoButtonIcon;
    cmdRemoveLinks_->FaceId = 2137;
    cmdRemoveLinks_->TooltipText = "Remove Links from this email";
    cmdRemoveLinks_->Enabled = true;
    cmdRemoveLinks_->BeginGroup = true;
    onRemoveLinks_ = cmdRemoveLinks_->Click.Connect([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->cmdRemoveLinks_Click();
    });

    cmdAttachfiles_ = button();
    cmdAttachfiles_->Caption = "Attach Files";
    cmdAttachfiles_->Style = office::msoButtonIconAndCaption;
    cmdAttachfiles_->FaceId = 258;
    cmdAttachfiles_->TooltipText = "Attach files associated with this email";
    cmdAttachfiles_->Enabled = true;
    cmdAttachfiles_->BeginGroup = true;
    onAttachFiles_ = cmdAttachfiles_->Click.Connect([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->cmdAttachfiles_Click();
    });
  });
}

void cAttachFilesTB::subRemoveButtons() {
  IgnoreErrors([&] {
    onRemoveLinks_.Disconnect();
    onAttachFiles_.Disconnect();
    for (auto* b : {&titleButton_, &cmdRemoveLinks_, &cmdAttachfiles_}) {
      if (*b) IgnoreErrors([&] { (*b)->Delete(); });
      b->reset();
    }
    if (objExplorerToolbar) IgnoreErrors([&] { objExplorerToolbar->Delete(); });
    objExplorerToolbar.reset();
  });
  for (auto* window :
       {static_cast<om::Window*>(explorer_.get()), static_cast<om::Window*>(inspector_.get())}) {
    if (!window) continue;
    IgnoreErrors([&] {
      std::shared_ptr<office::CommandBars> bars;
      if (auto* e = dynamic_cast<om::Explorer*>(window)) bars = e->CommandBars();
      if (auto* i = dynamic_cast<om::Inspector*>(window)) bars = i->CommandBars();
      if (!bars) return;
      for (auto& bar : bars->All())
        if (bar->Name == kBarName) IgnoreErrors([&] { bar->Delete(); });
    });
  }
  onInspectorClose_.Disconnect();
  onExplorerClose_.Disconnect();
  onQuit_.Disconnect();
  explorer_.reset();
  inspector_.reset();
  ouaMonitorApp.reset();
}

void cAttachFilesTB::cmdRemoveLinks_Click() {
  Trap("Toolbar.cmdRemoveLinks_Click", [&] {
    subRemoveFilesLinks(Required(inspector_).CurrentItem(), strAttachments, true, false);
  });
}

void cAttachFilesTB::cmdAttachfiles_Click() {
  Trap("Toolbar.cmdAttachfiles_Click", [&] {
    subRemoveFilesLinks(Required(inspector_).CurrentItem(), strAttachments, true, true);
    strAttachments.clear();
  });
}

void cAttachFilesTB::oueCurrInspector_Close() {
  Trap("Toolbar.Inspector.Close", [&] {
    auto self = shared_from_this();
    IgnoreErrors([&] {
      Required(Required(modGlobal::objInspectors).colInspectorsComposeTB)
          .Remove(std::to_string(ID));
    });
    subRemoveButtons();
  });
}

void cAttachFilesTB::oueCurrExplorer_Close() {
  Trap("oueCurrExplorer_Close", [&] {
    auto self = shared_from_this();
    subRemoveButtons();
    modMain::subShutDownOutlook();
  });
}

void cAttachFilesTB::ouaMonitorApp_Quit() {
  auto self = shared_from_this();
  IgnoreErrors([&] { subRemoveButtons(); });
  IgnoreErrors([] { modMain::subKillObjects(); });
}

namespace {

std::shared_ptr<cAttachFilesTB> FindComposeBar(const std::string& key) {
  auto inspectors = modGlobal::objInspectors;
  if (!inspectors || !inspectors->colInspectorsComposeTB) return nullptr;
  for (const auto& bar : *inspectors->colInspectorsComposeTB) {
    if (bar && bar->strConversationIndex == key) return bar;
  }
  return nullptr;
}

}  // namespace

std::string GetComposeAttachments(const std::string& key) {
  auto bar = FindComposeBar(key);
  return bar ? bar->strAttachments : std::string();
}

void ClearComposeAttachments(const std::string& key) {
  if (auto bar = FindComposeBar(key)) bar->strAttachments.clear();
}

}  // namespace stow
