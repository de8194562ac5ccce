#include "bench-qt/SectionTable.h"

#include <QFont>

namespace qmb::bench {

void SectionTable::SetRows(std::vector<SectionRow> rows) {
    if (rows.size() != rows_.size()) {
        beginResetModel();
        rows_ = std::move(rows);
        endResetModel();
        return;
    }
    rows_ = std::move(rows);
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(static_cast<int>(rows_.size()) - 1, kColumns - 1));
}

int SectionTable::RowOf(int number) const {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].number == number) return static_cast<int>(i);
    }
    return -1;
}

int SectionTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int SectionTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant SectionTable::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const SectionRow& row = rows_[index.row()];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
            case kNumber: return row.number;
            case kAddress: return row.address;
            case kLength: return row.length;
            case kCrc: return row.crc;
            case kState: return row.state;
            default: return {};
        }
    }
    if (role == Qt::FontRole && row.marked) {
        QFont bold;
        bold.setBold(true);
        return bold;
    }
    if (role == Qt::TextAlignmentRole && index.column() <= kLength)
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

QVariant SectionTable::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case kNumber: return tr("Section");
        case kAddress: return tr("Address");
        case kLength: return tr("Length");
        case kCrc: return tr("CRC-32");
        case kState: return tr("State");
        default: return {};
    }
}

}  // namespace qmb::bench
