#pragma once

// moc cannot read the C++20 library headers these bring; it needs none of them.
#ifndef Q_MOC_RUN
#include "PlanUsage.h"
#include "UsageClock.h"
#include "UsageRecorder.h"
#endif

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>

class CTimedSampler;

// The window's usage file and plan: records each of the sampler's snapshots (once a second, on
// the user-interface thread, never a capture thread), writes them every ten seconds while counts
// move and at the end, and keeps the plan's status for the tooltips, the tray and the History
// view. Alerts are checked at each snapshot, against the file's figures and what is not written
// yet, and handed out once per cycle, across restarts; of several crossed at once only the
// highest is said.
class CUsageKeeper : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kServiceAlertsGroup = "serviceAlerts";

    // The sampler and the clock must outlive the keeper. strPath "" : the window's usual file, or
    // with bService the system service's. The sampler's latest sample is the base: what the meter
    // counted before is not this run's (made before the first Capture, it holds nothing). With
    // bService the system service counts and records: the keeper only reads its file, and the
    // alerts given from it are kept in the user's settings (group kServiceAlertsGroup).
    CUsageKeeper(const CTimedSampler& sampler, const IUsageClock& clock,
                 const std::string& strPath = {}, bool bService = false,
                 QObject* pParent = nullptr);
    // Writes what is left.
    ~CUsageKeeper() override;

    // User-interface thread: writes now what was observed (the timer does it every ten seconds).
    void Flush(bool bFinal = false);

    const std::optional<Plan>& GetPlan() const { return m_plan; }
    // The plan's status as of the last snapshot, write or change; nullopt without a plan.
    const std::optional<PlanStatus>& GetPlanStatus() const { return m_status; }
    // Sets or removes the plan in the file (the service's through the service, which refuses a
    // user outside root and its capture group); false with the reason when it cannot be changed.
    bool SetPlan(const std::optional<Plan>& plan, QString& strError);
    // With the service: the socket through which plans are set in its file.
    void SetServiceSocket(std::string strSocket) { m_strServiceSocket = std::move(strSocket); }
    // "12.34 GB of 50.00 GB used (24.7 %) since 2026-12-01; at this pace ..." or "" without a
    // plan.
    QString DescribePlan() const;
    // Who counts, then recording, not recording and why, or the file's trouble: one line.
    QString DescribeState() const;
    // An alert that no notification service took: said by the tray and the History view.
    const QString& GetUndeliveredAlert() const { return m_strUndelivered; }
    void SetUndeliveredAlert(const QString& strText);

    // The file to read history from (nullptr when there is none yet), with what is not written.
    CUsageStore* GetStore() { return m_recorder.GetStore(); }
    const CUsageRecorder::PendingMap& GetPending() const { return m_recorder.GetPending(); }
    std::vector<RecordedSpan> GetPendingSpans() const { return m_recorder.GetPendingSpans(); }
    int64_t NowUtc() const { return m_recorder.NowUtc(); }

signals:
    // User-interface thread, after a write or a change of plan; receivers must not block.
    void Updated();
    // User-interface thread, once per alert and cycle, when a snapshot or a write crosses it;
    // receivers must not block.
    void AlertDue(int nPercent, const QString& strTitle, const QString& strText);

private:
    // User-interface thread, after each sample.
    void OnSampled();
    // With the service: hands out the alerts the service's figures crossed that this user was not
    // given yet, as FollowCounts does with the window's own file.
    void GiveServiceAlerts();
    // The plan set (or removed) where it is kept: its figures afresh, and the views told.
    void OnPlanChanged(const std::optional<Plan>& plan);
    // Reads the plan's figures from the file afresh, then follows the counts.
    void UpdateStatus();
    // The file's figures as last read with what is not written yet; hands out the alerts that
    // came due. Reads the file only when the cycle changed.
    void FollowCounts();

    const CTimedSampler& m_sampler;
    const bool m_bService;
    CUsageRecorder m_recorder;
    QTimer m_timerFlush;
    std::optional<Plan> m_plan;
    std::optional<PlanStatus> m_stored; // the file's figures, as of the last read
    std::optional<PlanStatus> m_status;
    bool m_bGiveAlerts = false; // the service's alerts: from the loop's first turn on
    QString m_strUndelivered;
    std::string m_strServiceSocket;
};
