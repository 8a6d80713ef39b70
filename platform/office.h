#pragma once
// The host's office user interface as the add-in sees it: the ribbon (a handle the
// ribbon gives the add-in when it loads, and the controls it passes to callbacks) and
// command bars (bars of buttons and popups in a window, with Click events).
//
// The ribbon handle is the host's (IRibbonUI); everything else here is a concrete
// model, since no host supplies command bars of its own: the host program (and a
// test) reads the bars the add-in built and clicks their buttons.
//
// Conventions, as in the host:
// - Collections are 1-based; Item raises errnum::kInvalidProcedureCall for an index
//   or name that is not there.
// - A deleted bar or control leaves its collection; any later Delete on it, or any
//   Add to a deleted bar or popup, raises errnum::kObjectGone.
// - Two bars may carry the same name (a bar left by an earlier run); Item(name)
//   finds the first.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"

namespace stow {

// The ribbon's handle, given to the add-in's OnLoad callback.
class IRibbonUI {
 public:
  virtual ~IRibbonUI() = default;
  // Asks the ribbon to call the control's get... callbacks again when it is next drawn.
  virtual void InvalidateControl(const std::string& id) = 0;
  // Same for every control of the add-in.
  virtual void Invalidate() = 0;
};

// A ribbon control as passed to a callback; only its Id is read.
class IRibbonControl {
 public:
  virtual ~IRibbonControl() = default;
  // The id attribute the ribbon XML gave the control.
  virtual std::string Id() const = 0;
};

}  // namespace stow

namespace stow::office {

// A ribbon control made by the host program (or a test) to run a callback.
class RibbonControl : public IRibbonControl {
 public:
  explicit RibbonControl(std::string id) : id_(std::move(id)) {}
  std::string Id() const override { return id_; }

 private:
  std::string id_;
};

// A ribbon handle that records what it was asked to redraw.
class RibbonUI : public IRibbonUI {
 public:
  void InvalidateControl(const std::string& id) override { invalidated_.push_back(id); }
  void Invalidate() override { invalidated_.push_back("*"); }
  // Ids in the order they were invalidated ("*" for Invalidate()).
  const std::vector<std::string>& Invalidated() const { return invalidated_; }
  void Clear() { invalidated_.clear(); }

 private:
  std::vector<std::string> invalidated_;
};

// Control types of CommandBarControls::Add.
enum MsoControlType : int { msoControlButton = 1, msoControlPopup = 10 };
// Button styles.
enum MsoButtonStyle : int {
  msoButtonIcon = 1,
  msoButtonCaption = 2,
  msoButtonIconAndCaption = 3,
};
// Bar positions.
enum MsoBarPosition : int {
  msoBarLeft = 0,
  msoBarTop = 1,
  msoBarRight = 2,
  msoBarBottom = 3,
  msoBarFloating = 4,
};
enum MsoButtonState : int { msoButtonUp = 0, msoButtonDown = -1 };
enum MsoCommandBarButtonHyperlinkType : int {
  msoCommandBarButtonHyperlinkNone = 0,
  msoCommandBarButtonHyperlinkOpen = 1,
};

class CommandBar;
class CommandBarControls;
class CommandBarPopup;

class CommandBarControl : public std::enable_shared_from_this<CommandBarControl> {
 public:
  virtual ~CommandBarControl() = default;
  CommandBarControl(const CommandBarControl&) = delete;
  CommandBarControl& operator=(const CommandBarControl&) = delete;

  // msoControlButton or msoControlPopup.
  int Type() const { return type_; }
  // The built-in identifier it was added with (1: a custom button).
  int Id() const { return id_; }
  bool Temporary() const { return temporary_; }

  std::string Caption;
  std::string TooltipText;
  std::string Tag;
  // Starts a new group (a separator line before it).
  bool BeginGroup = false;
  bool Enabled = true;
  bool Visible = true;

  // Removes the control from the controls it is in; raises kObjectGone the second time.
  void Delete();
  bool Deleted() const { return deleted_; }
  // What a click does: a button raises Click when enabled and visible; others nothing.
  virtual void Execute() {}

 protected:
  CommandBarControl(int type, int id, bool temporary)
      : type_(type), id_(id), temporary_(temporary) {}

 private:
  friend class CommandBarControls;
  int type_;
  int id_;
  bool temporary_;
  bool deleted_ = false;
  CommandBarControls* parent_ = nullptr;
};

class CommandBarButton : public CommandBarControl {
 public:
  CommandBarButton(int id, bool temporary) : CommandBarControl(msoControlButton, id, temporary) {}

  // msoButtonIcon, msoButtonCaption or msoButtonIconAndCaption (host default: icon).
  int Style = msoButtonIcon;
  // Number of a built-in icon; 0 none.
  int FaceId = 0;
  int State = msoButtonUp;
  int HyperlinkType = msoCommandBarButtonHyperlinkNone;

  Event<> Click;
  void Execute() override {
    if (Enabled && Visible && !Deleted()) Click.Raise();
  }
};

class CommandBarControls {
 public:
  CommandBarControls() = default;
  // Controls still held elsewhere outlive their bar without pointing back into it.
  ~CommandBarControls();
  CommandBarControls(const CommandBarControls&) = delete;
  CommandBarControls& operator=(const CommandBarControls&) = delete;
  int Count() const { return static_cast<int>(controls_.size()); }
  // 1-based; raises kInvalidProcedureCall outside 1..Count.
  std::shared_ptr<CommandBarControl> Item(int index) const;
  // The first control with this caption; raises kInvalidProcedureCall when none.
  std::shared_ptr<CommandBarControl> Item(const std::string& caption) const;
  // A snapshot, in order.
  std::vector<std::shared_ptr<CommandBarControl>> All() const { return controls_; }
  // Adds a control at the end: msoControlButton gives a CommandBarButton,
  // msoControlPopup a CommandBarPopup; any other type raises kInvalidProcedureCall.
  // Raises kObjectGone when the bar or popup holding these controls was deleted.
  std::shared_ptr<CommandBarControl> Add(int type, int id = 1, bool temporary = true);

 private:
  friend class CommandBarControl;
  friend class CommandBar;
  friend class CommandBarPopup;
  void Remove(const CommandBarControl* control);
  void DeleteAll();
  bool ownerDeleted_ = false;
  std::vector<std::shared_ptr<CommandBarControl>> controls_;
};

class CommandBarPopup : public CommandBarControl {
 public:
  CommandBarPopup(int id, bool temporary) : CommandBarControl(msoControlPopup, id, temporary) {}
  ~CommandBarPopup() override;
  CommandBarControls& Controls() { return controls_; }

 private:
  friend class CommandBarControl;
  CommandBarControls controls_;
};

class CommandBars;

class CommandBar : public std::enable_shared_from_this<CommandBar> {
 public:
  CommandBar(std::string name, int position, bool menuBar, bool temporary)
      : Name(std::move(name)), Position(position), menuBar_(menuBar), temporary_(temporary) {}
  CommandBar(const CommandBar&) = delete;
  CommandBar& operator=(const CommandBar&) = delete;

  std::string Name;
  // A new bar is hidden until made visible.
  bool Visible = false;
  bool Enabled = true;
  // MsoBarPosition.
  int Position = msoBarTop;
  int RowIndex = 0;
  int Top = 0;
  int Left = 0;
  bool MenuBar() const { return menuBar_; }
  bool Temporary() const { return temporary_; }

  CommandBarControls& Controls() { return controls_; }
  // Removes the bar from its window; raises kObjectGone the second time.
  void Delete();
  bool Deleted() const { return deleted_; }

 private:
  friend class CommandBars;
  bool menuBar_;
  bool temporary_;
  bool deleted_ = false;
  CommandBars* parent_ = nullptr;
  CommandBarControls controls_;
};

// The command bars of one window.
class CommandBars {
 public:
  CommandBars() = default;
  ~CommandBars();
  CommandBars(const CommandBars&) = delete;
  CommandBars& operator=(const CommandBars&) = delete;
  int Count() const { return static_cast<int>(bars_.size()); }
  // 1-based; raises kInvalidProcedureCall outside 1..Count.
  std::shared_ptr<CommandBar> Item(int index) const;
  // The first bar of that name (names compared as they are); raises
  // kInvalidProcedureCall when none.
  std::shared_ptr<CommandBar> Item(const std::string& name) const;
  std::vector<std::shared_ptr<CommandBar>> All() const { return bars_; }
  // A new, hidden bar at the end. The host places it: Top and Left follow the bars
  // already there, RowIndex is one more than the last bar's.
  std::shared_ptr<CommandBar> Add(const std::string& name, int position = msoBarTop,
                                  bool menuBar = false, bool temporary = true);
  // Deletes the first bar of that name; raises kInvalidProcedureCall when none.
  void Delete(const std::string& name);

 private:
  friend class CommandBar;
  void Remove(const CommandBar* bar);
  std::vector<std::shared_ptr<CommandBar>> bars_;
};

// Tests and the host program: the buttons of a bar in order, popups' buttons
// following their popup, each with its depth (0 on the bar, 1 in a popup).
struct ControlRow {
  std::shared_ptr<CommandBarControl> control;
  int depth = 0;
};
std::vector<ControlRow> Flatten(CommandBar& bar);

}  // namespace stow::office
