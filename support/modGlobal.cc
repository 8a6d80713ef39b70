#include "support/modGlobal.h"

#include <chrono>

namespace stow::modGlobal {

namespace {

std::mt19937_64 NewRandom() {
  std::random_device device;
  std::seed_seq seed{
      static_cast<std::uint64_t>(device()),
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count())};
  return std::mt19937_64(seed);
}

}  // namespace

std::shared_ptr<om::Application> objOutlook;
std::shared_ptr<om::NameSpace> objNameSpace;
std::shared_ptr<cSettings> objSettings;
std::shared_ptr<platform::FileSystemObject> objFSO;
std::shared_ptr<cExplorersEvent> objExplorersEvent;
std::shared_ptr<cInspectors> objInspectors;
std::shared_ptr<platform::KeyedCollection<cExplorer>> colExplorers;
std::shared_ptr<IRibbonUI> objRibbonUI;
std::string strCurrentAttachmentFolder;
std::int16_t intSettingsPage = 0;
std::shared_ptr<platform::SafeUtils> objSafeUtils;
std::int16_t intOutlookVersion = 0;
std::shared_ptr<frmErrorReport> objErrorReport;
std::shared_ptr<platform::KeyedCollection<cMonitoredFolder>> colMonitoredFolders;
std::shared_ptr<cMonitoredSentItemsFolder> oMonitoredSentItems;
std::shared_ptr<OutcomeSink> objOutcomeSink;
bool blnNoMonitors = false;
std::function<void(bool)> fnMonitorMailFolders;
std::function<void(bool)> fnMonitorSentItemsFolder;
std::function<bool()> fnStopRequested;

bool blnErrorReportShown = false;
bool blnSafeLibraryMissing = false;
bool blnFileSystemRepaired = false;
bool blnDictionaryRepaired = false;
std::set<std::string> colSweptFolders;
std::set<std::string> colPortableNameFolders;
std::set<std::pair<std::string, std::string>> colToldSaveFailures;
std::vector<std::shared_ptr<fStripAttachments>> colBatchWindows;
std::shared_ptr<fSettings> objSettingsDialog;
std::mt19937_64 objRandom = NewRandom();

void ResetForTests() {
  colMonitoredFolders.reset();
  oMonitoredSentItems.reset();
  objOutcomeSink.reset();
  blnNoMonitors = false;
  fnMonitorMailFolders = nullptr;
  fnMonitorSentItemsFolder = nullptr;
  fnStopRequested = nullptr;
  objRibbonUI.reset();
  objInspectors.reset();
  objExplorersEvent.reset();
  colExplorers.reset();
  objSettings.reset();
  objSafeUtils.reset();
  objFSO.reset();
  objOutlook.reset();
  objNameSpace.reset();
  objErrorReport.reset();
  strCurrentAttachmentFolder.clear();
  intSettingsPage = 0;
  intOutlookVersion = 0;
  blnErrorReportShown = false;
  blnSafeLibraryMissing = false;
  blnFileSystemRepaired = false;
  blnDictionaryRepaired = false;
  colSweptFolders.clear();
  colPortableNameFolders.clear();
  colToldSaveFailures.clear();
  colBatchWindows.clear();
  objSettingsDialog.reset();
  objRandom = NewRandom();
}

}  // namespace stow::modGlobal
