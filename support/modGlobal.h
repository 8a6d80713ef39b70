#pragma once
// The process-wide globals of the add-in. All start empty or zero and are emptied
// again by the shut-down clean-up, which may run any number of times.

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/collection.h"
#include "platform/file_system.h"
#include "platform/object_model.h"
#include "platform/safe_item.h"

namespace stow {

class cSettings;
class cExplorersEvent;
class cInspectors;
class cExplorer;
class frmErrorReport;
class cMonitoredFolder;
class cMonitoredSentItemsFolder;
class fStripAttachments;
class fSettings;
// The handle the ribbon gives the add-in when it loads.
class IRibbonUI;
class OutcomeSink;

namespace modGlobal {

// The host; every host call of the add-in starts here.
extern std::shared_ptr<om::Application> objOutlook;
// The host's "MAPI" namespace.
extern std::shared_ptr<om::NameSpace> objNameSpace;
extern std::shared_ptr<cSettings> objSettings;
extern std::shared_ptr<platform::FileSystemObject> objFSO;
extern std::shared_ptr<cExplorersEvent> objExplorersEvent;
extern std::shared_ptr<cInspectors> objInspectors;
// One wrapper per explorer window.
extern std::shared_ptr<platform::KeyedCollection<cExplorer>> colExplorers;
extern std::shared_ptr<IRibbonUI> objRibbonUI;
// The attachment folder stored for the active explorer's current host folder.
extern std::string strCurrentAttachmentFolder;
// Page the settings dialog opens on: 0 monitored folders, 1 attachment options,
// 2 exempted extensions.
extern std::int16_t intSettingsPage;
// The safe item library's utility object (see support/modSafeItem.h).
extern std::shared_ptr<platform::SafeUtils> objSafeUtils;
// The host's major version, 0 until read (see modOutlookCode::GetVersion).
extern std::int16_t intOutlookVersion;
// The error report form while it is loaded.
extern std::shared_ptr<frmErrorReport> objErrorReport;
// One item-added listener per monitored folder, keyed by the folder's FolderPath;
// empty (no collection) before the first set-up. Holding a listener keeps it live.
extern std::shared_ptr<platform::KeyedCollection<cMonitoredFolder>> colMonitoredFolders;
// The Sent Items listener, or nothing.
extern std::shared_ptr<cMonitoredSentItemsFolder> oMonitoredSentItems;

// Where the engine reports what it did to each item (engine/outcome.h). Wired by
// the host, not the add-in: the shut-down clean-up leaves it alone.
extern std::shared_ptr<OutcomeSink> objOutcomeSink;

// Set by a host that runs one command and exits: it sets up no monitor and runs no
// sweep of the folders' items, at start-up or when a settings page is saved; the
// long-running host, and the host asked to sweep once, leave it false. The
// shut-down clean-up leaves it alone.
extern bool blnNoMonitors;

// The monitors' set-up (subMonitorMailFolders and MonitorSentItemsFolder of
// monitoring/monitoring.h), which the settings pages below them run again once the
// user saved. Wired by the host (modMain::WireCallbacks); the shut-down clean-up
// leaves them alone. Empty: nothing is restarted.
extern std::function<void(bool showFolderMessage)> fnMonitorMailFolders;
extern std::function<void(bool showFolderMessage)> fnMonitorSentItemsFolder;

// Whether the user asked the host to stop (Ctrl-C in a terminal). A loop over items
// that has no batch window to cancel asks it after each item and goes no further.
// Wired by the host; the shut-down clean-up leaves it alone. Empty: never.
extern std::function<bool()> fnStopRequested;

// What the add-in remembers for the life of the process; the shut-down clean-up
// leaves these alone.
//
// The error report was shown (HandleError shows it once per run).
extern bool blnErrorReportShown;
// The safe item library could not be created; the user was told.
extern bool blnSafeLibraryMissing;
// The one repair attempt of the scripting runtime was made, for the file-system
// object and for the dictionary.
extern bool blnFileSystemRepaired;
extern bool blnDictionaryRepaired;
// Folders whose abandoned working files were swept.
extern std::set<std::string> colSweptFolders;
// Folders whose file system refused a working file name: they get portable ones.
extern std::set<std::string> colPortableNameFolders;
// (folder, reason) pairs of failed saves the user was told of.
extern std::set<std::pair<std::string, std::string>> colToldSaveFailures;
// The batch windows at work; each lets go of itself when it unloads.
extern std::vector<std::shared_ptr<fStripAttachments>> colBatchWindows;
// The settings dialog while it exists (its one instance).
extern std::shared_ptr<fSettings> objSettingsDialog;
// The random numbers of GetRandomNumber, seeded once: reseeding from the clock on
// every call gives equal numbers to calls made within one clock tick.
extern std::mt19937_64 objRandom;

// Tests: empties every global above (and seeds objRandom afresh).
void ResetForTests();

}  // namespace modGlobal
}  // namespace stow
