// How a port name such as "COM5" becomes the device the host opens. On POSIX systems a port map
// folder (like Wine's) may point COMn anywhere; the folder is read afresh at every lookup.
#pragma once

#include <QString>

namespace irig::link {

// $XDG_CONFIG_HOME/irig-config/ports, or ~/.config/irig-config/ports when the variable is unset.
QString PortMapFolder();

// The device path for a port name: on Windows the name itself; elsewhere the map folder's entry
// for the name with its symlinks resolved (so one device has one lock file whatever it is called),
// or /dev/ttyS<n-1> when there is no entry. Empty for a name that is not "COM" and a number >= 1.
QString ResolvePortName(const QString& name);

}  // namespace irig::link
