#pragma once

#include "TrafficSampler.h"

#include <QAbstractTableModel>

#include <vector>

// The Details window's Applications table: one row per application of the latest sample, largest
// first, then one row per reason bytes are not attributed, in grey italics. Its rows add up to
// the totals.
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

    using QAbstractTableModel::QAbstractTableModel;

    // User-interface thread: shows a sample's applications.
    void Update(const TrafficSample& sample);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int nRole = Qt::DisplayRole) const override;
    QVariant headerData(int nSection, Qt::Orientation eOrientation,
                        int nRole = Qt::DisplayRole) const override;

private:
    std::vector<AppSample> m_rows;
};
