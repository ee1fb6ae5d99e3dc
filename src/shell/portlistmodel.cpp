#include "shell/portlistmodel.h"

#include <QFileInfo>
#include <QFont>
#include <algorithm>

#include "link/portmap.h"

namespace irig::shell {

namespace {

QString PortName(int row) {
    return QStringLiteral("COM%1").arg(row + 1);
}

}  // namespace

void PortListModel::AppendUpTo(int count) {
    if (count <= count_) {
        return;
    }
    beginInsertRows(QModelIndex(), count_, count - 1);
    count_ = count;
    endInsertRows();
}

void PortListModel::Refresh() {
    known_ = QSerialPortInfo::availablePorts();
    ports_.clear();
    refreshed_ = true;
    if (count_ > 0) {
        emit dataChanged(index(0), index(count_ - 1), {Qt::ToolTipRole, Qt::FontRole});
    }
}

const PortListModel::Port& PortListModel::PortAt(int row) const {
    auto found = ports_.constFind(row);
    if (found != ports_.constEnd()) {
        return *found;
    }
    const QString name = PortName(row);
    const QString device = link::ResolvePortName(name);
    const QString description = link::DeviceDescription(device, known_);
    Port port;
    // A mapped entry counts when its device is there (a terminal server's port is taken to be);
    // /dev/ttyS<n> only when the system knows an adapter behind it (the node of a missing UART
    // exists all the same).
    const bool mapped = !link::PortMapEntry(name).isEmpty();
    port.exists =
        mapped ? link::ParseNetworkAddress(device) || QFileInfo::exists(device)
               : std::any_of(known_.cbegin(), known_.cend(), [&](const QSerialPortInfo& info) {
                     return info.systemLocation() == device;
                 });
    if (port.exists) {
        port.details =
            description.isEmpty() ? device : device + QStringLiteral(" — ") + description;
    }
    return *ports_.insert(row, port);
}

QVariant PortListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count_) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return PortName(index.row());
        case Qt::ToolTipRole:
            if (refreshed_ && PortAt(index.row()).exists) {
                return PortAt(index.row()).details;
            }
            return {};
        case Qt::FontRole:
            if (refreshed_ && PortAt(index.row()).exists) {
                QFont bold;
                bold.setBold(true);
                return bold;
            }
            return {};
        default:
            return {};
    }
}

}  // namespace irig::shell
