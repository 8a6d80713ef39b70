#include "host/RozozizeraRoreravo.h"

#include "host/modMain.h"
#include "platform/com_error.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"

namespace stow {

RozozizeraRoreravo::~RozozizeraRoreravo() {
  AddinInstance_Terminate();
}

void RozozizeraRoreravo::AddinInstance_OnConnection(
    const std::shared_ptr<om::Application>& Application, int ConnectMode, const ComPtr& AddInInst,
    const Value& custom) {
  (void)ConnectMode;
  (void)AddInInst;
  (void)custom;
  Trap("Addin.OnConnection", [&] {
    modMain::WireCallbacks();
    modGlobal::objOutlook = Application;
    modMain::ReadKZOSettings();
  });
}

void RozozizeraRoreravo::AddinInstance_OnStartupComplete(const Value& custom) {
  (void)custom;
  // StartingPoint reports its own failures; nothing more is shown here.
  IgnoreErrors([] { modMain::StartingPoint(); });
}

void RozozizeraRoreravo::AddinInstance_OnBeginShutdown(const Value& custom) {
  (void)custom;
  IgnoreErrors([] { modMain::subKillObjects(); });
}

void RozozizeraRoreravo::AddinInstance_OnDisconnection(int RemoveMode, const Value& custom) {
  (void)RemoveMode;
  (void)custom;
  Trap("Addin.OnDisconnection", [] { modMain::subKillObjects(); });
}

void RozozizeraRoreravo::AddinInstance_Terminate() {
  IgnoreErrors([] { modMain::subKillObjects(); });
}

}  // namespace stow
