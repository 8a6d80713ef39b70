#include "platform/forms.h"

#include <algorithm>

#include "platform/services.h"
#include "platform/ui.h"

namespace stow::ui {

void Toolkit::LoadForm(Form& form) {
  if (form.loaded_) return;
  form.loaded_ = true;
  forms_.push_back(&form);
  form.OnLoad();
}

bool Toolkit::UnloadForm(Form& form) {
  if (!form.loaded_) return true;
  bool cancel = false;
  form.OnUnload(cancel);
  if (cancel) return false;
  if (form.Visible) HideForm(form);
  form.Visible = false;
  form.loaded_ = false;
  std::erase(forms_, &form);
  return true;
}

void Toolkit::Forget(Form& form) {
  std::erase(forms_, &form);
  form.loaded_ = false;
}

Form::~Form() {
  if (loaded_ && platform::Platform().ui) platform::Platform().ui->Forget(*this);
}

void Form::Show(bool modal) {
  auto* ui = platform::Platform().ui;
  ui->LoadForm(*this);
  Visible = true;
  ui->ShowForm(*this, modal);
}

void Form::Hide() {
  if (!Visible) return;
  Visible = false;
  platform::Platform().ui->HideForm(*this);
}

bool Form::Unload() {
  return platform::Platform().ui->UnloadForm(*this);
}

Control* Form::FindControl(const std::string& name) const {
  auto it =
      std::find_if(controls_.begin(), controls_.end(), [&](Control* c) { return c->Name == name; });
  return it == controls_.end() ? nullptr : *it;
}

void Timer::SetEnabled(bool on) {
  if (on == Enabled && (on == (id_ != 0))) return;
  Disarm();
  Enabled = on;
  auto* loop = platform::Platform().loop;
  if (on && loop && Interval.count() > 0) {
    id_ = loop->SetTimer(Interval, [this] {
      if (Enabled) Tick.Raise();
    });
  }
}

void Timer::Disarm() {
  if (id_ != 0) {
    if (auto* loop = platform::Platform().loop) loop->KillTimer(id_);
    id_ = 0;
  }
}

}  // namespace stow::ui
