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

// A program's processes, for its tooltip: their ids, and the command line of the first.
QString WhoOf(const AppUsage& app) {
    QString strWho;
    if (!app.vecPids.empty()) {
        strWho +=
            app.vecPids.size() == 1 ? QStringLiteral("\nprocess ") : QStringLiteral("\nprocesses ");
        for (size_t n = 0; n < app.vecPids.size(); ++n) {
            strWho += (n == 0 ? QString() : QStringLiteral(", ")) + QString::number(app.vecPids[n]);
        }
    }
    if (!app.strCommand.empty()) {
        strWho += QLatin1Char('\n') + QString::fromStdString(app.strCommand);
    }
    return strWho;
}

const char* const kHeaders[CAppTableModel::kColumnCount] = {
    "Application", "Sent (%1)", "Received (%1)", "Sent/s", "Received/s", "Connections"};

const char* const kHeaderTips[CAppTableModel::kColumnCount] = {
    "The application: its desktop entry's name, its desktop id, its program (your own), its "
    "service unit or control group, else its user; grey rows hold the bytes that belong to no "
    "application, by reason",
    "Bytes the application sent, in %1 (exact bytes in the tooltip)",
    "Bytes the application received, in %1 (exact bytes in the tooltip)",
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
        // The row keeps the name every other view shows (History, the report, JSON, metrics,
        // the terminal view): the one the meter recorded. The entry's name, which depends on
        // the language and on the desktop user's entries, is the tooltip's; its icon, the row's.
        if (entry) {
            shown.strTip +=
                QStringLiteral(" (") + QString::fromStdString(entry->strName) + QLatin1Char(')');
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
        [&] { return MegaUnitText(now.nSentBytes, m_eUnits); });
    set(kColRecv, before.nRecvBytes != now.nRecvBytes,
        [&] { return MegaUnitText(now.nRecvBytes, m_eUnits); });
    set(kColSentRate, row.sample.dSentRate != sample.dSentRate,
        [&] { return sample.dSentRate < 0 ? QString() : RateText(sample.dSentRate, m_eUnits); });
    set(kColRecvRate, row.sample.dRecvRate != sample.dRecvRate,
        [&] { return sample.dRecvRate < 0 ? QString() : RateText(sample.dRecvRate, m_eUnits); });
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

void CAppTableModel::SetUnits(EByteUnits eUnits) {
    if (eUnits == m_eUnits) {
        return;
    }
    m_eUnits = eUnits;
    emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
    for (Row& row : m_rows) {
        const AppSample sample = row.sample;
        Assign(row, sample, true);
    }
    if (!m_rows.empty()) {
        emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1), {Qt::DisplayRole});
    }
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
        if (nColumn != kColApp) {
            return {};
        }
        return app.vecPids.empty() && app.strCommand.empty() ? row.pShown->strTip
                                                             : row.pShown->strTip + WhoOf(app);
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
        return WithMegaUnit(kHeaders[nSection], m_eUnits);
    }
    if (nRole == Qt::ToolTipRole) {
        return WithMegaUnit(kHeaderTips[nSection], m_eUnits, true);
    }
    return {};
}
