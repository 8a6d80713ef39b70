#include "platform/office.h"

#include <algorithm>

#include "platform/com_error.h"

namespace stow::office {

namespace {

[[noreturn]] void Gone(const char* what) {
  Raise(errnum::kObjectGone, "Office", std::string("The ") + what + " has been deleted");
}

[[noreturn]] void BadArgument() {
  Raise(errnum::kInvalidProcedureCall, "Office", "Invalid procedure call or argument");
}

}  // namespace

// ---- CommandBarControl ----

void CommandBarControl::Delete() {
  if (deleted_) Gone("control");
  // Keep this control alive while its collection lets go of it.
  auto self = shared_from_this();
  deleted_ = true;
  if (auto* popup = dynamic_cast<CommandBarPopup*>(this)) popup->controls_.DeleteAll();
  if (parent_) parent_->Remove(this);
  parent_ = nullptr;
}

CommandBarPopup::~CommandBarPopup() = default;

// ---- CommandBarControls ----

CommandBarControls::~CommandBarControls() {
  for (auto& c : controls_) c->parent_ = nullptr;
}

std::shared_ptr<CommandBarControl> CommandBarControls::Item(int index) const {
  if (index < 1 || index > Count()) BadArgument();
  return controls_[static_cast<std::size_t>(index - 1)];
}

std::shared_ptr<CommandBarControl> CommandBarControls::Item(const std::string& caption) const {
  for (auto& c : controls_)
    if (c->Caption == caption) return c;
  BadArgument();
}

std::shared_ptr<CommandBarControl> CommandBarControls::Add(int type, int id, bool temporary) {
  if (ownerDeleted_) Gone("command bar");
  std::shared_ptr<CommandBarControl> control;
  if (type == msoControlButton) {
    control = std::make_shared<CommandBarButton>(id, temporary);
  } else if (type == msoControlPopup) {
    control = std::make_shared<CommandBarPopup>(id, temporary);
  } else {
    BadArgument();
  }
  control->parent_ = this;
  controls_.push_back(control);
  return control;
}

void CommandBarControls::Remove(const CommandBarControl* control) {
  std::erase_if(controls_, [&](const auto& c) { return c.get() == control; });
}

void CommandBarControls::DeleteAll() {
  ownerDeleted_ = true;
  auto all = controls_;
  for (auto& c : all) {
    if (!c->deleted_) c->Delete();
  }
  controls_.clear();
}

// ---- CommandBar ----

void CommandBar::Delete() {
  if (deleted_) Gone("command bar");
  auto self = shared_from_this();
  deleted_ = true;
  Visible = false;
  controls_.DeleteAll();
  if (parent_) parent_->Remove(this);
  parent_ = nullptr;
}

// ---- CommandBars ----

CommandBars::~CommandBars() {
  for (auto& b : bars_) b->parent_ = nullptr;
}

std::shared_ptr<CommandBar> CommandBars::Item(int index) const {
  if (index < 1 || index > Count()) BadArgument();
  return bars_[static_cast<std::size_t>(index - 1)];
}

std::shared_ptr<CommandBar> CommandBars::Item(const std::string& name) const {
  for (auto& b : bars_)
    if (b->Name == name) return b;
  BadArgument();
}

std::shared_ptr<CommandBar> CommandBars::Add(const std::string& name, int position, bool menuBar,
                                             bool temporary) {
  if (position < msoBarLeft || position > msoBarFloating) BadArgument();
  auto bar = std::make_shared<CommandBar>(name, position, menuBar, temporary);
  // Docked bars are stacked in rows of one bar each, a row being 26 units high.
  bar->RowIndex = bars_.empty() ? 1 : bars_.back()->RowIndex + 1;
  bar->Top = (bar->RowIndex - 1) * 26;
  bar->Left = 0;
  bar->parent_ = this;
  bars_.push_back(bar);
  return bar;
}

void CommandBars::Delete(const std::string& name) {
  Item(name)->Delete();
}

void CommandBars::Remove(const CommandBar* bar) {
  std::erase_if(bars_, [&](const auto& b) { return b.get() == bar; });
}

// ---- Flatten ----

std::vector<ControlRow> Flatten(CommandBar& bar) {
  std::vector<ControlRow> rows;
  for (auto& c : bar.Controls().All()) {
    rows.push_back({c, 0});
    if (auto* popup = dynamic_cast<CommandBarPopup*>(c.get())) {
      for (auto& inner : popup->Controls().All()) rows.push_back({inner, 1});
    }
  }
  return rows;
}

}  // namespace stow::office
