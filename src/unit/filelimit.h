// The number of files this process may open: raised to the most the system allows, for the
// programs that serve many units at once (a port, and a connection or two, a unit), and the share
// of it that units may take.
#pragma once

namespace irig::unit {

// Raises the soft limit on open files to the hard one; returns the soft limit now (a large
// number where the system has none).
long RaiseFileLimit();

// How many units may have their ports open at once under a limit of `files` open files: each
// may hold two (a port and a lock or a connection being replaced), and some are kept for the
// program itself.
int UnitsOpenAtOnce(long files);

}  // namespace irig::unit
