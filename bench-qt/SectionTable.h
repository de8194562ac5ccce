// The table of sections beside the hex view: number, address, length,
// CRC-32 and state, one row per section 1 to 255. It holds a copy of what it
// shows (SetRows), so that painting never reaches the model while a worker
// uses it.
//
// Thread: the GUI thread.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <vector>

namespace qmb::bench {

struct SectionRow {
    int number = 0;
    QString address;  // "11 22 33", "" when unknown
    QString length;   // "8", "0" for absent, "" when unknown
    QString crc;      // "8F8DCE1D", "" when there are no bytes
    QString state;    // the model's word for the section's state
    bool marked = false;  // differs or edited: shown in bold
};

class SectionTable : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { kNumber, kAddress, kLength, kCrc, kState, kColumns };

    explicit SectionTable(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

    // Replaces every row; rows whose text changed are repainted.
    void SetRows(std::vector<SectionRow> rows);
    const std::vector<SectionRow>& Rows() const { return rows_; }
    // The table row of a section number, -1 when it has none.
    int RowOf(int number) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    std::vector<SectionRow> rows_;
};

}  // namespace qmb::bench
