#pragma once

namespace qor::descriptors {

// Raises the process's soft limit of open files to its hard limit (the default
// soft limit of 1 024 is far below what measuring every node at once needs).
// Returns the soft limit in force afterwards.
long raiseSoftLimitToHard();

// How many more descriptors the process may open now, keeping `reserve` for the
// rest of the program; at least 1.
int availableBudget(int reserve = 256);

} // namespace qor::descriptors
