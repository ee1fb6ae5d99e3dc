// The port list's entries COM1 to COMn, computed from the row instead of stored, so that a list of
// 4096 ports costs nothing to build. Once refreshed (when the operator enters the list), entries
// whose device exists on this machine stand out in bold and carry the adapter's details as a
// tooltip; their texts stay "COMn".
#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QSerialPortInfo>

namespace irig::shell {

class PortListModel final : public QAbstractListModel {
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    // Appends the entries up to COM<count>.
    void AppendUpTo(int count);
    // Reads again which ports exist and what their adapters are.
    void Refresh();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : count_;
    }
    QVariant data(const QModelIndex& index, int role) const override;

private:
    struct Port {
        bool exists = false;
        QString details;  // the device, and what the system says of its adapter
    };
    const Port& PortAt(int row) const;

    int count_ = 0;
    bool refreshed_ = false;
    QList<QSerialPortInfo> known_;
    mutable QHash<int, Port> ports_;  // rows looked up since the last refresh
};

}  // namespace irig::shell
