#pragma once
// The mail client's application object over any store (om::NameSpace): its
// windows (explorers and inspectors) are logical windows that the host program or a
// test opens, selects in, switches, activates and closes, raising the events the
// add-in listens to (NewExplorer, NewInspector, FolderSwitch, Close, Quit).
//
// Windows are in a stack: opening, Activate and Display bring a window to the top;
// the active window is the top one unless SetActiveWindow(nullptr) said that no
// window of the host has the focus. An explorer made by Explorers::Add is not shown
// (and so neither active nor the active explorer) until its Display or Activate.
//
// While a HostApplication lives it owns the store hooks (platform/hostapp/hooks.h):
// Item::Display opens an inspector on the item, NameSpace::PickFolder answers with
// the folder set by SetPickFolderAnswer.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/com_error.h"
#include "platform/object_factory.h"
#include "platform/object_model.h"

namespace stow::hostapp {

class HostApplication;

class HostExplorer : public om::Explorer {
 public:
  HostExplorer(HostApplication* app, std::shared_ptr<om::Folder> folder);
  // om::Window
  std::string Caption() override;
  void Activate() override;
  // om::Explorer
  std::shared_ptr<om::Folder> CurrentFolder() override;
  std::shared_ptr<om::Selection> Selection() override;
  // Raises FolderSwitch (also when the folder is the current one, as the host does on
  // a re-selection); the selection becomes empty.
  void SelectFolder(const std::shared_ptr<om::Folder>& folder) override;
  void Display() override;
  void Close() override;
  Event<>& FolderSwitch() override { return folderSwitch_; }
  Event<>& CloseEvent() override { return close_; }
  // One set of bars per window, made on first use.
  std::shared_ptr<office::CommandBars> CommandBars() override;

  // Drive API.
  void SetSelection(std::vector<std::shared_ptr<om::Item>> items);
  bool Visible() const { return visible_; }
  // Every later call on this window raises errnum::kObjectGone.
  void MakeGone() { gone_ = true; }
  bool IsGone() const { return gone_; }

 private:
  friend class HostApplication;
  void Alive() const;
  HostApplication* app_;
  std::shared_ptr<om::Folder> folder_;
  std::vector<std::shared_ptr<om::Item>> selection_;
  bool visible_ = false;
  bool gone_ = false;
  Event<> folderSwitch_;
  Event<> close_;
  std::shared_ptr<office::CommandBars> commandBars_;
};

class HostInspector : public om::Inspector {
 public:
  HostInspector(HostApplication* app, std::shared_ptr<om::Item> item);
  // om::Window: the caption is the item's subject ("Untitled" when empty) followed by
  // " - Message (HTML)".
  std::string Caption() override;
  void Activate() override;
  // om::Inspector
  std::shared_ptr<om::Item> CurrentItem() override;
  // olSave saves the item first (a failing save leaves the window open and raises);
  // olDiscard and olPromptForSave close without saving.
  void Close(int saveMode) override;
  Event<>& CloseEvent() override { return close_; }
  // One set of bars per window, made on first use.
  std::shared_ptr<office::CommandBars> CommandBars() override;

  void MakeGone() { gone_ = true; }
  bool IsGone() const { return gone_; }

 private:
  friend class HostApplication;
  void Alive() const;
  HostApplication* app_;
  std::shared_ptr<om::Item> item_;
  bool gone_ = false;
  Event<> close_;
  std::shared_ptr<office::CommandBars> commandBars_;
};

class HostApplication : public om::Application {
 public:
  using MailCreator = std::function<std::shared_ptr<om::Item>()>;

  // createMail gives CreateItem(0) its new unsaved mail; factory serves CreateObject
  // (both may be empty: the call then raises).
  explicit HostApplication(std::shared_ptr<om::NameSpace> nameSpace,
                           std::string version = "14.0.0.0", MailCreator createMail = {},
                           platform::ObjectFactory* factory = nullptr);
  ~HostApplication() override;
  HostApplication(const HostApplication&) = delete;
  HostApplication& operator=(const HostApplication&) = delete;

  // om::Application
  std::string Version() override { return version_; }
  // "MAPI" (any case) gives the namespace; anything else raises kInvalidProcedureCall.
  std::shared_ptr<om::NameSpace> GetNamespace(const std::string& type) override;
  // 0 only; anything else raises kInvalidProcedureCall.
  std::shared_ptr<om::Item> CreateItem(int itemType) override;
  std::shared_ptr<om::Window> ActiveWindow() override;
  // The topmost shown explorer / inspector, whether or not it has the focus.
  std::shared_ptr<om::Explorer> ActiveExplorer() override;
  std::shared_ptr<om::Inspector> ActiveInspector() override;
  std::shared_ptr<om::Explorers> Explorers() override;
  std::shared_ptr<om::Inspectors> Inspectors() override;
  ComPtr CreateObject(const std::string& progId) override;
  // Raises QuitEvent, then closes every window (without their Close events, as the
  // host is going away).
  void Quit() override;
  Event<>& QuitEvent() override { return quit_; }

  // Drive API.
  // A shown explorer on folder: raises NewExplorer, then becomes the active window
  // (while NewExplorer runs, the explorer active before still is).
  std::shared_ptr<HostExplorer> OpenExplorer(const std::shared_ptr<om::Folder>& folder);
  // An inspector on item: NewInspector is raised (CurrentItem set by then), then the
  // inspector becomes the active window. As in the host, while NewInspector runs the
  // window that was active before (the one a reply was started from) still is.
  std::shared_ptr<HostInspector> OpenInspector(const std::shared_ptr<om::Item>& item);
  // Brings window to the top; nullptr: no window of the host is active.
  void SetActiveWindow(const std::shared_ptr<om::Window>& window);
  // Removes the window from its collection and the stack, then raises its Close: by the
  // time Close runs the closing window no longer counts, so a handler that sees
  // Explorers().Count() == 0 knows the last explorer went away.
  void CloseWindow(const std::shared_ptr<om::Window>& window);
  // The folder NameSpace::PickFolder answers with (nullptr: the user cancelled).
  void SetPickFolderAnswer(std::shared_ptr<om::Folder> folder) { pickAnswer_ = std::move(folder); }
  int PickFolderCount() const { return pickCount_; }
  // Every later ActiveWindow / ActiveExplorer / ActiveInspector call raises number
  // (0: stop raising).
  void FailActiveWindow(std::int32_t number = errnum::kFail) { failActiveWindow_ = number; }
  void FailActiveExplorer(std::int32_t number = errnum::kFail) { failActiveExplorer_ = number; }
  void FailActiveInspector(std::int32_t number = errnum::kFail) { failActiveInspector_ = number; }
  // Every later call on window raises errnum::kObjectGone; it stays where it is.
  void MakeWindowGone(const std::shared_ptr<om::Window>& window);
  void SetVersion(std::string version) { version_ = std::move(version); }
  bool QuitCalled() const { return quitCalled_; }

  std::vector<std::shared_ptr<HostExplorer>> ExplorerList() const { return explorers_; }
  std::vector<std::shared_ptr<HostInspector>> InspectorList() const { return inspectors_; }

  // Used by the windows.
  void BringToTop(om::Window* window);
  void Show(HostExplorer* explorer);
  void CloseWindow(om::Window* window);
  std::shared_ptr<HostExplorer> AddExplorer(const std::shared_ptr<om::Folder>& folder, bool shown);

 private:
  class ExplorersView;
  class InspectorsView;
  friend class ExplorersView;
  friend class InspectorsView;

  std::shared_ptr<om::Window> Find(om::Window* window) const;

  std::shared_ptr<om::NameSpace> nameSpace_;
  std::string version_;
  MailCreator createMail_;
  platform::ObjectFactory* factory_;
  std::vector<std::shared_ptr<HostExplorer>> explorers_;
  std::vector<std::shared_ptr<HostInspector>> inspectors_;
  // Shown windows, bottom first.
  std::vector<std::shared_ptr<om::Window>> stack_;
  bool noActiveWindow_ = false;
  std::shared_ptr<ExplorersView> explorersView_;
  std::shared_ptr<InspectorsView> inspectorsView_;
  std::shared_ptr<om::Folder> pickAnswer_;
  int pickCount_ = 0;
  std::int32_t failActiveWindow_ = 0;
  std::int32_t failActiveExplorer_ = 0;
  std::int32_t failActiveInspector_ = 0;
  bool quitCalled_ = false;
  Event<> quit_;
};

}  // namespace stow::hostapp
