#pragma once
// Obtaining the host application object and its version. (The other host helper
// routines of this module live in support/modOutlookHelpers.h.)

#include <cstdint>

namespace stow::modOutlookCode {

// Makes sure modGlobal::objOutlook and objNameSpace are set and that the host has
// an explorer window (on folderKind, a default-folder code: 6 Inbox, 9 Calendar).
// Creating the host fails with messages and the shut-down clean-up.
void subStartOutlook(int& folderKind);

// As subStartOutlook, then shows and explains any failure to reach the host's
// namespace or explorers ("Can't access Outlook API!").
void subCheckOutlookAccess(int& folderKind);

// The host's major version (14 for "14.0.0.4760"), read once and cached in
// modGlobal::intOutlookVersion; 0 when it cannot be read (reported as "GetVersion";
// the cache then stays 0 so the next call reads it again).
std::int16_t GetVersion();

}  // namespace stow::modOutlookCode
