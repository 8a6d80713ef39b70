#include "platform/headless/headless_toolkit.h"

#include <algorithm>

namespace stow::headless {

namespace {

int ButtonsOf(int style) {
  return style & 7;
}

int DefaultFor(int style, int answer) {
  switch (ButtonsOf(style)) {
    case ui::vbOKOnly:
      return ui::vbOK;
    case ui::vbOKCancel:
      return answer == ui::vbOK || answer == ui::vbYes ? ui::vbOK : ui::vbCancel;
    case ui::vbYesNo:
      return answer == ui::vbYes || answer == ui::vbOK ? ui::vbYes : ui::vbNo;
    default:
      return answer;
  }
}

}  // namespace

int HeadlessToolkit::MsgBox(const std::string& prompt, int style, const std::string& title) {
  MessageBoxRecord box{prompt, style, title, 0, TopmostForms()};
  if (ButtonsOf(style) == ui::vbOKOnly) {
    box.answer = ui::vbOK;
  } else if (!answers_.empty()) {
    box.answer = answers_.front();
    answers_.pop_front();
  } else {
    box.answer = DefaultFor(style, defaultAnswer_);
  }
  boxes_.push_back(box);
  return box.answer;
}

void HeadlessToolkit::ShowForm(ui::Form& form, bool modal) {
  form.Visible = true;
  formEvents_.push_back(FormEvent{FormEvent::Show, form.Name, modal});
  auto& handlers = modal ? modalHandlers_ : modelessHandlers_;
  // A copy: the handler may replace itself while it runs.
  FormHandler handler;
  if (auto it = handlers.find(form.Name); it != handlers.end()) handler = it->second;
  if (handler) handler(form);
  if (modal && form.Loaded() && form.Visible) {
    // A modal show only returns once its form is gone from the screen.
    modalLeftOpen_.push_back(form.Name);
    form.Visible = false;
    HideForm(form);
  }
}

void HeadlessToolkit::HideForm(ui::Form& form) {
  formEvents_.push_back(FormEvent{FormEvent::Hide, form.Name, false});
}

void HeadlessToolkit::PurgeUnloaded() {
  std::vector<ui::Form*> loaded = Forms();
  std::erase_if(topmost_, [&](const auto& entry) {
    return std::find(loaded.begin(), loaded.end(), entry.first) == loaded.end();
  });
}

void HeadlessToolkit::SetTopmost(ui::Form& form, bool topmost) {
  topmostChanges_.push_back(TopmostChange{form.Name, topmost});
  PurgeUnloaded();
  if (form.Loaded()) topmost_[&form] = topmost;
}

bool HeadlessToolkit::IsTopmost(const ui::Form& form) {
  PurgeUnloaded();
  auto it = topmost_.find(&form);
  return it != topmost_.end() && it->second;
}

std::vector<std::string> HeadlessToolkit::TopmostForms() {
  PurgeUnloaded();
  std::vector<std::string> names;
  for (ui::Form* form : Forms())
    if (auto it = topmost_.find(form); it != topmost_.end() && it->second)
      names.push_back(form->Name);
  return names;
}

std::string HeadlessToolkit::BrowseForFolder(ui::WindowHandle owner, const std::string& title) {
  BrowseRecord record{owner, title, "", TopmostForms()};
  if (!folders_.empty()) {
    record.answer = folders_.front();
    folders_.pop_front();
  }
  browses_.push_back(record);
  return record.answer;
}

ui::WindowHandle HeadlessToolkit::FindWindow(const std::string& className,
                                             const std::string& caption) {
  for (const auto& [handle, w] : windows_)
    if (w.className == className && w.caption == caption) return handle;
  return 0;
}

void HeadlessToolkit::BringToFront(ui::WindowHandle window) {
  broughtToFront_.push_back(window);
}

void HeadlessToolkit::OnModal(const std::string& formName, FormHandler handler) {
  if (handler)
    modalHandlers_[formName] = std::move(handler);
  else
    modalHandlers_.erase(formName);
}

void HeadlessToolkit::OnModeless(const std::string& formName, FormHandler handler) {
  if (handler)
    modelessHandlers_[formName] = std::move(handler);
  else
    modelessHandlers_.erase(formName);
}

ui::WindowHandle HeadlessToolkit::AddWindow(const std::string& className,
                                            const std::string& caption) {
  ui::WindowHandle handle = nextWindow_;
  nextWindow_ += 0x10;
  windows_[handle] = WindowEntry{className, caption};
  return handle;
}

void HeadlessToolkit::RemoveWindow(ui::WindowHandle window) {
  windows_.erase(window);
}

std::vector<FormEvent> HeadlessToolkit::Shows() const {
  std::vector<FormEvent> shows;
  for (const auto& e : formEvents_)
    if (e.kind == FormEvent::Show) shows.push_back(e);
  return shows;
}

std::vector<std::string> HeadlessToolkit::Hides() const {
  std::vector<std::string> hides;
  for (const auto& e : formEvents_)
    if (e.kind == FormEvent::Hide) hides.push_back(e.form);
  return hides;
}

ui::Form* HeadlessToolkit::FindForm(const std::string& name) const {
  for (ui::Form* form : Forms())
    if (form->Name == name) return form;
  return nullptr;
}

void HeadlessToolkit::ClearRecords() {
  boxes_.clear();
  formEvents_.clear();
  modalLeftOpen_.clear();
  browses_.clear();
  broughtToFront_.clear();
  topmostChanges_.clear();
}

}  // namespace stow::headless
