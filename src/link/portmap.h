// How a port name such as "COM5" becomes the device the host opens. On POSIX systems a port map
// folder (like Wine's) may point COMn anywhere; the folder is read afresh at every lookup.
#pragma once

#include <QList>
#include <QSerialPortInfo>
#include <QString>
#include <optional>

namespace irig::link {

// $XDG_CONFIG_HOME/irig-config/ports, or ~/.config/irig-config/ports when the variable is unset.
QString PortMapFolder();

// A terminal server's port, as pyserial and esptool spell it: "rfc2217://HOST:PORT" (Telnet with
// RFC 2217's COM-PORT-OPTION, which sets the line) or "socket://HOST:PORT" (raw TCP, the line set
// up on the server).
struct NetworkAddress {
    enum Kind { kRfc2217, kSocket };

    Kind kind = kRfc2217;
    QString host;
    quint16 port = 0;

    QString Text() const;
};

// A port as irigctl and an inventory take it: "COMn" (any case, n from 1) as "COMn", a
// terminal server's address as written out, or a device path; nothing for anything else.
std::optional<QString> PortArgument(const QString& text);

// Why a text is no port as PortArgument takes it, naming the fault: "\"rfc2217://ts1:4001/\" is
// no terminal server's address (rfc2217://HOST:PORT or socket://HOST:PORT): a trailing \"/\"
// after the port"; empty for a port.
QString PortArgumentProblem(const QString& text);

// The address a text names, if it is one.
std::optional<NetworkAddress> ParseNetworkAddress(const QString& text);
// Whether a text is meant as an address: it starts with a scheme and "://".
bool LooksLikeAddress(const QString& text);
// What keeps a text that looks like an address from being one ("a path after the port", "port 0
// is no port"); empty for an address.
QString AddressProblem(const QString& text);
// For a port whose name, or whose port-map link, is meant as an address but is none: the words
// that say so ("COM8 is mapped to ..."); empty otherwise.
QString PortAddressProblem(const QString& name);

// The device path for a port name: on Windows the name itself; elsewhere the map folder's entry
// for the name with its symlinks resolved (so one device has one lock file whatever it is called),
// or /dev/ttyS<n-1> when there is no entry. A device path (starting with "/") is taken as it is,
// its symlinks resolved. A network address, given or as the target of the map entry's link (a
// link's target may be any text), is the address; a link's text that looks like an address but is
// none is that text. Empty for a name that is none of these.
QString ResolvePortName(const QString& name);

// The port as another program on this computer is told it, when this one borrows it (from a
// monitor): a terminal server's address as written; COMn and device paths as the device they
// resolve to (ResolvePortName), since port maps are each user's own; anything else as it is.
QString PortAsOpened(const QString& name);

// The port map entry for a COMn name, if there is one (a link that may dangle).
QString PortMapEntry(const QString& name);

// A symbolic link's target as it is written, unresolved; empty for no link.
QString LinkText(const QString& link);

// What the system says of a serial device: "FT232R USB UART, FTDI, serial A1234", or empty when
// it says nothing (a pseudo-terminal). `known` is the system's list, read once by the caller.
QString DeviceDescription(const QString& device, const QList<QSerialPortInfo>& known);

}  // namespace irig::link
