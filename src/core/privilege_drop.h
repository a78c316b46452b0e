// Running as the parent service's user, with a few capabilities.
//
// DropPrivileges runs on the main thread while it is still the only thread of
// the process (step 2 of dvrcore::Initialize): umask 077, the secure bits,
// the switch to the parent's real user with that user's groups, and the
// capability set 0x23000. It logs its failures (level 100) and returns false
// for them; the process then exits with status 2. It logs through
// CoreEventCallback, so `theCore` must exist.
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

// The real user id in a /proc status file: the first number of the first line
// that reads "Uid:", optional blanks, then decimal digits. 0 when the file
// cannot be opened or no line qualifies; a number that does not fit 32 bits
// does not qualify. Reads in constant memory, whatever the file holds.
uint32_t ParentUserId(const char* statusPath);

#endif  // DVRCORE_CORE_PRIVILEGE_DROP_H
