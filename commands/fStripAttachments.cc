#include "commands/fStripAttachments.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "commands/AlwaysOnTop.h"
#include "commands/copyAttachments.h"
#include "engine/deleteItem.h"
#include "engine/naming.h"
#include "engine/processEmail.h"
#include "engine/reattach.h"
#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/product.h"

namespace stow {

namespace {

constexpr const char* kNoCommonFolder =
    "You have not specified the attachment file folder to store the detached files yet!";

std::string PerFolderMessage(const std::string& quotedName) {
  return "You have not specified an attachment file folder for " + quotedName +
         " folder yet!\r\n\r\nClick the button 'Specify Attachment Folder...' to set one and "
         "then continue.";
}

// The folder's name in single quotes, or "this Outlook" when it cannot be read.
std::string QuotedName(const std::function<std::shared_ptr<om::Folder>()>& folder) {
  return ValueOr(std::string("this Outlook"),
                 [&] { return "'" + Required(folder()).Name() + "'"; });
}

std::string Trim(const std::string& s) {
  auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

std::vector<std::shared_ptr<fStripAttachments>>& Live() {
  return modGlobal::colBatchWindows;
}

void Release(const fStripAttachments* window) {
  std::erase_if(Live(), [&](const auto& w) { return w.get() == window; });
}

}  // namespace

fStripAttachments::fStripAttachments()
    : ui::Form("fStripAttachments"),
      lblFolder(Add<ui::Label>("lblFolder")),
      lblProcessing(Add<ui::Label>("lblProcessing")),
      pb(Add<ui::ProgressBar>("pb")),
      cmdCancel(Add<ui::CommandButton>("cmdCancel")),
      timerClose(Add<ui::Timer>("timerClose")) {
  Caption = "Processing multiple mails";
  FontName = "Tahoma";
  lblProcessing.Caption = "Processing";
  cmdCancel.Caption = "Cancel";
  timerClose.Interval = std::chrono::milliseconds(500);
  onCancel_ = cmdCancel.Click.Connect([this] { cmdCancel_Click(); });
  onTick_ = timerClose.Tick.Connect([this] { timerClose_Timer(); });
}

fStripAttachments::~fStripAttachments() = default;

std::shared_ptr<fStripAttachments> fStripAttachments::Create() {
  // Windows unloaded while no loop was there to release them go now.
  std::erase_if(Live(), [](const auto& w) { return !w->Loaded() && w->Stopped(); });
  std::shared_ptr<fStripAttachments> window(new fStripAttachments());
  Live().push_back(window);
  return window;
}

std::size_t fStripAttachments::LiveCount() {
  return Live().size();
}

void fStripAttachments::OnLoad() {
  AlwaysOnTop::SetAlwaysOnTop(*this, true);
}

void fStripAttachments::OnUnload(bool& cancel) {
  (void)cancel;
  // An unloaded window never takes another item, even when it was unloaded from
  // inside its own batch (the host quitting while the batch yields).
  blnStopped = true;
  timerClose.SetEnabled(false);
  // The window is still in use by whoever unloads it, so it is released on the next
  // turn of the loop rather than here.
  if (auto* loop = platform::Platform().loop) {
    loop->Post([self = shared_from_this()] { Release(self.get()); });
  }
}

void fStripAttachments::LoadBatchOperation() {
  auto self = shared_from_this();
  Trap("Toolbar.LoadBatchOperation", [&] {
    if (!blnAllItemsInFolder) {
      if (!blnCopyToFolder)
        BatchProcessSelection();
      else
        BatchCopySelection();
    } else {
      if (!blnRemoveAttachments)
        BatchProcessAllItems();
      else
        BatchRemoveAttachments();
    }
  });
}

void fStripAttachments::BeginProgress(std::int64_t count) {
  if (auto* loop = platform::Platform().loop) loop->DoEvents();
  pb.Min = 1;
  pb.Max = static_cast<float>(count);
  pb.Visible = true;
}

bool fStripAttachments::StepProgress(std::int64_t n, std::int64_t count) {
  if (auto* loop = platform::Platform().loop) loop->DoEventsBetweenItems();
  // Written in place: the caption of every item of a large folder is set.
  char text[64];
  std::snprintf(text, sizeof text, "Processing.... (%lld Of %lld)", static_cast<long long>(n),
                static_cast<long long>(count));
  lblProcessing.Caption = text;
  // A folder that grows during the walk may yield more items than were counted; the
  // bar stays within its bounds.
  pb.Value = static_cast<float>(std::min(n, count));
  return !blnStopped;
}

void fStripAttachments::EndBatch() {
  objFolder.reset();
  objSelection.reset();
  blnStopped = true;
  if (Loaded()) timerClose.SetEnabled(true);
}

void fStripAttachments::ShowMessageOffTop(const std::string& prompt) {
  AlwaysOnTop::SetAlwaysOnTop(*this, false);
  if (auto* ui = platform::Platform().ui) ui->MsgBox(prompt, ui::vbCritical, product::kTitle);
}

void fStripAttachments::BatchProcessSelection() {
  Trap("Toolbar.BatchProcessSelection", [&] {
    auto selection = objSelection;
    std::int64_t count =
        selection ? ValueOr<std::int64_t>(0, [&] { return selection->Count(); }) : 0;
    if (count < 1) return EndBatch();
    BeginProgress(count);
    std::string path;
    if (blnDetach) {
      if (!blnAskForFolder) {
        path = GetAttachmentFolderPathSetByUser(nullptr);
        if (path.empty()) {
          if (Required(modGlobal::objSettings).AttachmentFolderOption != 0) {
            ShowMessageOffTop(kNoCommonFolder);
          } else {
            std::string name = QuotedName([] {
              return Required(Required(modGlobal::objOutlook).ActiveExplorer()).CurrentFolder();
            });
            ShowMessageOffTop(PerFolderMessage(name));
          }
          AlwaysOnTop::SetAlwaysOnTop(*this, true);
          return EndBatch();
        }
      } else {
        AlwaysOnTop::SetAlwaysOnTop(*this, false);
        path = fncAskForFolderPath();
        AlwaysOnTop::SetAlwaysOnTop(*this, true);
        if (path.empty()) return EndBatch();
      }
    }
    // The mails' flushes are shared; all are finished before the batch ends.
    DetachBatch detaches;
    for (std::int64_t n = 1; n <= count; ++n) {
      if (!StepProgress(n, count)) break;
      IgnoreErrors([&] {
        auto item = selection->Item(n);
        if (!item) return;
        if (!blnDetach) {
          ReAttachFiles(item, true, "");
        } else if (!path.empty()) {
          ProcessEmail(item, false, path, false);
        }
      });
    }
    detaches.Finish();
    EndBatch();
  });
}

void fStripAttachments::BatchCopySelection() {
  Trap("Toolbar.BatchProcessSelection", [&] {
    auto selection = objSelection;
    std::int64_t count =
        selection ? ValueOr<std::int64_t>(0, [&] { return selection->Count(); }) : 0;
    if (count < 1) return EndBatch();
    BeginProgress(count);
    for (std::int64_t n = 1; n <= count; ++n) {
      if (!StepProgress(n, count)) break;
      IgnoreErrors([&] {
        auto item = selection->Item(n);
        if (item && !strCopyFolderPath.empty()) {
          SaveAttachmentsToFolder(item, strCopyFolderPath, true, true);
        }
      });
    }
    EndBatch();
  });
}

void fStripAttachments::BatchProcessAllItems() {
  Trap("Toolbar.BatchProcessAllItems", [&] {
    auto folder = objFolder;
    std::shared_ptr<om::Items> items;
    std::int64_t count = 0;
    IgnoreErrors([&] {
      items = Required(folder).Items();
      count = Required(items).Count();
    });
    if (!items || count < 1) return EndBatch();
    BeginProgress(count);
    std::string path;
    if (blnDetach) {
      path = Trim(GetAttachmentFolderPathSetByUser(folder));
      if (path.empty()) {
        if (Required(modGlobal::objSettings).AttachmentFolderOption != 0) {
          ShowMessageOffTop(kNoCommonFolder);
        } else {
          std::string name = QuotedName([&] { return folder; });
          if (blnShowFolderMessage) ShowMessageOffTop(PerFolderMessage(name));
        }
        AlwaysOnTop::SetAlwaysOnTop(*this, true);
        return EndBatch();
      }
    }
    DetachBatch detaches;
    auto walk = items->Enumerate();
    std::int64_t n = 0;
    while (auto item = ValueOr(std::shared_ptr<om::Item>(), [&] { return walk->Next(); })) {
      ++n;
      if (!StepProgress(n, count)) break;
      IgnoreErrors([&] {
        if (blnDetach) {
          if (blnSkipProcessed && IsProcessed(item)) return;
          if (!path.empty()) ProcessEmail(item, false, path, false);
        } else {
          ReAttachFiles(item, true, "");
        }
      });
    }
    detaches.Finish();
    EndBatch();
  });
}

void fStripAttachments::BatchRemoveAttachments() {
  Trap("Toolbar.BatchRemoveAttachments", [&] {
    auto folder = objFolder;
    std::shared_ptr<om::Items> items;
    std::int64_t count = 0;
    IgnoreErrors([&] {
      items = Required(folder).Items();
      count = Required(items).Count();
    });
    if (!items || count < 1) return EndBatch();
    BeginProgress(count);
    auto walk = items->Enumerate();
    std::int64_t n = 0;
    while (auto item = ValueOr(std::shared_ptr<om::Item>(), [&] { return walk->Next(); })) {
      ++n;
      if (!StepProgress(n, count)) break;
      IgnoreErrors([&] {
        if (blnSkipProcessed && IsProcessed(item)) return;
        subDeleteAttachments(item);
      });
    }
    EndBatch();
  });
}

void fStripAttachments::cmdCancel_Click() {
  auto self = shared_from_this();
  if (blnStopped) Unload();
  blnStopped = true;
}

void fStripAttachments::timerClose_Timer() {
  auto self = shared_from_this();
  timerClose.SetEnabled(false);
  Unload();
}

}  // namespace stow
