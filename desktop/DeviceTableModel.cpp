#include "DeviceTableModel.h"

#include "TrafficText.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QFont>
#include <QStyle>

#include <algorithm>

namespace {

const char* const kHeaders[CDeviceTableModel::kColumnCount] = {
    "Counted", "Device", "Kind",   "State",      "Sent (MiB)",    "Received (MiB)",
    "Packets", "Drops",  "Sent/s", "Received/s", "Overhead (MiB)"};

const char* const kHeaderTips[CDeviceTableModel::kColumnCount] = {
    "Ticked devices are captured and add to the totals; an unticked device is closed, and what it "
    "counted before stays in the totals",
    "The network device",
    "What kind of device it is",
    "Whether the device is captured, and why not",
    "Bytes sent through the device, in MiB of 1,048,576 bytes (exact bytes in the tooltip)",
    "Bytes received through the device, in MiB of 1,048,576 bytes (exact bytes in the tooltip)",
    "Packets counted, sent and received",
    "Packets the kernel dropped before Orvek could count them, since Capture",
    "Bytes sent a second over the last second",
    "Bytes received a second over the last second",
    "A tunnel's overhead: the outer bytes that carried it, counted on its carrier, less its inner "
    "bytes; unknown where its outer packets cannot be told apart"};

// Danger red readable on light and dark table backgrounds.
const QColor kDropColor(0xd0, 0x30, 0x20);

// A carried device's row shows its inner traffic, which no total includes: in grey italics.
const QColor kInnerColor(0x80, 0x80, 0x80);

bool IsInnerCell(const DeviceSnapshot& device, int nColumn) {
    return device.bCarried &&
           (nColumn == CDeviceTableModel::kColSent || nColumn == CDeviceTableModel::kColRecv ||
            nColumn == CDeviceTableModel::kColPackets ||
            nColumn == CDeviceTableModel::kColSentRate ||
            nColumn == CDeviceTableModel::kColRecvRate);
}

bool IsNumeric(int nColumn) {
    return nColumn >= CDeviceTableModel::kColSent;
}

int FindRowIn(const std::vector<DeviceSample>& rows, const std::string& strName) {
    const auto it = std::ranges::find_if(
        rows, [&strName](const DeviceSample& row) { return row.device.strName == strName; });
    return it == rows.end() ? -1 : static_cast<int>(it - rows.begin());
}

} // namespace

CDeviceTableModel::CDeviceTableModel(std::set<std::string> excluded, QObject* pParent)
    : QAbstractTableModel(pParent), m_excluded(std::move(excluded)),
      m_iconWarning(QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning)) {}

void CDeviceTableModel::Update(const TrafficSample& sample) {
    const std::vector<DeviceSample>& rows = sample.devices;
    const auto sameName = [](const DeviceSample& a, const DeviceSample& b) {
        return a.device.strName == b.device.strName;
    };
    if (std::ranges::equal(rows, m_rows, sameName)) {
        m_rows = rows;
        if (!m_rows.empty()) {
            emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
        }
        return;
    }
    if (rows.size() != m_rows.size()) {
        beginResetModel();
        m_rows = rows;
        endResetModel();
        return;
    }
    // The same devices in another order: selections and the current cell follow their device.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& old : before) {
        const int nRow = FindRowIn(rows, m_rows[static_cast<size_t>(old.row())].device.strName);
        after.append(nRow < 0 ? QModelIndex() : index(nRow, old.column()));
    }
    m_rows = rows;
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int CDeviceTableModel::FindRow(const std::string& strName) const {
    return FindRowIn(m_rows, strName);
}

int CDeviceTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CDeviceTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CDeviceTableModel::DisplayText(const DeviceSample& row, int nColumn) const {
    const DeviceSnapshot& device = row.device;
    switch (nColumn) {
    case kColDevice:
        return QString::fromStdString(device.strName);
    case kColKind:
        return QString::fromStdString(device.strKind);
    case kColState:
        return QString::fromStdString(DescribeDeviceState(device));
    case kColSent:
        return MebibytesText(ShownSentBytes(device));
    case kColRecv:
        return MebibytesText(ShownRecvBytes(device));
    case kColPackets:
        return device.bCarried ? FormatCount(device.nInnerSentPackets + device.nInnerRecvPackets)
                               : FormatCount(device.nSentPackets + device.nRecvPackets);
    case kColDrops:
        return FormatCount(row.nDropsSinceCapture);
    case kColSentRate:
        return RateText(row.dSentRate);
    case kColRecvRate:
        return RateText(row.dRecvRate);
    case kColOverhead:
        if (!device.bCarried) {
            return {};
        }
        return device.bOuterKnown ? MebibytesText(device.nOuterSentBytes + device.nOuterRecvBytes -
                                                  device.nInnerSentBytes - device.nInnerRecvBytes)
                                  : QStringLiteral("unknown");
    default:
        return {};
    }
}

QString CDeviceTableModel::TunnelTip(const DeviceSnapshot& device) {
    const QString strCarrier = device.strCarriedBy.empty()
                                   ? QStringLiteral("its uplink")
                                   : QString::fromStdString(device.strCarriedBy);
    QString strTip =
        QStringLiteral("Inside %1, not added to the totals (its outer packets count there).\n"
                       "Inner: %2 bytes sent, %3 received")
            .arg(strCarrier, FormatCount(device.nInnerSentBytes),
                 FormatCount(device.nInnerRecvBytes));
    if (!device.bOuterKnown) {
        return strTip + QStringLiteral("\nOuter and overhead unknown: its outer packets cannot be "
                                       "told apart (not UDP, or no port known)");
    }
    return strTip +
           QStringLiteral("\nOuter: %1 bytes sent, %2 received\nOverhead: %3 bytes sent, %4 "
                          "received")
               .arg(FormatCount(device.nOuterSentBytes), FormatCount(device.nOuterRecvBytes),
                    FormatCount(device.nOuterSentBytes - device.nInnerSentBytes),
                    FormatCount(device.nOuterRecvBytes - device.nInnerRecvBytes));
}

QVariant CDeviceTableModel::ToolTip(const DeviceSample& row, int nColumn) const {
    const DeviceSnapshot& device = row.device;
    if (row.nDropsSinceCapture > 0 && (nColumn == kColDevice || nColumn == kColDrops)) {
        return QStringLiteral("The kernel dropped %1 packets of %2 since Capture: its counts are "
                              "lower bounds")
            .arg(FormatCount(row.nDropsSinceCapture), QString::fromStdString(device.strName));
    }
    switch (nColumn) {
    case kColCounted:
        if (!device.bCountable) {
            return device.eState == EDeviceState::Loopback
                       ? QStringLiteral("Never counted: loopback traffic never leaves the host")
                       : QStringLiteral("Gone: what it counted stays in the totals");
        }
        if (m_excluded.contains(device.strName)) {
            return QStringLiteral("Not counted: closed; what it counted before stays in the "
                                  "totals");
        }
        return device.bCarried ? QStringLiteral("Captured for its inner traffic, which counts "
                                                "on its carrier: not added to the totals")
                               : QStringLiteral("Counted");
    case kColState:
        // Why a tun device counts as any device, when the state does not say.
        if (!device.bCarried && !device.strReason.empty()) {
            return QString::fromStdString(DescribeDeviceState(device) +
                                          "\nNot counted as a tunnel: " + device.strReason);
        }
        return QString::fromStdString(DescribeDeviceState(device));
    default:
        break;
    }
    if (IsInnerCell(device, nColumn) || (device.bCarried && nColumn == kColOverhead)) {
        return TunnelTip(device);
    }
    switch (nColumn) {
    case kColSent:
        return FormatCount(device.nSentBytes) + QStringLiteral(" bytes");
    case kColRecv:
        return FormatCount(device.nRecvBytes) + QStringLiteral(" bytes");
    case kColPackets:
        return QStringLiteral("%1 sent, %2 received")
            .arg(FormatCount(device.nSentPackets), FormatCount(device.nRecvPackets));
    default:
        return {};
    }
}

QVariant CDeviceTableModel::data(const QModelIndex& index, int nRole) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const DeviceSample& row = m_rows[static_cast<size_t>(index.row())];
    const int nColumn = index.column();
    switch (nRole) {
    case Qt::DisplayRole:
        return DisplayText(row, nColumn);
    case Qt::ToolTipRole:
        return ToolTip(row, nColumn);
    case Qt::CheckStateRole:
        // No box where the choice changes nothing.
        if (nColumn == kColCounted && row.device.bCountable) {
            return m_excluded.contains(row.device.strName) ? Qt::Unchecked : Qt::Checked;
        }
        return {};
    case Qt::DecorationRole:
        if (nColumn == kColDevice && row.nDropsSinceCapture > 0) {
            return m_iconWarning;
        }
        return {};
    case Qt::ForegroundRole:
        if (row.nDropsSinceCapture > 0 && (nColumn == kColDevice || nColumn == kColDrops)) {
            return QBrush(kDropColor);
        }
        if (IsInnerCell(row.device, nColumn)) {
            return QBrush(kInnerColor);
        }
        return {};
    case Qt::FontRole:
        if (IsInnerCell(row.device, nColumn)) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(IsNumeric(nColumn) ? Qt::AlignRight | Qt::AlignVCenter
                                                      : Qt::AlignLeft | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant CDeviceTableModel::headerData(int nSection, Qt::Orientation eOrientation,
                                       int nRole) const {
    if (eOrientation != Qt::Horizontal || nSection < 0 || nSection >= kColumnCount) {
        return QAbstractTableModel::headerData(nSection, eOrientation, nRole);
    }
    switch (nRole) {
    case Qt::DisplayRole:
        return QString::fromLatin1(kHeaders[nSection]);
    case Qt::ToolTipRole:
        return QString::fromLatin1(kHeaderTips[nSection]);
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(IsNumeric(nSection) ? Qt::AlignRight | Qt::AlignVCenter
                                                       : Qt::AlignLeft | Qt::AlignVCenter);
    default:
        return {};
    }
}

Qt::ItemFlags CDeviceTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags eFlags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == kColCounted && index.row() < rowCount() &&
        m_rows[static_cast<size_t>(index.row())].device.bCountable) {
        eFlags |= Qt::ItemIsUserCheckable;
    }
    return eFlags;
}

void CDeviceTableModel::SetExcluded(std::set<std::string> excluded) {
    m_excluded = std::move(excluded);
    if (!m_rows.empty()) {
        emit dataChanged(index(0, kColCounted), index(rowCount() - 1, kColCounted),
                         {Qt::CheckStateRole, Qt::ToolTipRole});
    }
}

std::string CDeviceTableModel::GetDeviceName(int nRow) const {
    return nRow >= 0 && nRow < rowCount() ? m_rows[static_cast<size_t>(nRow)].device.strName : "";
}

bool CDeviceTableModel::setData(const QModelIndex& index, const QVariant& value, int nRole) {
    if (!index.isValid() || index.column() != kColCounted || nRole != Qt::CheckStateRole ||
        index.row() >= rowCount() || !m_rows[static_cast<size_t>(index.row())].device.bCountable) {
        return false;
    }
    const std::string& strName = m_rows[static_cast<size_t>(index.row())].device.strName;
    const bool bCounted = value.toInt() == Qt::Checked;
    if (bCounted == !m_excluded.contains(strName)) {
        return true;
    }
    if (bCounted) {
        m_excluded.erase(strName);
    } else {
        m_excluded.insert(strName);
    }
    emit dataChanged(index, index, {Qt::CheckStateRole, Qt::ToolTipRole});
    emit ExcludedChanged(m_excluded);
    return true;
}
