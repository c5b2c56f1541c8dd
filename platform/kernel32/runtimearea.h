// The lifetime of a root's runtime area: every process of the root holds the area while it runs, and
// the last one to end removes it, so that areas never pile up in the runtime base.
//
// Each process holds a shared lock on the area's lock file from its first use of the area until it
// ends. A process that ends (or lets go early) tries to take the lock exclusively without waiting:
// when that succeeds no other process holds the area, and it removes the area. A newcomer that
// opened the lock file just before the removal finds, once it has its lock, that the file is no
// longer the one at the path, and starts again; so no process ever works in a removed area. Areas
// left by processes that were killed are removed by the next process of any root that ends.
#pragma once

#include <cstdint>
#include <string>

namespace qz {

// The lock file in every area.
inline constexpr char kRuntimeAreaLock[] = "holders.lock";

// Creates `area` (and `base` above it, which others may pass through but not list) and takes this
// process's hold on it. False, with errno set, when the area cannot be created or locked.
bool HoldRuntimeArea(const std::string& base, const std::string& area);

// Takes the hold again in a process that let go of it early (QzRemoveRuntimeArea) and still uses
// the area, as a kernel object closed by a later destructor does; not once the process is ending.
void HoldRuntimeAreaAgain();

// How many times this process took or let go of its hold. While the count stands, the area it holds
// cannot have been removed (no process removes an area that another holds), so what it made there
// is still there.
uint64_t RuntimeAreaHoldChanges();

// Lets go of this process's hold: removes the area when no other process holds it, then every other
// area under the base that no process holds. Runs by itself when the process ends; does nothing in
// a forked child, which shares its parent's hold, nor a second time.
void LeaveRuntimeArea();

// Removes the area at `area` when no process holds it (an area without a lock file included); true
// when it removed it.
bool RemoveIdleArea(const std::string& area);

}  // namespace qz
