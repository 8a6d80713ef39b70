#pragma once
// Forms and their controls. A form is a plain object holding controls with the
// captions, texts and event handlers the add-in gives them; the UI toolkit
// (platform/ui.h) shows it. Positions and sizes are in twips, as the add-in
// computes them (15 twips to a pixel).

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/message_loop.h"

namespace stow::ui {

class Form;

class Control {
 public:
  explicit Control(std::string name) : Name(std::move(name)) {}
  virtual ~Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  std::string Name;
  bool Visible = true;
  bool Enabled = true;
};

class Label : public Control {
 public:
  using Control::Control;
  std::string Caption;
  Event<> Click;
};

class TextBox : public Control {
 public:
  using Control::Control;
  std::string Text;
  bool MultiLine = false;
  bool Locked = false;
  Event<> Change;
  void SetText(const std::string& text) {
    Text = text;
    Change.Raise();
  }
};

class CommandButton : public Control {
 public:
  using Control::Control;
  std::string Caption;
  // Shown while the pointer rests on the button.
  std::string ToolTipText;
  Event<> Click;
  // What a user's click does: nothing when the button is disabled or hidden.
  void PerformClick() {
    if (Enabled && Visible) Click.Raise();
  }
};

// Value: 0 unchecked, 1 checked, 2 grayed.
class CheckBox : public Control {
 public:
  using Control::Control;
  std::string Caption;
  int Value = 0;
  Event<> Click;
  void SetValue(int v) {
    if (Value == v) return;
    Value = v;
    Click.Raise();
  }
};

class OptionButton : public Control {
 public:
  using Control::Control;
  std::string Caption;
  bool Value = false;
  Event<> Click;
  void SetValue(bool v) {
    Value = v;
    if (v) Click.Raise();
  }
};

class Frame : public Control {
 public:
  using Control::Control;
  std::string Caption;
};

class PictureBox : public Control {
 public:
  using Control::Control;
};

class ProgressBar : public Control {
 public:
  using Control::Control;
  float Min = 0, Max = 100, Value = 0;
};

struct ListItem {
  std::string Key;
  std::string Text;
  std::vector<std::string> SubItems;
  bool Selected = false;
  std::string Tag;
};

struct ColumnHeader {
  std::string Text;
  double Width = 0;
};

class ListView : public Control {
 public:
  using Control::Control;
  std::vector<ColumnHeader> ColumnHeaders;
  std::vector<ListItem> ListItems;
  Event<ListItem&> ItemClick;
  // Index (0-based) of the selected item, -1 when none.
  int SelectedIndex() const {
    for (std::size_t i = 0; i < ListItems.size(); ++i)
      if (ListItems[i].Selected) return static_cast<int>(i);
    return -1;
  }
  void Select(int index) {
    for (std::size_t i = 0; i < ListItems.size(); ++i)
      ListItems[i].Selected = static_cast<int>(i) == index;
    if (index >= 0 && index < static_cast<int>(ListItems.size())) ItemClick.Raise(ListItems[index]);
  }
};

struct ToolbarButton {
  std::string Key;
  std::string Caption;
  std::string ToolTipText;
  bool Value = false;  // pressed
};

class Toolbar : public Control {
 public:
  using Control::Control;
  std::vector<ToolbarButton> Buttons;
  Event<ToolbarButton&> ButtonClick;
  void PerformClick(const std::string& key) {
    for (auto& b : Buttons)
      if (b.Key == key) {
        ButtonClick.Raise(b);
        return;
      }
  }
};

// A timer control: ticks every Interval while Enabled, on the message loop.
class Timer : public Control {
 public:
  explicit Timer(std::string name) : Control(std::move(name)) { Enabled = false; }
  ~Timer() override { Disarm(); }
  std::chrono::milliseconds Interval{0};
  Event<> Tick;
  void SetEnabled(bool on);
  bool IsEnabled() const { return Enabled; }

 private:
  void Disarm();
  platform::TimerId id_ = 0;
};

class Form {
 public:
  explicit Form(std::string name) : Name(std::move(name)) {}
  virtual ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  std::string Name;
  std::string Caption;
  std::string FontName = "Tahoma";
  double Left = 0, Top = 0, Width = 4800, Height = 3600;  // twips
  bool Visible = false;

  // The toolkit calls these; a form overrides them as its Load and Unload events.
  virtual void OnLoad() {}
  // Set cancel to keep the form loaded.
  virtual void OnUnload(bool& cancel) { (void)cancel; }

  // Shows the form (loading it first); modal returns when the form is hidden or unloaded.
  void Show(bool modal);
  void Hide();
  // Unloads the form; false when it refused.
  bool Unload();
  bool Loaded() const { return loaded_; }

  // Controls by name, for tests and the toolkits.
  Control* FindControl(const std::string& name) const;
  template <class T>
  T* Find(const std::string& name) const {
    return dynamic_cast<T*>(FindControl(name));
  }
  const std::vector<Control*>& Controls() const { return controls_; }

 protected:
  template <class T>
  T& Add(const std::string& name) {
    owned_.push_back(std::make_unique<T>(name));
    auto* p = static_cast<T*>(owned_.back().get());
    controls_.push_back(p);
    return *p;
  }

 private:
  friend class Toolkit;
  bool loaded_ = false;
  std::vector<std::unique_ptr<Control>> owned_;
  std::vector<Control*> controls_;
};

}  // namespace stow::ui
