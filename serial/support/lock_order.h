// The serial layer's lock order, outermost first, as ranks its critical
// sections are constructed with (platform::LockRank): in debug and test
// builds a lock taken out of this order stops the program with a message
// naming both locks. A lock may be taken while only locks of lower levels
// are held; locks of one level are never held together.
#pragma once

#include "../../platform/sync.h"

// The dispatcher registry lock has no rank: on the user-interface thread
// it is held while the port's hidden window runs its handlers (which may
// close a port: LifecycleSection), and a close holding LifecycleSection
// pumps messages that reach the hidden window (the registry lock). Both
// orders occur, on that one thread.
namespace sio::lock_order {

// Opening, starting, stopping and releasing a port.
inline constexpr platform::LockRank kLifecycleSection{20, "LifecycleSection"};
// The list of packet managers; a look-up asks each manager for its port.
inline constexpr platform::LockRank kPacketManagerList{30, "packet manager list lock"};
// A packet manager and its matchers; never held while LifecycleSection is
// taken, and it calls into its dispatcher (DataSection and below).
inline constexpr platform::LockRank kPacketManager{40, "packet manager lock"};
// DataSection may be held while taking DispSection or OutputSection, never
// the other way round; DispSection and OutputSection are never held
// together (one level).
inline constexpr platform::LockRank kDataSection{50, "DataSection"};
inline constexpr platform::LockRank kDispSection{60, "DispSection"};
inline constexpr platform::LockRank kOutputSection{60, "OutputSection"};
// The dispatcher's thread slots: innermost of the dispatcher's sections.
inline constexpr platform::LockRank kThreadSection{70, "ThreadSection"};
// Locks under which nothing else is taken (an I/O queue's, a name's): they
// may be taken under any of the above, and no two are held together.
constexpr platform::LockRank Leaf(const char* name) {
  return platform::LockRank{80, name};
}

}  // namespace sio::lock_order
