#include "AppTableModel.h"

#include "TrafficText.h"

#include <QBrush>
#include <QFont>
#include <QPalette>

namespace {

const char* const kHeaders[CAppTableModel::kColumnCount] = {
    "Application", "Sent (MiB)", "Received (MiB)", "Sent/s", "Received/s", "Connections"};

const char* const kHeaderTips[CAppTableModel::kColumnCount] = {
    "The application: its desktop id, its service unit or control group, else its user; grey "
    "rows hold the bytes that belong to no application, by reason",
    "Bytes the application sent, in MiB of 1,048,576 bytes (exact bytes in the tooltip)",
    "Bytes the application received, in MiB of 1,048,576 bytes (exact bytes in the tooltip)",
    "Bytes sent a second over the last second",
    "Bytes received a second over the last second",
    "TCP connections and UDP exchanges of the application seen in the last 30 seconds"};

} // namespace

void CAppTableModel::Update(const TrafficSample& sample) {
    if (sample.apps.size() == m_rows.size()) {
        m_rows = sample.apps;
        if (!m_rows.empty()) {
            emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
        }
        return;
    }
    beginResetModel();
    m_rows = sample.apps;
    endResetModel();
}

int CAppTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CAppTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CAppTableModel::data(const QModelIndex& index, int nRole) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const AppSample& row = m_rows[static_cast<size_t>(index.row())];
    const int nColumn = index.column();
    switch (nRole) {
    case Qt::DisplayRole:
        switch (nColumn) {
        case kColApp:
            return QString::fromStdString(row.app.strName);
        case kColSent:
            return FormatMebibytes(row.app.nSentBytes);
        case kColRecv:
            return FormatMebibytes(row.app.nRecvBytes);
        case kColSentRate:
            return row.dSentRate < 0 ? QString() : FormatRate(row.dSentRate);
        case kColRecvRate:
            return row.dRecvRate < 0 ? QString() : FormatRate(row.dRecvRate);
        case kColConnections:
            return row.app.IsAttributed() || row.app.nConnections > 0
                       ? FormatCount(row.app.nConnections)
                       : QString();
        default:
            return {};
        }
    case Qt::ToolTipRole:
        if (nColumn == kColSent || nColumn == kColRecv) {
            const int64_t nBytes = nColumn == kColSent ? row.app.nSentBytes : row.app.nRecvBytes;
            return FormatCount(nBytes) + QStringLiteral(" bytes");
        }
        return nColumn == kColApp ? QString::fromStdString(row.app.strName) : QVariant();
    case Qt::TextAlignmentRole:
        return nColumn == kColApp ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                  : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::FontRole:
        if (!row.app.IsAttributed()) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        return {};
    case Qt::ForegroundRole:
        return row.app.IsAttributed()
                   ? QVariant()
                   : QVariant(QPalette().brush(QPalette::Disabled, QPalette::Text));
    default:
        return {};
    }
}

QVariant CAppTableModel::headerData(int nSection, Qt::Orientation eOrientation, int nRole) const {
    if (eOrientation != Qt::Horizontal || nSection < 0 || nSection >= kColumnCount) {
        return {};
    }
    if (nRole == Qt::DisplayRole) {
        return QString::fromLatin1(kHeaders[nSection]);
    }
    if (nRole == Qt::ToolTipRole) {
        return QString::fromLatin1(kHeaderTips[nSection]);
    }
    return {};
}
