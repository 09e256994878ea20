#pragma once

#include "TrafficSampler.h"
#include "Units.h"

#include <QAbstractTableModel>
#include <QIcon>

#include <set>
#include <string>
#include <vector>

// The Details window's table: one row per device of the latest sample, in the sample's order
// (largest total first). A model rather than a QTableWidget: a refresh replaces the rows and
// announces one changed range, instead of setting 400 items one by one every second.
class CDeviceTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum EColumn {
        kColCounted,
        kColDevice,
        kColKind,
        kColState,
        kColSent,
        kColRecv,
        kColPackets,
        kColDrops,
        kColSentRate,
        kColRecvRate,
        kColOverhead,
        kColumnCount
    };

    CDeviceTableModel(std::set<std::string> excluded, QObject* pParent = nullptr);

    // User-interface thread: shows a sample. Rows keep their selection when devices move.
    void Update(const TrafficSample& sample);
    const std::set<std::string>& GetExcluded() const { return m_excluded; }
    // User-interface thread: the excluded set as decided elsewhere (no ExcludedChanged).
    void SetExcluded(std::set<std::string> excluded);
    // User-interface thread: the family of units the sizes and rates are shown in, headers too.
    void SetUnits(EByteUnits eUnits);
    EByteUnits GetUnits() const { return m_eUnits; }
    // The device shown in a row ("" for none).
    std::string GetDeviceName(int nRow) const;
    // The row of a device, -1 when it has none.
    int FindRow(const std::string& strName) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int nRole = Qt::DisplayRole) const override;
    QVariant headerData(int nSection, Qt::Orientation eOrientation,
                        int nRole = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // User-interface thread: ticking or unticking "Counted" changes the excluded set.
    bool setData(const QModelIndex& index, const QVariant& value, int nRole) override;

signals:
    // User-interface thread, when the user ticked or unticked a device; receivers apply the set
    // and must not block.
    void ExcludedChanged(const std::set<std::string>& excluded);

private:
    QVariant DisplayText(const DeviceSample& row, int nColumn) const;
    // A tunnel's inner, outer and overhead bytes, or why the outer ones are unknown.
    static QString TunnelTip(const DeviceSnapshot& device);
    QVariant ToolTip(const DeviceSample& row, int nColumn) const;

    std::vector<DeviceSample> m_rows;
    std::set<std::string> m_excluded;
    QIcon m_iconWarning;
    EByteUnits m_eUnits = EByteUnits::Binary;
};
