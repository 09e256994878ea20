#include "HistoryView.h"

#include "AppHistory.h"
#include "PlanDlg.h"
#include "TrafficText.h"
#include "UsageKeeper.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QToolTip>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

namespace {

// Past cycles or months listed.
constexpr int kPastPeriods = 12;

// A row of the list: a cycle, a month or a year (with its months), or the time before the
// first recorded day.
struct Period {
    QString strLabel;
    int64_t nStart = 0, nEnd = 0;
    int64_t nSent = 0, nRecv = 0, nCounted = 0;
    bool bBefore = false;
    std::vector<Period> vecMonths;
};

// Adds a bucket's bytes to the period that holds its start, and to that one's month.
void AddTo(std::vector<Period>& periods, const Plan& plan, const UsageRow& row) {
    const auto holds = [&](const Period& period) {
        return !period.bBefore && row.nStart >= period.nStart && row.nStart < period.nEnd;
    };
    const auto it = std::ranges::find_if(periods, holds);
    if (it == periods.end()) {
        return;
    }
    it->nSent += row.nSent;
    it->nRecv += row.nRecv;
    it->nCounted += CountedBytes(plan, row.strDevice, row.nSent, row.nRecv);
    AddTo(it->vecMonths, plan, row);
}

// The cycles (calendar months without a plan) before the current one, the latest first, back to
// the first recorded one and at most kPastPeriods; then the time before the first recorded day.
std::vector<Period> PastCycles(const Plan& plan, bool bPlan, int64_t nCurrentStart,
                               std::optional<int64_t> first) {
    std::vector<Period> periods;
    int64_t nStart = nCurrentStart;
    while (first && *first < nStart && periods.size() < kPastPeriods) {
        const Cycle cycle = CycleAt(plan.nCycleDay, nStart - 1);
        Period& period = periods.emplace_back();
        period.nStart = cycle.nStart;
        period.nEnd = cycle.nEnd;
        period.strLabel = QString::fromStdString(bPlan ? FormatDate(cycle.first) + " to " +
                                                             FormatDate(AddDays(cycle.next, -1))
                                                       : FormatDate(cycle.first).substr(0, 7));
        nStart = cycle.nStart;
    }
    if (periods.size() < kPastPeriods) {
        periods.emplace_back().bBefore = true;
    }
    return periods;
}

// The calendar years from the first recorded one to this one, the latest first, each with its
// months in order from the first recorded one to this one; then the time before.
std::vector<Period> YearsByMonth(std::optional<int64_t> first, int64_t nNowUtc) {
    std::vector<Period> years;
    if (first) {
        const CivilDate today = LocalDateOf(nNowUtc);
        for (int nYear = today.nYear; nYear >= LocalDateOf(*first).nYear; --nYear) {
            Period& year = years.emplace_back();
            year.strLabel = QString::number(nYear);
            year.nStart = LocalDayStart({nYear, 1, 1});
            year.nEnd = LocalDayStart({nYear + 1, 1, 1});
            for (int nMonth = 1; nMonth <= 12; ++nMonth) {
                const int64_t nStart = LocalDayStart({nYear, nMonth, 1});
                const int64_t nEnd = BucketEnd(ETier::Month, nStart);
                if (nEnd > *first && nStart <= nNowUtc) {
                    Period& month = year.vecMonths.emplace_back();
                    month.strLabel =
                        QString::fromStdString(FormatDate({nYear, nMonth, 1}).substr(0, 7));
                    month.nStart = nStart;
                    month.nEnd = nEnd;
                }
            }
        }
    }
    years.emplace_back().bBefore = true;
    return years;
}

// The Recorded column: "all", "26 %", "not recorded".
QString RecordedShare(const BucketRecording& recording, ERecorded eRecorded) {
    switch (eRecorded) {
    case ERecorded::Future:
        return {};
    case ERecorded::NotRecorded:
        return QStringLiteral("not recorded");
    case ERecorded::Whole:
        return QStringLiteral("all");
    case ERecorded::Partly:
        break;
    }
    const int64_t nPercent = recording.nRecorded * 100 / std::max<int64_t>(recording.nElapsed, 1);
    return nPercent == 0 ? QStringLiteral("< 1 %") : QStringLiteral("%1 %").arg(nPercent);
}

} // namespace

void CUsageBars::SetDays(std::vector<int64_t> vecBytes, std::vector<QString> vecLabels, int nToday,
                         std::optional<ECapUnit> eUnit) {
    m_eUnit = eUnit;
    m_vecBytes = std::move(vecBytes);
    m_vecLabels = std::move(vecLabels);
    m_nToday = nToday;
    update();
}

void CUsageBars::SetUnits(EByteUnits eUnits) {
    m_eUnits = eUnits;
    update();
}

void CUsageBars::SetRecording(std::vector<ERecorded> vecRecorded, std::vector<QString> vecTips) {
    m_vecRecorded = std::move(vecRecorded);
    m_vecTips = std::move(vecTips);
    update();
}

QRect CUsageBars::BarArea() const {
    const int nLabel = fontMetrics().height() + 2;
    return rect().adjusted(4, nLabel + 2, -4, -nLabel);
}

int CUsageBars::DayAt(QPoint point) const {
    const QRect area = BarArea();
    if (m_vecBytes.empty() || point.x() < area.left() || point.x() > area.right()) {
        return -1;
    }
    const auto nDay = static_cast<size_t>(static_cast<double>(point.x() - area.left()) *
                                          static_cast<double>(m_vecBytes.size()) /
                                          static_cast<double>(std::max(1, area.width())));
    return nDay < m_vecBytes.size() ? static_cast<int>(nDay) : -1;
}

QString CUsageBars::DayTip(int nDay) const {
    return nDay >= 0 && static_cast<size_t>(nDay) < m_vecTips.size()
               ? m_vecTips[static_cast<size_t>(nDay)]
               : QString();
}

bool CUsageBars::event(QEvent* pEvent) {
    if (pEvent->type() == QEvent::ToolTip) {
        const auto* pHelp = static_cast<QHelpEvent*>(pEvent);
        const QString strTip = DayTip(DayAt(pHelp->pos()));
        if (!strTip.isEmpty()) {
            QToolTip::showText(pHelp->globalPos(), strTip, this);
            return true;
        }
    }
    return QWidget::event(pEvent);
}

void CUsageBars::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    if (m_vecBytes.empty()) {
        return;
    }
    const int nLabel = fontMetrics().height() + 2;
    const QRect area = BarArea();
    const int64_t nMax = std::max<int64_t>(*std::ranges::max_element(m_vecBytes), 1);
    const double dWidth =
        static_cast<double>(area.width()) / static_cast<double>(m_vecBytes.size());
    const bool bUnrecorded =
        std::ranges::find(m_vecRecorded, ERecorded::NotRecorded) != m_vecRecorded.end();
    painter.setPen(palette().text().color());
    painter.drawText(QRect(4, 0, width() - 8, nLabel), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("highest day: %1%2")
                         .arg(m_eUnit ? QString::fromStdString(FormatAmountAuto(nMax, *m_eUnit))
                                      : BytesText(nMax, m_eUnits),
                              bUnrecorded ? QStringLiteral("; hatched: not recorded") : QString()));
    for (size_t n = 0; n < m_vecBytes.size(); ++n) {
        const int nX = area.left() + static_cast<int>(static_cast<double>(n) * dWidth);
        const int nW = std::max(1, static_cast<int>(dWidth) - 2);
        if (n < m_vecRecorded.size() && m_vecRecorded[n] == ERecorded::NotRecorded) {
            painter.fillRect(QRect(nX + 1, area.top(), nW, area.height()),
                             QBrush(palette().mid().color(), Qt::BDiagPattern));
        }
        const int nH =
            static_cast<int>(static_cast<double>(area.height()) *
                             static_cast<double>(m_vecBytes[n]) / static_cast<double>(nMax));
        const QColor color = static_cast<int>(n) == m_nToday ? palette().highlight().color()
                                                             : palette().mid().color();
        painter.fillRect(QRect(nX + 1, area.bottom() - nH + 1, nW, nH), color);
        // Every label where there is room, else every few.
        const int nEvery = std::max(1, fontMetrics().horizontalAdvance(QStringLiteral("00 ")) /
                                               std::max(1, static_cast<int>(dWidth)) +
                                           1);
        if (n < m_vecLabels.size() && n % static_cast<size_t>(nEvery) == 0) {
            painter.drawText(
                QRect(nX, area.bottom() + 2, static_cast<int>(dWidth) * nEvery, nLabel),
                Qt::AlignLeft | Qt::AlignTop, m_vecLabels[n]);
        }
    }
}

CHistoryView::CHistoryView(CUsageKeeper& keeper, QWidget* pParent)
    : QWidget(pParent), m_keeper(keeper) {
    setObjectName(QStringLiteral("IDC_HISTORY"));
    m_pState = new QLabel(this);
    m_pState->setObjectName(QStringLiteral("IDC_HISTORY_STATE"));
    m_pState->setWordWrap(true);
    m_pState->setTextFormat(Qt::PlainText);
    m_pSince = new QLabel(this);
    m_pSince->setObjectName(QStringLiteral("IDC_HISTORY_SINCE"));
    m_pSince->setTextFormat(Qt::PlainText);
    m_pPlan = new QLabel(this);
    m_pPlan->setObjectName(QStringLiteral("IDC_PLAN_USED"));
    m_pPlan->setWordWrap(true);
    m_pPlan->setTextFormat(Qt::PlainText);
    m_pUsed = new QProgressBar(this);
    m_pUsed->setRange(0, 1000);
    m_pUsed->setTextVisible(false);
    m_pUsed->setMaximumHeight(fontMetrics().height() / 2 + 4);
    m_pEdit = new QPushButton(QStringLiteral("&Plan..."), this);
    m_pEdit->setObjectName(QStringLiteral("IDC_PLAN_EDIT"));
    // User-interface thread: the plan dialog, modal.
    connect(m_pEdit, &QPushButton::clicked, this, &CHistoryView::EditPlan);
    m_pBars = new CUsageBars(this);
    m_pBars->setObjectName(QStringLiteral("IDC_DAY_BARS"));
    m_pListView = new QComboBox(this);
    m_pListView->setObjectName(QStringLiteral("IDC_PERIOD_VIEW"));
    m_pListView->addItems({QStringLiteral("Past cycles"), QStringLiteral("Years by month")});
    m_pList = new QTreeWidget(this);
    m_pList->setObjectName(QStringLiteral("IDC_PERIODS"));
    m_pList->setRootIsDecorated(false);
    m_pList->setColumnCount(5);
    m_pList->setTextElideMode(Qt::ElideMiddle);
    m_pList->header()->setStretchLastSection(false);
    m_pList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    // User-interface thread: the other list chosen.
    connect(m_pListView, &QComboBox::currentIndexChanged, this, &CHistoryView::Refresh);

    m_pAppPeriod = new QComboBox(this);
    m_pAppPeriod->setObjectName(QStringLiteral("IDC_APP_PERIOD"));
    m_pAppPeriod->addItems({QStringLiteral("Today"), QStringLiteral("Yesterday"),
                            QStringLiteral("This month"), QStringLiteral("Last month")});
    m_pAppPeriod->setToolTip(QStringLiteral("Applications are kept by day and by month"));
    m_pApps = new QTreeWidget(this);
    m_pApps->setObjectName(QStringLiteral("IDC_HISTORY_APPS"));
    m_pApps->setRootIsDecorated(false);
    m_pApps->setColumnCount(4);
    // Reasons are long ("not attributed: no socket here (forwarded...)"): their ends both tell.
    m_pApps->setTextElideMode(Qt::ElideMiddle);
    m_pApps->setHeaderLabels({QStringLiteral("Application"), QStringLiteral("Received"),
                              QStringLiteral("Sent"), QStringLiteral("Total")});
    m_pApps->header()->setStretchLastSection(false);
    m_pApps->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    // User-interface thread: another day or month chosen.
    connect(m_pAppPeriod, &QComboBox::currentIndexChanged, this, [this] {
        try {
            RefreshApps(m_keeper.GetStore(), m_keeper.NowUtc());
        } catch (const CSqliteError& e) {
            m_pState->setText(
                QStringLiteral("Cannot read the usage file: %1").arg(QString::fromUtf8(e.what())));
        }
    });

    auto* pTop = new QHBoxLayout;
    pTop->addWidget(m_pPlan, 1);
    pTop->addWidget(m_pEdit, 0, Qt::AlignTop);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pState);
    pLayout->addWidget(m_pSince);
    pLayout->addLayout(pTop);
    pLayout->addWidget(m_pUsed);
    pLayout->addWidget(m_pBars, 2);
    auto* pAppsColumn = new QVBoxLayout;
    pAppsColumn->addWidget(m_pAppPeriod);
    pAppsColumn->addWidget(m_pApps, 1);
    auto* pListColumn = new QVBoxLayout;
    pListColumn->addWidget(m_pListView);
    pListColumn->addWidget(m_pList, 1);
    auto* pLists = new QHBoxLayout;
    pLists->addLayout(pListColumn, 1);
    pLists->addLayout(pAppsColumn, 1);
    pLayout->addLayout(pLists, 3);

    // User-interface thread, after each write: redrawn only while shown.
    connect(&m_keeper, &CUsageKeeper::Updated, this, [this] {
        if (isVisible()) {
            Refresh();
        }
    });
}

void CHistoryView::SetUnits(EByteUnits eUnits) {
    m_eUnits = eUnits;
    m_pBars->SetUnits(eUnits);
    if (isVisible()) {
        Refresh();
    }
}

void CHistoryView::showEvent(QShowEvent* pEvent) {
    QWidget::showEvent(pEvent);
    Refresh();
}

void CHistoryView::Refresh() {
    QString strState = m_keeper.DescribeState();
    if (!m_keeper.GetUndeliveredAlert().isEmpty()) {
        strState = m_keeper.GetUndeliveredAlert() + QLatin1Char('\n') + strState;
    }
    m_pState->setText(strState);

    // Without a plan: calendar months, everything counted.
    Plan plan;
    plan.nCapBytes = 1;
    const bool bPlan = m_keeper.GetPlan().has_value();
    if (bPlan) {
        plan = *m_keeper.GetPlan();
    }
    CUsageStore* pStore = m_keeper.GetStore();
    const int64_t nNow = m_keeper.NowUtc();
    PlanStatus status;
    std::vector<Period> periods;
    std::optional<int64_t> first;
    std::vector<RecordedSpan> spans;
    const bool bYears = m_pListView->currentIndex() == Years;
    try {
        const std::vector<RecordedSpan> pendingSpans = m_keeper.GetPendingSpans();
        status = ComputePlanStatus(plan, pStore, m_keeper.GetPending(), nNow, pendingSpans);
        if (pStore != nullptr) {
            first = pStore->ReadFirstRecorded();
        }
        // Time recorded but not written yet counts too: a file started a moment ago has begun.
        for (const RecordedSpan& span : pendingSpans) {
            first = std::min(first.value_or(span.nStart), span.nStart);
        }
        periods = bYears ? YearsByMonth(first, nNow)
                         : PastCycles(plan, bPlan, status.cycle.nStart, first);
        int64_t nFrom = status.cycle.nStart;
        for (const Period& period : periods) {
            nFrom = period.bBefore ? nFrom : std::min(nFrom, period.nStart);
        }
        if (pStore != nullptr && first) {
            // Years from the months, which are kept forever; cycles from the days. Bytes not
            // written yet are only in the bars.
            for (const UsageRow& row :
                 pStore->ReadUsage(bYears ? ETier::Month : ETier::Day, nFrom,
                                   bYears ? BucketEnd(ETier::Month, BucketStart(ETier::Month, nNow))
                                          : status.cycle.nStart)) {
                AddTo(periods, plan, row);
            }
            spans = pStore->ReadRecorded(nFrom, nNow + 1);
        }
        spans.insert(spans.end(), pendingSpans.begin(), pendingSpans.end());
        RefreshApps(pStore, nNow);
    } catch (const CSqliteError& e) {
        m_pState->setText(
            QStringLiteral("Cannot read the usage file: %1").arg(QString::fromUtf8(e.what())));
        return;
    }
    m_pSince->setText(first ? QStringLiteral("Recorded since %1; earlier time is not recorded.")
                                  .arg(QString::fromStdString(FormatLocal(*first)))
                            : QStringLiteral("Nothing is recorded in the usage file yet."));

    if (bPlan) {
        const std::string strProjection = DescribeProjection(status);
        m_pPlan->setText(QString::fromStdString(
            DescribeUsed(status) + (strProjection.empty() ? std::string() : "; " + strProjection) +
            ".\n" + DescribeUnit(plan.eUnit) + "; counts " +
            (plan.eCounting == ECounting::ReceivedOnly ? "received bytes only"
                                                       : "sent and received bytes") +
            (plan.devices.empty() ? " of every device." : " of the plan's devices.")));
        m_pUsed->setValue(static_cast<int>(
            std::min<int64_t>(1000, status.nUsed * 1000 / std::max<int64_t>(plan.nCapBytes, 1))));
    } else {
        m_pPlan->setText(QStringLiteral("No data plan is set: the bars are this month's days, "
                                        "the list past months or years."));
        m_pUsed->setValue(0);
    }
    m_pUsed->setVisible(bPlan);

    // With a plan, every amount in the plan's kind of unit (decimal or binary).
    const auto amount = [&](int64_t nBytes) {
        return bPlan ? QString::fromStdString(FormatAmountAuto(nBytes, plan.eUnit))
                     : BytesText(nBytes, m_eUnits);
    };
    std::vector<QString> vecLabels, vecTips;
    std::vector<ERecorded> vecRecorded;
    int nToday = -1;
    const CivilDate today = LocalDateOf(nNow);
    CivilDate date = status.cycle.first;
    for (size_t n = 0; n < status.vecDays.size(); ++n, date = AddDays(date, 1)) {
        vecLabels.push_back(QString::number(date.nDay));
        if (date == today) {
            nToday = static_cast<int>(n);
        }
        const BucketRecording recording =
            RecordingOf(spans, LocalDayStart(date), LocalDayStart(AddDays(date, 1)), nNow);
        const ERecorded eRecorded = Classify(recording, status.vecDays[n] != 0);
        vecRecorded.push_back(eRecorded);
        const QString strDate = QString::fromStdString(FormatDate(date));
        vecTips.push_back(eRecorded == ERecorded::Future ? QString()
                          : eRecorded == ERecorded::NotRecorded
                              ? strDate + QStringLiteral(": not recorded")
                              : QStringLiteral("%1: %2; %3")
                                    .arg(strDate, amount(status.vecDays[n]),
                                         QString::fromStdString(DescribeRecording(
                                             recording, status.vecDays[n] != 0))));
    }
    m_pBars->SetDays(status.vecDays, std::move(vecLabels), nToday,
                     bPlan ? std::optional<ECapUnit>(plan.eUnit) : std::nullopt);
    m_pBars->SetRecording(std::move(vecRecorded), std::move(vecTips));
    m_pBars->setToolTip(
        QStringLiteral("%1 %2: %3")
            .arg(bPlan ? QStringLiteral("This cycle") : QStringLiteral("This month"),
                 QString::fromStdString(FormatDate(status.cycle.first)),
                 bPlan ? QString::fromStdString(FormatAmountAuto(status.nUsed, plan.eUnit))
                       : BytesText(status.nUsed, m_eUnits)));

    m_pListView->setItemText(PastPeriods,
                             bPlan ? QStringLiteral("Past cycles") : QStringLiteral("Past months"));
    m_pList->setRootIsDecorated(bYears);
    m_pList->setHeaderLabels({bYears  ? QStringLiteral("Year, month")
                              : bPlan ? QStringLiteral("Cycle")
                                      : QStringLiteral("Month"),
                              QStringLiteral("Received"), QStringLiteral("Sent"),
                              bPlan ? QStringLiteral("Counted") : QStringLiteral("Total"),
                              QStringLiteral("Recorded")});
    m_pList->clear();
    const QBrush grey = palette().brush(QPalette::Disabled, QPalette::Text);
    // One row: its bytes, or "not recorded" for time nobody recorded; how much was recorded.
    const auto fill = [&](QTreeWidgetItem* pItem, const Period& period) {
        for (int nColumn = 1; nColumn < 5; ++nColumn) {
            pItem->setTextAlignment(nColumn, Qt::AlignRight | Qt::AlignVCenter);
        }
        if (period.bBefore) {
            pItem->setText(0,
                           first ? QStringLiteral("before %1")
                                       .arg(QString::fromStdString(FormatDate(LocalDateOf(*first))))
                                 : QStringLiteral("until now"));
            pItem->setText(4, QStringLiteral("not recorded"));
            pItem->setForeground(0, grey);
            pItem->setForeground(4, grey);
            return;
        }
        pItem->setText(0, period.strLabel);
        const BucketRecording recording = RecordingOf(spans, period.nStart, period.nEnd, nNow);
        const bool bBytes = period.nSent != 0 || period.nRecv != 0;
        const ERecorded eRecorded = Classify(recording, bBytes);
        const QString strRecorded = QString::fromStdString(DescribeRecording(recording, bBytes));
        pItem->setText(4, RecordedShare(recording, eRecorded));
        pItem->setToolTip(0, period.strLabel + QStringLiteral(": ") + strRecorded);
        pItem->setToolTip(4, strRecorded);
        if (eRecorded == ERecorded::NotRecorded) {
            pItem->setForeground(0, grey);
            pItem->setForeground(4, grey);
            return;
        }
        pItem->setText(1, amount(period.nRecv));
        pItem->setText(2, amount(period.nSent));
        const int64_t nTotal = bPlan ? period.nCounted : period.nSent + period.nRecv;
        pItem->setText(3, amount(nTotal));
        pItem->setToolTip(3, QStringLiteral("%1 bytes").arg(FormatCount(nTotal)));
    };
    for (const Period& period : periods) {
        auto* pItem = new QTreeWidgetItem(m_pList);
        fill(pItem, period);
        for (const Period& month : period.vecMonths) {
            fill(new QTreeWidgetItem(pItem), month);
        }
    }
    if (bYears && m_pList->topLevelItemCount() > 0) {
        m_pList->topLevelItem(0)->setExpanded(true); // this year
    }
    for (int nColumn = 1; nColumn < 5; ++nColumn) {
        m_pList->resizeColumnToContents(nColumn);
    }
}

void CHistoryView::RefreshApps(CUsageStore* pStore, int64_t nNowUtc) {
    const int nChoice = std::max(0, m_pAppPeriod->currentIndex());
    const ETier eTier = nChoice < 2 ? ETier::Day : ETier::Month;
    int64_t nStart = BucketStart(eTier, nNowUtc);
    if (nChoice % 2 == 1) {
        nStart = BucketStart(eTier, nStart - 1); // yesterday, last month
    }
    std::vector<AppHistoryRow> rows;
    if (pStore != nullptr) {
        int64_t nSent = 0, nRecv = 0;
        for (const UsageRow& row : pStore->ReadUsage(eTier, nStart, nStart + 1)) {
            nSent += row.nSent;
            nRecv += row.nRecv;
        }
        rows = SummarizeApplications(pStore->ReadApplications(eTier, nStart, nStart + 1), nSent,
                                     nRecv, kTopApplications);
    }
    m_pApps->clear();
    for (const AppHistoryRow& row : rows) {
        auto* pItem = new QTreeWidgetItem(m_pApps);
        const QString strName = QString::fromStdString(DescribeAppHistoryRow(row));
        pItem->setText(0, strName);
        pItem->setToolTip(0, strName);
        pItem->setText(1, BytesText(row.nRecv, m_eUnits));
        pItem->setText(2, BytesText(row.nSent, m_eUnits));
        pItem->setText(3, BytesText(row.nSent + row.nRecv, m_eUnits));
        pItem->setToolTip(3, QStringLiteral("%1 bytes").arg(FormatCount(row.nSent + row.nRecv)));
        for (int nColumn = 1; nColumn < 4; ++nColumn) {
            pItem->setTextAlignment(nColumn, Qt::AlignRight | Qt::AlignVCenter);
        }
        if (row.eKind != AppHistoryRow::EKind::Application) {
            // As the Applications tab shows the bytes of no application.
            QFont font = pItem->font(0);
            font.setItalic(true);
            for (int nColumn = 0; nColumn < 4; ++nColumn) {
                pItem->setFont(nColumn, font);
                pItem->setForeground(nColumn, palette().brush(QPalette::Disabled, QPalette::Text));
            }
        }
    }
    if (rows.empty()) {
        auto* pItem = new QTreeWidgetItem(m_pApps);
        pItem->setText(0, QStringLiteral("nothing recorded"));
        pItem->setForeground(0, palette().brush(QPalette::Disabled, QPalette::Text));
    }
    for (int nColumn = 1; nColumn < 4; ++nColumn) {
        m_pApps->resizeColumnToContents(nColumn);
    }
}

void CHistoryView::EditPlan() {
    std::set<std::string> devices;
    if (CUsageStore* pStore = m_keeper.GetStore()) {
        try {
            for (const std::string& strDevice : pStore->ReadDevices()) {
                devices.insert(strDevice);
            }
        } catch (const CSqliteError&) {
            // The dialog still lists the plan's own devices.
        }
    }
    // A plan that cannot be kept (the service refuses this user, the file cannot be written) is
    // said in the dialog, which stays open.
    CPlanDlg dlg(m_keeper.GetPlan(), devices, this, [this](const std::optional<Plan>& plan) {
        QString strError;
        return m_keeper.SetPlan(plan, strError) ? QString() : strError;
    });
    if (dlg.exec() == QDialog::Accepted) {
        Refresh();
    }
}
