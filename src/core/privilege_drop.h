// Running as the parent service's user, with a few capabilities.
//
// DropPrivileges runs on the main thread while it is still the only thread of
// the process (step 2 of dvrcore::Initialize): umask 077, the secure bits,
// the switch to the parent's real user with that user's groups, and the
// capability set 0x23000. It logs its failures (level 100) and returns false
// for them; the process then exits with status 2.
#ifndef DVRCORE_CORE_PRIVILEGE_DROP_H
#define DVRCORE_CORE_PRIVILEGE_DROP_H

#include <cstdint>

// Capabilities kept after the user switch: CAP_NET_ADMIN, CAP_NET_RAW,
// CAP_SYS_RAWIO.
constexpr uint32_t kCapabilitiesAfterSwitch = 0x23000;
// Capabilities kept once the plugins are open: CAP_NET_ADMIN, CAP_NET_RAW.
constexpr uint32_t kCapabilitiesAfterOpen = 0x3000;

bool DropPrivileges();

// Sets the calling thread's effective and permitted capabilities to `mask`
// (inheritable none). A failure is logged at level 50 and otherwise ignored.
void SetCapabilities(uint32_t mask);

#endif  // DVRCORE_CORE_PRIVILEGE_DROP_H
