#pragma once

#include "TrafficSampler.h"

#include <QAbstractTableModel>
#include <QFont>
#include <QString>

#include <array>
#include <vector>

// The Details window's Applications table: one row per application of the latest sample, largest
// first, then one row per reason bytes are not attributed, in grey italics. Its rows add up to
// the totals. A refresh formats only the numbers that changed and tells the view only of the
// cells whose text changed, so that it repaints those alone.
class CAppTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum EColumn {
        kColApp,
        kColSent,
        kColRecv,
        kColSentRate,
        kColRecvRate,
        kColConnections,
        kColumnCount
    };

    explicit CAppTableModel(QObject* pParent = nullptr);

    // User-interface thread: shows a sample's applications.
    void Update(const TrafficSample& sample);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int nRole = Qt::DisplayRole) const override;
    QVariant headerData(int nSection, Qt::Orientation eOrientation,
                        int nRole = Qt::DisplayRole) const override;

private:
    // A row as shown: the sample's row and the texts of its cells.
    struct Row {
        AppSample sample;
        std::array<QString, kColumnCount> texts;
    };
    // Sets row's texts from sample where they differ; returns the first and last column whose
    // text changed (-1, -1: none). bAll: every text afresh (a new row).
    std::pair<int, int> Assign(Row& row, const AppSample& sample, bool bAll) const;

    std::vector<Row> m_rows;
    QFont m_fontReason; // italics, for the rows of bytes not attributed
};
