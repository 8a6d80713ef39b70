#include "app/terminal_toolkit.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <utility>

#include "app/interrupt.h"
#include "platform/forms.h"

namespace stow::app {

namespace {

constexpr const char* kProductTitle = "Stowbright for Outlook";
constexpr const char* kBatchForm = "fStripAttachments";
constexpr const char* kErrorReportForm = "frmErrorReport";
constexpr int kBarWidth = 30;

// The buttons the add-in's messages ask the user to click, and the command that does
// the same.
constexpr std::pair<const char*, const char*> kButtonCommands[] = {
    {"'Specify Attachment Folder...'", "`stowbright attachment-folder FOLDER DIR`"},
};

bool IsQuestion(int style) {
  int buttons = style & 7;
  return buttons == ui::vbYesNo || buttons == ui::vbOKCancel;
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

TerminalToolkit::TerminalToolkit(const Options& options, std::istream& in, bool interactive,
                                 std::ostream& err, bool errIsTerminal)
    : options_(options),
      in_(in),
      interactive_(interactive),
      err_(err),
      errIsTerminal_(errIsTerminal) {}

TerminalToolkit::TerminalToolkit(const Options& options)
    : TerminalToolkit(options, std::cin, ::isatty(STDIN_FILENO) == 1, std::cerr,
                      ::isatty(STDERR_FILENO) == 1) {}

std::string TerminalToolkit::Title(const std::string& title) const {
  return title.empty() ? std::string(kProductTitle) : title;
}

bool TerminalToolkit::ReadLine(std::string& line) {
  if (interrupt::Requested()) return false;
  // Waits for the terminal and Ctrl-C at once: the handler restarts the read itself.
  if (&in_ == &std::cin && interrupt::WakeFd() >= 0) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {interrupt::WakeFd(), POLLIN, 0}};
    for (;;) {
      int n = ::poll(fds, 2, -1);
      if (interrupt::Requested()) return false;
      if (n > 0 || errno != EINTR) break;
    }
  }
  if (std::getline(in_, line)) return true;
  in_.clear();
  return false;
}

bool TerminalToolkit::Ask(const std::string& question) {
  err_ << kProductTitle << ": " << question;
  bool yes = false;
  if (interrupt::Requested()) {
    err_ << " [y/N] n (Ctrl-C)\n";
  } else if (options_.yes) {
    err_ << " [y/N] y (--yes)\n";
    yes = true;
  } else if (options_.no) {
    err_ << " [y/N] n (--no)\n";
  } else if (!interactive_) {
    err_ << " [y/N] n (no terminal to ask; use --yes to agree)\n";
  } else {
    err_ << " [y/N] " << std::flush;
    std::string line;
    if (ReadLine(line)) {
      line = Trim(line);
      yes = !line.empty() && (line[0] == 'y' || line[0] == 'Y');
    } else {
      err_ << (interrupt::Requested() ? "n (Ctrl-C)\n" : "\n");
    }
  }
  if (!yes) ++answeredNo_;
  return yes;
}

int TerminalToolkit::MsgBox(const std::string& prompt, int style, const std::string& title) {
  // A box in the middle of a progress line starts on a line of its own.
  if (!drawnLine_.empty()) {
    err_ << "\n";
    drawnLine_.clear();
  }
  if (IsQuestion(style)) {
    std::string shown = prompt;
    if (!title.empty() && title != kProductTitle) shown = title + ": " + prompt;
    bool yes = Ask(shown);
    if ((style & 7) == ui::vbOKCancel) return yes ? ui::vbOK : ui::vbCancel;
    return yes ? ui::vbYes : ui::vbNo;
  }
  err_ << Title(title) << ": " << prompt << "\n";
  // A box that tells the user to click a button also says which command does it here.
  for (const auto& [button, command] : kButtonCommands)
    if (prompt.find(button) != std::string::npos)
      err_ << Title(title) << ": (in a terminal: " << command << ")\n";
  err_ << std::flush;
  shown_ += prompt + "\n";
  if ((style & 0x70) == ui::vbCritical) ++criticals_;
  return ui::vbOK;
}

void TerminalToolkit::SetScript(const std::string& formName, FormScript script) {
  if (script)
    scripts_[formName] = std::move(script);
  else
    scripts_.erase(formName);
}

void TerminalToolkit::ShowForm(ui::Form& form, bool modal) {
  if (form.Name == kBatchForm && !modal) {
    if (batch_ != &form) ++batchesShown_;
    batch_ = &form;
    lastFolderLabel_.clear();
    // The label's design text is not progress; only what the batch puts there is.
    if (auto* l = form.Find<ui::Label>("lblProcessing")) lastProgressText_ = l->Caption;
    printedText_ = lastProgressText_;
    nextDraw_ = {};
    drawnLine_.clear();
    return;
  }
  if (form.Name == kErrorReportForm) {
    ShowErrorReport(form);
    return;
  }
  auto script = scripts_.find(form.Name);
  if (script != scripts_.end()) {
    script->second(form);
  } else {
    PrintForm(form);
  }
  if (modal && form.Visible) form.Hide();
}

void TerminalToolkit::HideForm(ui::Form& form) {
  if (&form == batch_) {
    DrawProgress(true);
    batch_ = nullptr;
  }
}

void TerminalToolkit::SetTopmost(ui::Form& form, bool topmost) {
  topmost_[&form] = topmost;
}

bool TerminalToolkit::IsTopmost(const ui::Form& form) {
  if (!form.Loaded()) return false;
  auto it = topmost_.find(&form);
  return it != topmost_.end() && it->second;
}

std::string TerminalToolkit::BrowseForFolder(ui::WindowHandle, const std::string& title) {
  if (!drawnLine_.empty()) {
    err_ << "\n";
    drawnLine_.clear();
  }
  std::string path;
  if (interrupt::Requested()) {
    err_ << kProductTitle << ": " << (title.empty() ? "Folder" : title) << ": none (Ctrl-C)\n";
  } else if (options_.to) {
    path = *options_.to;
  } else if (interactive_) {
    err_ << kProductTitle << ": " << (title.empty() ? "Folder" : title) << ": " << std::flush;
    std::string line;
    if (ReadLine(line)) path = Trim(line);
    if (interrupt::Requested()) err_ << "(Ctrl-C)\n";
  } else {
    err_ << kProductTitle << ": " << (title.empty() ? "Folder" : title)
         << ": no folder given (use --to DIR)\n";
  }
  if (path.empty()) {
    ++foldersCancelled_;
    return "";
  }
  std::error_code ec;
  auto absolute = std::filesystem::absolute(path, ec);
  if (!ec) path = absolute.lexically_normal().string();
  // A folder browser only ever returns a folder that exists.
  if (!std::filesystem::is_directory(path, ec)) {
    err_ << kProductTitle << ": " << path << " is not a folder\n";
    ++foldersCancelled_;
    return "";
  }
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

ui::WindowHandle TerminalToolkit::FindWindow(const std::string&, const std::string&) {
  return 0;
}

void TerminalToolkit::BringToFront(ui::WindowHandle) {}

void TerminalToolkit::Refresh() {
  if (batch_) DrawProgress(false);
}

bool TerminalToolkit::CancelBatch() {
  auto loaded = Forms();
  if (!batch_ || std::find(loaded.begin(), loaded.end(), batch_) == loaded.end()) return false;
  // A second Cancel would close the window at once; the next batch (a sweep's next
  // folder) is cancelled in its turn.
  if (batchCancelledAt_ == batchesShown_) return true;
  auto* cancel = batch_->Find<ui::CommandButton>("cmdCancel");
  if (!cancel) return false;
  if (!drawnLine_.empty()) {
    err_ << "\n";
    drawnLine_.clear();
  }
  err_ << kProductTitle << ": Cancel: stopping after the item in hand\n" << std::flush;
  batchCancelled_ = true;
  batchCancelledAt_ = batchesShown_;
  cancel->PerformClick();
  return true;
}

void TerminalToolkit::DrawProgress(bool final) {
  auto loaded = Forms();
  if (!batch_ || std::find(loaded.begin(), loaded.end(), batch_) == loaded.end()) {
    batch_ = nullptr;
    return;
  }
  std::string folder;
  if (auto* l = batch_->Find<ui::Label>("lblFolder")) folder = l->Caption;
  std::string text;
  if (auto* l = batch_->Find<ui::Label>("lblProcessing")) text = l->Caption;
  auto* pb = batch_->Find<ui::ProgressBar>("pb");

  if (!folder.empty() && folder != lastFolderLabel_) {
    if (!drawnLine_.empty()) err_ << "\n";
    drawnLine_.clear();
    err_ << kProductTitle << ": " << folder << "\n";
    lastFolderLabel_ = folder;
  }
  if (text.empty()) return;
  // The line follows the batch at most ten times a second on a terminal and once a
  // second in a log, and always shows the last text: a batch of thousands of quick
  // items would otherwise spend its time writing progress nobody can read.
  auto now = std::chrono::steady_clock::now();
  bool due = final || now >= nextDraw_;
  if (errIsTerminal_) {
    if (text == lastProgressText_ && drawnLine_.empty() && !final) return;
    if (!due && !drawnLine_.empty()) {
      lastProgressText_ = text;
      return;
    }
    nextDraw_ = now + std::chrono::milliseconds(100);
    std::string line;
    if (pb && pb->Visible && pb->Max > pb->Min - 1) {
      double span = std::max(1.0, static_cast<double>(pb->Max - pb->Min + 1));
      double done = std::clamp(static_cast<double>(pb->Value - pb->Min + 1), 0.0, span);
      if (pb->Value < pb->Min) done = 0;
      int filled = static_cast<int>(std::lround(kBarWidth * done / span));
      line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] ";
    }
    line += text;
    if (line != drawnLine_ || final) {
      err_ << "\r" << line << "\x1b[K";
      drawnLine_ = line;
    }
    if (final) {
      err_ << "\n";
      drawnLine_.clear();
    }
    err_ << std::flush;
  } else if (text != printedText_ && due) {
    err_ << text << "\n" << std::flush;
    printedText_ = text;
    nextDraw_ = now + std::chrono::seconds(1);
  }
  lastProgressText_ = text;
}

void TerminalToolkit::PrintForm(const ui::Form& form) {
  if (!form.Caption.empty()) err_ << Title("") << ": " << form.Caption << "\n";
  for (const ui::Control* c : form.Controls()) {
    if (!c->Visible) continue;
    if (auto* l = dynamic_cast<const ui::Label*>(c)) {
      if (!l->Caption.empty()) err_ << "  " << l->Caption << "\n";
    } else if (auto* t = dynamic_cast<const ui::TextBox*>(c)) {
      if (!t->Text.empty()) err_ << "  " << t->Text << "\n";
    }
  }
  err_ << std::flush;
}

void TerminalToolkit::ShowErrorReport(ui::Form& form) {
  if (!drawnLine_.empty()) {
    err_ << "\n";
    drawnLine_.clear();
  }
  ++criticals_;
  auto* first = form.Find<ui::Label>("lblCommentFirst");
  err_ << kProductTitle << ": "
       << (first && !first->Caption.empty() ? first->Caption : "An unknown exception has occured.")
       << "\n";
  if (auto* report = form.Find<ui::TextBox>("txtReport"))
    err_ << "----- report -----\n" << report->Text << "\n------------------\n";
  auto* send = form.Find<ui::CommandButton>("cmdOpenEmail");
  auto* cancel = form.Find<ui::CommandButton>("cmdCancel");
  // The report mail is only ever saved as a draft: the user sends it, or not.
  if (send && Ask("Save the report as a draft mail in Drafts?")) {
    send->PerformClick();
  } else if (cancel) {
    cancel->PerformClick();
  }
  if (form.Visible) form.Hide();
}

}  // namespace stow::app
