#pragma once
// The about box: the product's title and build, and a button starting the
// machine's system information tool.

#include <string>

#include "platform/forms.h"
#include "platform/registry.h"

namespace stow {

class fAbout : public ui::Form {
 public:
  fAbout();

  ui::Label& Label1;
  ui::Label& lblBuild;
  ui::PictureBox& Picture1;
  ui::Label& Label5;
  ui::CommandButton& cmdSystemInfo;
  ui::CommandButton& cmdOK;

  void OnLoad() override;

  // Where the system information tool is registered (machine-wide part of the store).
  static constexpr const char* kMsInfoKey = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
  static constexpr const char* kSharedToolsKey = "SOFTWARE\\Microsoft\\Shared Tools Location";

  // The tool's path from the store; "" when it is not registered or not there.
  static std::string FindSystemInfoTool();

 private:
  void cmdSystemInfo_Click();
  void cmdOK_Click();
  Connection onSystemInfo_, onOK_;
};

// A value of the settings store as text: a string as it is, a 32-bit number as its
// decimal text, anything else (and any failure) "".
std::string GetRegistryValueText(platform::Hive hive, const std::string& keyPath,
                                 const std::string& valueName);

}  // namespace stow
