// The port list's entries COM1 to COMn, computed from the row instead of stored, so that a list of
// 4096 ports costs nothing to build.
#pragma once

#include <QAbstractListModel>

namespace irig::shell {

class PortListModel final : public QAbstractListModel {
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    // Appends the entries up to COM<count>.
    void AppendUpTo(int count);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : count_;
    }
    QVariant data(const QModelIndex& index, int role) const override;

private:
    int count_ = 0;
};

}  // namespace irig::shell
