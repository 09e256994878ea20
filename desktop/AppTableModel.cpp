#include "AppTableModel.h"

#include "DesktopEntry.h"
#include "TrafficText.h"

#include <QApplication>
#include <QBrush>
#include <QFileInfo>
#include <QFont>
#include <QPalette>
#include <QStyle>

#include <cstdlib>

namespace {

const char* const kHeaders[CAppTableModel::kColumnCount] = {
    "Application", "Sent (MiB)", "Received (MiB)", "Sent/s", "Received/s", "Connections"};

const char* const kHeaderTips[CAppTableModel::kColumnCount] = {
    "The application: its desktop entry's name, its desktop id, its program (your own), its "
    "service unit or control group, else its user; grey rows hold the bytes that belong to no "
    "application, by reason",
    "Bytes the application sent, in MiB of 1,048,576 bytes (exact bytes in the tooltip)",
    "Bytes the application received, in MiB of 1,048,576 bytes (exact bytes in the tooltip)",
    "Bytes sent a second over the last second",
    "Bytes received a second over the last second",
    "TCP connections and UDP exchanges of the application seen in the last 30 seconds"};

// Applications whose look is remembered at most (more than the resolver tells apart).
constexpr size_t kMaxShown = 8192;

// The locale whose names desktop entries are shown by, as the C library takes it.
std::string MessagesLocale() {
    for (const char* szVariable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* szValue = std::getenv(szVariable); szValue != nullptr && *szValue != 0) {
            return szValue;
        }
    }
    return {};
}

QIcon IconOf(const std::string& strIcon) {
    if (strIcon.empty()) {
        return {};
    }
    const QString strQIcon = QString::fromStdString(strIcon);
    if (strIcon.front() == '/') {
        return QFileInfo(strQIcon).isFile() ? QIcon(strQIcon) : QIcon();
    }
    return QIcon::fromTheme(strQIcon);
}

} // namespace

CAppTableModel::CAppTableModel(QObject* pParent)
    : QAbstractTableModel(pParent), m_vecDataDirs(DesktopDataDirs()),
      m_strLocale(MessagesLocale()) {}

const CAppTableModel::Shown& CAppTableModel::ShownOf(const AppUsage& app) {
    const auto key = std::pair(app.IsAttributed() ? app.nKind : 0, app.strName);
    if (const auto it = m_shown.find(key); it != m_shown.end()) {
        return it->second;
    }
    Shown shown{QString::fromStdString(app.strName), QString::fromStdString(app.strName), {}};
    if (app.IsAttributed()) {
        const auto eKind = static_cast<EAppKind>(app.nKind);
        std::optional<DesktopEntry> entry;
        if (eKind == EAppKind::DesktopApp || eKind == EAppKind::Executable) {
            entry = FindDesktopEntry(app.strName, m_vecDataDirs, m_strLocale);
        }
        if (entry) {
            shown.strName = QString::fromStdString(entry->strName);
            shown.strTip = shown.strName + QStringLiteral(" (") + shown.strTip + QLatin1Char(')');
            shown.icon = IconOf(entry->strIcon);
        }
        if (shown.icon.isNull()) {
            if (m_genericIcon.isNull()) { // looked up once: a theme look-up is no trifle
                m_genericIcon =
                    QIcon::fromTheme(QStringLiteral("application-x-executable"),
                                     QApplication::style()->standardIcon(QStyle::SP_FileIcon));
            }
            shown.icon = m_genericIcon;
        }
    }
    return m_shown.emplace(key, std::move(shown)).first->second;
}

void CAppTableModel::Update(const TrafficSample& sample) {
    m_vecShown.clear();
    if (m_shown.size() > kMaxShown) {
        m_shown.clear(); // bounded, whatever names come and go
    }
    for (const AppSample& row : sample.apps) {
        m_vecShown.push_back(&ShownOf(row.app));
    }
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
            return m_vecShown[static_cast<size_t>(index.row())]->strName;
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
        return nColumn == kColApp ? m_vecShown[static_cast<size_t>(index.row())]->strTip
                                  : QVariant();
    case Qt::DecorationRole:
        if (nColumn == kColApp && row.app.IsAttributed()) {
            return m_vecShown[static_cast<size_t>(index.row())]->icon;
        }
        return {};
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
