#include "shell/portlistmodel.h"

namespace irig::shell {

void PortListModel::AppendUpTo(int count) {
    if (count <= count_) {
        return;
    }
    beginInsertRows(QModelIndex(), count_, count - 1);
    count_ = count;
    endInsertRows();
}

QVariant PortListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count_ ||
        (role != Qt::DisplayRole && role != Qt::EditRole)) {
        return {};
    }
    return QStringLiteral("COM%1").arg(index.row() + 1);
}

}  // namespace irig::shell
