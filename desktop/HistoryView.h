#pragma once

// moc cannot read the C++20 library headers this brings; it needs none of them.
#ifndef Q_MOC_RUN
#include "Plan.h"
#include "RecordedTime.h"
#endif
#include "Units.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <vector>

class CUsageKeeper;
class CUsageStore;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

// Bars of bytes per day, the last one being today; painted from the values it was given.
class CUsageBars : public QWidget {
    Q_OBJECT

public:
    using QWidget::QWidget;
    // User-interface thread: one value per day and its label (day of the month); amounts in the
    // plan's kind of unit (decimal or binary), or in SetUnits' family without one.
    void SetDays(std::vector<int64_t> vecBytes, std::vector<QString> vecLabels, int nToday,
                 std::optional<ECapUnit> eUnit = std::nullopt);
    // User-interface thread, after SetDays: how much of each day was recorded, and each day's
    // tooltip. Days nobody recorded are hatched instead of drawn as zero.
    void SetRecording(std::vector<ERecorded> vecRecorded, std::vector<QString> vecTips);
    const std::vector<int64_t>& GetDays() const { return m_vecBytes; }
    // User-interface thread: the family of units without a plan.
    void SetUnits(EByteUnits eUnits);
    const std::vector<ERecorded>& GetRecording() const { return m_vecRecorded; }
    // The day under a point of the widget, or -1.
    int DayAt(QPoint point) const;
    QString DayTip(int nDay) const;
    QSize sizeHint() const override { return {480, 150}; }

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    bool event(QEvent* pEvent) override;

private:
    // Where the bars are drawn.
    QRect BarArea() const;

    std::vector<int64_t> m_vecBytes;
    std::vector<QString> m_vecLabels;
    int m_nToday = -1;
    std::optional<ECapUnit> m_eUnit;
    EByteUnits m_eUnits = EByteUnits::Binary;
    std::vector<ERecorded> m_vecRecorded;
    std::vector<QString> m_vecTips;
};

// The Details window's History view: whether usage is recorded and since when, the plan's used
// bytes against its cap with a projection to the cycle's end, this cycle's (or month's) days as
// bars, the past cycles (or months) or the years by month as a list, and the applications of a
// day or month, largest first. Time nobody recorded reads "not recorded", never as zero bytes,
// and the lists start at the first recorded day. Follows the keeper: redrawn after each write
// while shown.
class CHistoryView : public QWidget {
    Q_OBJECT

public:
    // The keeper must outlive the view.
    explicit CHistoryView(CUsageKeeper& keeper, QWidget* pParent = nullptr);

    // User-interface thread: the family of units of the figures that are not the plan's (those
    // keep the plan's unit); redrawn at once while shown.
    void SetUnits(EByteUnits eUnits);
    // User-interface thread: reads the file afresh.
    void Refresh();
    // User-interface thread: the plan dialog; a changed plan is kept in the file.
    void EditPlan();

    CUsageBars* GetBars() const { return m_pBars; }
    QTreeWidget* GetList() const { return m_pList; }
    // The list's choice: past cycles (or months), or years.
    enum EListView { PastPeriods = 0, Years = 1 };
    QComboBox* GetListView() const { return m_pListView; }
    // "Recorded since 2026-12-08 14:05", or that nothing is recorded yet.
    QLabel* GetSinceLabel() const { return m_pSince; }
    // The applications' list and its choice of day or month.
    QTreeWidget* GetApps() const { return m_pApps; }
    QComboBox* GetAppPeriod() const { return m_pAppPeriod; }
    // Applications listed by name; the rest are one row.
    static constexpr size_t kTopApplications = 20;
    QLabel* GetPlanLabel() const { return m_pPlan; }
    QLabel* GetStateLabel() const { return m_pState; }

protected:
    void showEvent(QShowEvent* pEvent) override;

private:
    // The applications of the chosen day or month, from the file.
    void RefreshApps(CUsageStore* pStore, int64_t nNowUtc);

    CUsageKeeper& m_keeper;
    QLabel* m_pState = nullptr;
    QLabel* m_pSince = nullptr;
    QLabel* m_pPlan = nullptr;
    QProgressBar* m_pUsed = nullptr;
    QPushButton* m_pEdit = nullptr;
    CUsageBars* m_pBars = nullptr;
    QComboBox* m_pListView = nullptr;
    QTreeWidget* m_pList = nullptr;
    QComboBox* m_pAppPeriod = nullptr;
    QTreeWidget* m_pApps = nullptr;
    EByteUnits m_eUnits = EByteUnits::Binary;
};
