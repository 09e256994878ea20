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
      m_strLocale(MessagesLocale()) {
    m_fontReason.setItalic(true);
}

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

std::pair<int, int> CAppTableModel::Assign(Row& row, const AppSample& sample, bool bAll) {
    if (bAll) {
        row.pShown = &ShownOf(sample.app);
    }
    const AppUsage& before = row.sample.app;
    const AppUsage& now = sample.app;
    int nFirst = -1, nLast = -1;
    const auto set = [&](int nColumn, bool bDiffers, const auto& fnText) {
        if (!bAll && !bDiffers) {
            return;
        }
        QString strText = fnText();
        QString& strShown = row.texts[static_cast<size_t>(nColumn)];
        if (bAll || strText != strShown) {
            strShown = std::move(strText);
            nFirst = nFirst < 0 ? nColumn : nFirst;
            nLast = nColumn;
        }
    };
    set(kColApp, false, [&] { return row.pShown->strName; });
    set(kColSent, before.nSentBytes != now.nSentBytes,
        [&] { return MebibytesText(now.nSentBytes); });
    set(kColRecv, before.nRecvBytes != now.nRecvBytes,
        [&] { return MebibytesText(now.nRecvBytes); });
    set(kColSentRate, row.sample.dSentRate != sample.dSentRate,
        [&] { return sample.dSentRate < 0 ? QString() : RateText(sample.dSentRate); });
    set(kColRecvRate, row.sample.dRecvRate != sample.dRecvRate,
        [&] { return sample.dRecvRate < 0 ? QString() : RateText(sample.dRecvRate); });
    set(kColConnections, before.nConnections != now.nConnections || before.nReason != now.nReason,
        [&] {
            return now.IsAttributed() || now.nConnections > 0 ? FormatCount(now.nConnections)
                                                              : QString();
        });
    row.sample = sample;
    return {nFirst, nLast};
}

void CAppTableModel::Update(const TrafficSample& sample) {
    const std::vector<AppSample>& rows = sample.apps;
    const bool bForgetShown = m_shown.size() > kMaxShown; // bounded, whatever names come and go
    if (rows.size() != m_rows.size() || bForgetShown) {
        if (bForgetShown) {
            m_shown.clear();
        }
        beginResetModel();
        m_rows.resize(rows.size());
        for (size_t n = 0; n < rows.size(); ++n) {
            Assign(m_rows[n], rows[n], true);
        }
        endResetModel();
        return;
    }
    // The rows keep their places while the order by bytes holds; a row that another application
    // took over is new in every cell, its font and colour too. Runs of rows changed in the same
    // columns are told as one range.
    int nRunFirst = -1, nRunLast = -1, nColFirst = -1, nColLast = -1;
    bool bRunNew = false;
    const auto tell = [&] {
        if (nRunFirst >= 0) {
            emit dataChanged(index(nRunFirst, nColFirst), index(nRunLast, nColLast),
                             bRunNew ? QList<int>() : QList<int>{Qt::DisplayRole, Qt::ToolTipRole});
        }
        nRunFirst = -1;
    };
    for (size_t n = 0; n < rows.size(); ++n) {
        Row& row = m_rows[n];
        const bool bNew = row.sample.app.nReason != rows[n].app.nReason ||
                          row.sample.app.nKind != rows[n].app.nKind ||
                          row.sample.app.strName != rows[n].app.strName;
        const auto [nFirst, nLast] = Assign(row, rows[n], bNew);
        const int nRow = static_cast<int>(n);
        if (nFirst >= 0 && nRunFirst >= 0 && nRunLast == nRow - 1 && nFirst == nColFirst &&
            nLast == nColLast && bNew == bRunNew) {
            nRunLast = nRow;
            continue;
        }
        tell();
        if (nFirst >= 0) {
            nRunFirst = nRunLast = nRow;
            nColFirst = nFirst;
            nColLast = nLast;
            bRunNew = bNew;
        }
    }
    tell();
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
    const Row& row = m_rows[static_cast<size_t>(index.row())];
    const AppUsage& app = row.sample.app;
    const int nColumn = index.column();
    switch (nRole) {
    case Qt::DisplayRole:
        return nColumn >= 0 && nColumn < kColumnCount ? row.texts[static_cast<size_t>(nColumn)]
                                                      : QVariant();
    case Qt::ToolTipRole:
        if (nColumn == kColSent || nColumn == kColRecv) {
            const int64_t nBytes = nColumn == kColSent ? app.nSentBytes : app.nRecvBytes;
            return FormatCount(nBytes) + QStringLiteral(" bytes");
        }
        return nColumn == kColApp ? row.pShown->strTip : QVariant();
    case Qt::DecorationRole:
        return nColumn == kColApp && app.IsAttributed() ? QVariant(row.pShown->icon) : QVariant();
    case Qt::TextAlignmentRole:
        return nColumn == kColApp ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                  : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::FontRole:
        return app.IsAttributed() ? QVariant() : QVariant(m_fontReason);
    case Qt::ForegroundRole:
        return app.IsAttributed() ? QVariant()
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
