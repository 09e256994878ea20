#include "UsageKeeper.h"

#include "ServiceConnection.h"

#include "TimedSampler.h"

#include <QSettings>

#include <cstdio>

namespace {

std::string PathOrDefault(const std::string& strPath, bool bService) {
    return !strPath.empty() ? strPath : bService ? ServiceUsagePath() : DefaultUsagePath();
}

} // namespace

CUsageKeeper::CUsageKeeper(const CTimedSampler& sampler, const IUsageClock& clock,
                           const std::string& strPath, bool bService, QObject* pParent)
    : QObject(pParent), m_sampler(sampler), m_bService(bService),
      m_recorder(
          PathOrDefault(strPath, bService), clock,
          [](const std::string& strText) {
              // Said once per trouble, as the settings file's troubles are.
              std::fprintf(stderr, "orvek: %s\n", strText.c_str());
          },
          bService ? CUsageRecorder::EMode::ReadOnly : CUsageRecorder::EMode::Record) {
    if (CUsageStore* pStore = m_recorder.GetStore()) {
        try {
            m_plan = LoadPlan(*pStore);
        } catch (const CSqliteError&) {
            // Read again when the plan is shown; the file's trouble is said by the recorder.
        }
    }
    // The base: the latest sample, taken before any Capture of this run.
    OnSampled();
    connect(&m_sampler, &CTimedSampler::Sampled, this, &CUsageKeeper::OnSampled);
    m_timerFlush.setInterval(CUsageRecorder::kFlushPeriodMs);
    // User-interface thread, every ten seconds: writes only when something was counted.
    connect(&m_timerFlush, &QTimer::timeout, this, [this] {
        if (m_recorder.HasPending() || m_recorder.GetState() != CUsageRecorder::EState::Recording) {
            Flush();
        }
    });
    m_timerFlush.start();
    UpdateStatus();
    // The service's figures may have crossed an alert while no window ran: it is handed out once
    // the loop runs, when whoever shows it is connected, not marked given and said to nobody.
    QTimer::singleShot(0, this, [this] {
        m_bGiveAlerts = true;
        if (m_stored) {
            FollowCounts();
        }
    });
}

CUsageKeeper::~CUsageKeeper() {
    m_recorder.Flush(true);
}

void CUsageKeeper::OnSampled() {
    const TrafficSample& sample = m_sampler.GetLatest();
    MeterSnapshot snapshot;
    snapshot.devices.reserve(sample.devices.size());
    for (const DeviceSample& device : sample.devices) {
        snapshot.devices.push_back(device.device);
    }
    snapshot.apps.reserve(sample.apps.size());
    for (const AppSample& app : sample.apps) {
        snapshot.apps.push_back(app.app);
    }
    m_recorder.Observe(snapshot);
    if (m_stored) {
        FollowCounts();
    }
}

void CUsageKeeper::Flush(bool bFinal) {
    m_recorder.Flush(bFinal);
    UpdateStatus();
    emit Updated();
}

void CUsageKeeper::UpdateStatus() {
    m_stored.reset();
    if (!m_plan) {
        m_status.reset();
        return;
    }
    try {
        m_stored = ReadPlanStatus(*m_plan, m_recorder.GetStore(), m_recorder.NowUtc());
    } catch (const CSqliteError& e) {
        std::fprintf(stderr, "orvek: cannot read the plan's usage: %s\n", e.what());
        return;
    }
    FollowCounts();
}

void CUsageKeeper::FollowCounts() {
    const int64_t nNow = m_recorder.NowUtc();
    if (nNow < m_stored->cycle.nStart || nNow >= m_stored->cycle.nEnd) {
        UpdateStatus(); // a new cycle: its figures and alerts are the file's afresh
        return;
    }
    m_status = AddPending(*m_stored, m_recorder.GetPending(), m_recorder.GetPendingSpans(), nNow);
    CUsageStore* pStore = m_recorder.GetStore();
    if (pStore != nullptr && m_bService) {
        GiveServiceAlerts();
        return;
    }
    if (pStore == nullptr || DueAlerts(m_status->plan, m_status->nUsed, m_status->fired).empty()) {
        return;
    }
    try {
        const std::vector<int> vecTaken = TakeDueAlerts(*pStore, *m_status, nNow);
        m_stored->fired = m_status->fired;
        if (!vecTaken.empty()) {
            const int nPercent = vecTaken.back();
            emit AlertDue(nPercent, QString::fromStdString(AlertTitle(nPercent)),
                          QString::fromStdString(AlertText(*m_status, nPercent)));
        }
    } catch (const CSqliteError& e) {
        // Tried again when the file is next read, not at every snapshot.
        for (const int nPercent : DueAlerts(m_status->plan, m_status->nUsed, m_status->fired)) {
            m_stored->fired.insert(nPercent);
        }
        std::fprintf(stderr, "orvek: cannot keep the plan's alerts: %s\n", e.what());
    }
}

void CUsageKeeper::GiveServiceAlerts() {
    if (!m_bGiveAlerts) {
        return;
    }
    // The service's file is not the window's to mark: the alerts this user was given are kept in
    // the user's settings, for the current cycle only.
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Orvek"),
                       QStringLiteral("Orvek"));
    settings.beginGroup(QLatin1String(kServiceAlertsGroup));
    const QString strCycle = QString::number(m_status->cycle.nStart);
    std::set<int> given = m_status->fired;
    for (const QString& strPercent :
         settings.value(strCycle).toString().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        given.insert(strPercent.toInt());
    }
    const std::vector<int> vecDue = DueAlerts(m_status->plan, m_status->nUsed, given);
    given.insert(vecDue.begin(), vecDue.end());
    m_status->fired = given;
    m_stored->fired = given;
    if (vecDue.empty()) {
        return;
    }
    QStringList list;
    for (const int nPercent : given) {
        list << QString::number(nPercent);
    }
    for (const QString& strKey : settings.childKeys()) {
        if (strKey != strCycle) {
            settings.remove(strKey);
        }
    }
    settings.setValue(strCycle, list.join(QLatin1Char(',')));
    settings.sync();
    const int nPercent = vecDue.back();
    emit AlertDue(nPercent, QString::fromStdString(AlertTitle(nPercent)),
                  QString::fromStdString(AlertText(*m_status, nPercent)));
}

bool CUsageKeeper::SetPlan(const std::optional<Plan>& plan, QString& strError) {
    if (m_bService && !m_strServiceSocket.empty()) {
        // The service's file is read-only here: the service writes it, for those it allows.
        const std::string strRefusal =
            AskServiceToSetPlan(m_strServiceSocket, plan ? SerializePlan(*plan) : "");
        if (!strRefusal.empty()) {
            strError = QStringLiteral("This host's plan was not changed: %1.")
                           .arg(QString::fromStdString(strRefusal));
            return false;
        }
        OnPlanChanged(plan);
        return true;
    }
    CUsageStore* pStore = m_recorder.GetStore();
    if (pStore == nullptr) {
        strError = QString::fromStdString(m_recorder.DescribeState());
        return false;
    }
    try {
        SavePlan(*pStore, plan);
    } catch (const CSqliteError& e) {
        strError = QStringLiteral("Cannot keep the plan in %1: %2")
                       .arg(QString::fromStdString(pStore->GetPath()), QString::fromUtf8(e.what()));
        return false;
    }
    OnPlanChanged(plan);
    return true;
}

void CUsageKeeper::OnPlanChanged(const std::optional<Plan>& plan) {
    m_plan = plan;
    m_strUndelivered.clear();
    UpdateStatus();
    emit Updated();
}

QString CUsageKeeper::DescribePlan() const {
    if (!m_status) {
        return {};
    }
    const std::string strProjection = DescribeProjection(*m_status);
    return QString::fromStdString(DescribeUsed(*m_status) +
                                  (strProjection.empty() ? "" : "; " + strProjection));
}

QString CUsageKeeper::DescribeState() const {
    return QString::fromStdString(
        (m_bService ? "Counting by the system service; " : "Counting by its own capture helper; ") +
        m_recorder.DescribeState() + ".");
}

void CUsageKeeper::SetUndeliveredAlert(const QString& strText) {
    m_strUndelivered = strText;
    emit Updated();
}
