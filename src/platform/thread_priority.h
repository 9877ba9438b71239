// Scheduling priority of the calling thread. A thread that must answer
// promptly while many others compute (the controller's loop, which admits
// every login within 500 ms) runs at a higher priority where the system
// grants it.
#pragma once

namespace zv {

// Gives the calling thread the nice value nice, unless it runs at that
// priority or a higher one already, with reset-on-fork, so that the threads
// and processes it starts from now on begin at the normal priority, not its
// own. *previous receives the nice value to hand to RestoreThreadPriority.
// False (errno set) when the system refused; the thread then runs as it
// did.
[[nodiscard]] bool RaiseThreadPriority(int nice, int* previous);

// Gives the calling thread the nice value previous and the normal
// scheduling policy again.
void RestoreThreadPriority(int previous);

}  // namespace zv
