#include "OrvekDlg.h"

#include "AboutDlg.h"
#include "Autostart.h"
#include "CaptureAdvice.h"
#include "DetailsDlg.h"
#include "DialogUnits.h"
#include "HistoryView.h"
#include "OrvekApp.h"
#include "Protocol.h"
#include "RateGraph.h"
#include "TimedSampler.h"
#include "TrafficText.h"
#include "UsageKeeper.h"
#include "ZarnException.h"
#include "res/resource.h"

#include <QActionGroup>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFontInfo>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

namespace {

constexpr const char* kHowToInclude = "To count a device, tick its Counted box in the Details "
                                      "window (right-click this window, Details...).";

} // namespace

COrvekDlg::COrvekDlg(QWidget* pParent, const CaptureSource& captureSource)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_hIcon(COrvekApp::LoadIcon()), m_messages(this),
      m_settings([this](const QString& strText) { ShowSettingsProblem(strText); }),
      m_view(
          this, m_settings, m_messages,
          {.fnShowCounters = [this](int64_t nRecvBytes,
                                    int64_t nSentBytes) { ShowCounters(nRecvBytes, nSentBytes); },
           // User-interface thread: a helper that ended by itself has stopped capture.
           .fnCaptureEnded =
               [this] {
                   ++m_nRequests;
                   SetCapturing(false);
               },
           .fnExcludedChanged = [this] { RefreshIdleDevices(); }},
          captureSource),
      m_meter(m_view.GetMeter()) {
    setObjectName(QStringLiteral("IDD_MAIN_DIALOG"));
    setWindowTitle(QStringLiteral(ORVEK_WEB_ADDRESS " - Orvek"));
    setWindowIcon(m_hIcon);
    // The last Capture's choices, before the controls show them; the first start has none.
    m_settings.Load(m_meter);
    m_eUnits = m_settings.GetUnits();
    // User-interface thread, posted.
    m_meter.SetStallHandler([this](bool bStalled) { ShowHelperStalled(bStalled); });
    RefreshIdleDevices();
    CreateControls();

    // Linux desktops offer no way to extend a window's system menu: the About box is on the
    // window's context menu and on F1.
    auto* pHelp = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(pHelp, &QShortcut::activated, this, [this] { OnSysCommand(IDM_ABOUTBOX); });

    m_meter.UpdateCounters();
    m_btnCapture->setFocus(Qt::OtherFocusReason);

    const IDetailsSource& source = m_view;
    m_pSampler = std::make_unique<CTimedSampler>(source);
    connect(m_pSampler.get(), &CTimedSampler::Sampled, this, &COrvekDlg::UpdateCounterTips);
    m_pSampler->Start();
}

COrvekDlg::~COrvekDlg() {
    // The Details window goes while the settings it saves its place to still exist.
    m_pDetails.reset();
}

void COrvekDlg::CreateControls() {
    const DialogBaseUnits base = GetDialogBaseUnits(font());
    const auto place = [base](QWidget* pWidget, const char* szName, QRect rcUnits) {
        pWidget->setObjectName(QLatin1String(szName));
        pWidget->setGeometry(MapDialogRect(rcUnits, base));
    };
    const auto makeCounter = [this, &place](const char* szName, QRect rcUnits) {
        auto* pStatic = new QLabel(this);
        place(pStatic, szName, rcUnits);
        pStatic->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pStatic->setLineWidth(1);
        pStatic->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        pStatic->setTextFormat(Qt::PlainText);
        return pStatic;
    };

    // Created in template order, which is also the tab order.
    m_staticSent = makeCounter("IDC_SENT_COUNTER", {6, 90, 216, 36});

    // The two buttons share the room right of the filter, ending where the counters' frames end.
    m_btnCapture = new QPushButton(QStringLiteral("&Capture"), this);
    place(m_btnCapture, "IDC_CAPTURE", {120, 6, 49, 14});
    connect(m_btnCapture, &QPushButton::clicked, this, &COrvekDlg::OnBnClickedCapture);

    m_btnStop = new QPushButton(QStringLiteral("&Stop"), this);
    place(m_btnStop, "IDC_STOP", {173, 6, 49, 14});
    m_btnStop->setEnabled(false);
    connect(m_btnStop, &QPushButton::clicked, this, &COrvekDlg::OnBnClickedStop);

    m_editFilter = new QLineEdit(QString::fromStdString(m_meter.GetFilter()), this);
    place(m_editFilter, "IDC_FILTER", {6, 6, 108, 14});
    connect(m_editFilter, &QLineEdit::returnPressed, this, &COrvekDlg::OnFilterReturn);

    m_btnPromiscuous = new QCheckBox(QStringLiteral("&Promiscuous mode"), this);
    place(m_btnPromiscuous, "IDC_PROMISCUOUS", {6, 24, 108, 12});
    m_btnPromiscuous->setChecked(m_meter.IsPromiscuous());

    m_staticRecv = makeCounter("IDC_RECV_COUNTER", {6, 48, 216, 36});
    // A double-click on either counter opens the Details window.
    m_staticRecv->installEventFilter(this);
    m_staticSent->installEventFilter(this);

    m_staticLink = new QLabel(QStringLiteral("Visit our web site " ORVEK_WEB_ADDRESS), this);
    place(m_staticLink, "IDC_LINK", {6, 132, 216, 13});
    m_staticLink->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_staticLink->setLineWidth(1);
    m_staticLink->setAlignment(Qt::AlignCenter);
    m_staticLink->setTextFormat(Qt::PlainText);
    m_staticLink->installEventFilter(this);

    setTabOrder(m_btnCapture, m_btnStop);
    setTabOrder(m_btnStop, m_editFilter);
    setTabOrder(m_editFilter, m_btnPromiscuous);

    const int nHeight = ScaleCounterFontHeight(QFontInfo(font()).pixelSize());
    if (nHeight > 0) {
        m_fontCounter = font();
        m_fontCounter.setPixelSize(nHeight);
        m_staticRecv->setFont(m_fontCounter);
        m_staticSent->setFont(m_fontCounter);
    }

    setFixedSize(MapDialogRect({0, 0, 226, 149}, base).size());
}

std::unique_ptr<QMenu> COrvekDlg::CreateContextMenu() {
    auto pMenu = std::make_unique<QMenu>(this);
    QAction* pDetails = pMenu->addAction(QStringLiteral("&Details..."));
    // User-interface thread, from the menu's own loop.
    connect(pDetails, &QAction::triggered, this, [this] { OpenDetails(); });
    QAction* pLogin = pMenu->addAction(QStringLiteral("Start at &login"));
    pLogin->setCheckable(true);
    pLogin->setChecked(IsAutostartEnabled());
    pLogin->setToolTip(QStringLiteral("Start Orvek capturing when you log in, in the tray if "
                                      "there is one"));
    // User-interface thread: writes or removes the autostart entry at once.
    connect(pLogin, &QAction::toggled, this, [this](bool bEnabled) {
        std::string strError;
        if (!SetAutostart(bEnabled, QCoreApplication::applicationFilePath().toStdString(),
                          strError)) {
            QMessageBox::warning(this, QStringLiteral("Orvek"), QString::fromStdString(strError));
        }
    });
    QMenu* pUnits = pMenu->addMenu(QStringLiteral("&Units"));
    auto* pGroup = new QActionGroup(pUnits);
    for (const auto& [eUnits, szText] :
         {std::pair{EByteUnits::Binary, "&Binary: KiB, MiB, GiB of 1,024"},
          std::pair{EByteUnits::Decimal, "&Decimal: kB, MB, GB of 1,000"}}) {
        QAction* pAction = pUnits->addAction(QLatin1String(szText));
        pAction->setCheckable(true);
        pAction->setChecked(eUnits == m_eUnits);
        pAction->setActionGroup(pGroup);
        // User-interface thread, from the menu's own loop.
        connect(pAction, &QAction::triggered, this, [this, eUnits] { SetUnits(eUnits); });
    }
    QAction* pAbout = pMenu->addAction(QStringLiteral("&About Orvek..."));
    connect(pAbout, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    return pMenu;
}

void COrvekDlg::contextMenuEvent(QContextMenuEvent* pEvent) {
    CreateContextMenu()->exec(pEvent->globalPos());
}

void COrvekDlg::OnSysCommand(unsigned nID) {
    if (nID == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout(this,
                           QString::fromStdString(DescribeCaptureSource(m_meter.GetSource())));
        dlgAbout.exec();
    }
}

CDetailsDlg* COrvekDlg::OpenDetails() {
    if (!m_pDetails) {
        IDetailsSource& source = m_view;
        m_pDetails = std::make_unique<CDetailsDlg>(source, *m_pSampler,
                                                   m_settings.GetDetailsGeometry(), this);
        m_pDetails->GetGraph()->SetLogarithmic(m_settings.IsLogarithmic());
        // User-interface thread, on a click of the graph's box.
        connect(m_pDetails->GetGraph(), &CRateGraph::LogarithmicChanged, this,
                [this](bool bLogarithmic) { m_settings.SetLogarithmic(bLogarithmic); });
        m_pDetails->SetUnits(m_eUnits);
        if (m_pUsage != nullptr) {
            m_pHistory = new CHistoryView(*m_pUsage);
            m_pHistory->SetUnits(m_eUnits);
            m_pDetails->AddTab(m_pHistory, QStringLiteral("&History"));
        }
        // User-interface thread, when Details hides: its place is written only when it moved.
        connect(m_pDetails.get(), &CDetailsDlg::GeometryToKeep, this,
                [this](const QByteArray& geometry) { m_settings.SetDetailsGeometry(geometry); });
    }
    // Devices may have come or gone since they were listed.
    RefreshIdleDevices();
    m_pDetails->show();
    m_pDetails->raise();
    m_pDetails->activateWindow();
    return m_pDetails.get();
}

void COrvekDlg::SetUnits(EByteUnits eUnits, bool bKeep) {
    if (bKeep) {
        m_settings.SetUnits(eUnits);
    }
    if (eUnits == m_eUnits) {
        return;
    }
    m_eUnits = eUnits;
    if (m_pDetails) {
        m_pDetails->SetUnits(eUnits);
    }
    if (m_pHistory) {
        m_pHistory->SetUnits(eUnits);
    }
    UpdateCounterTips();
    emit UnitsChanged(eUnits);
}

void COrvekDlg::RefreshIdleDevices() {
    // Returns at once; the states come with the helper's next snapshot.
    m_meter.RefreshDeviceStates();
}

void COrvekDlg::ShowSettingsProblem(const QString& strText) {
    auto* pBox = new QMessageBox(QMessageBox::Warning, QStringLiteral("Orvek settings"), strText,
                                 QMessageBox::Ok, this);
    pBox->setObjectName(QStringLiteral("IDD_SETTINGS_PROBLEM"));
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->setModal(false);
    // Shown from the event loop: the window may still be under construction.
    QTimer::singleShot(0, pBox, [pBox] { pBox->show(); });
}

void COrvekDlg::UpdateCounterTips() {
    if (!m_pSampler) {
        return;
    }
    const TrafficSample& sample = m_pSampler->GetLatest();
    QString strDrops;
    if (sample.nDropsSinceCapture > 0) {
        strDrops = QStringLiteral("\nThe kernel dropped %1 packets since Capture: the totals are "
                                  "lower bounds, short by those %1 packets.")
                       .arg(FormatCount(sample.nDropsSinceCapture));
    }
    const auto tip = [this, &strDrops](const char* szWhat, int64_t nBytes, int64_t nPackets,
                                       double dRate) {
        QString strTip =
            QStringLiteral("%1 %2 bytes in %3 packets")
                .arg(QLatin1String(szWhat), FormatCount(nBytes), FormatCount(nPackets));
        if (dRate >= 0) {
            strTip += QStringLiteral("\nNow %1").arg(RateText(dRate, m_eUnits));
        }
        return strTip + strDrops;
    };
    QString strRecv = tip("Received", sample.nRecvBytes, sample.nRecvPackets, sample.dRecvRate);
    QString strSent = tip("Sent", sample.nSentBytes, sample.nSentPackets, sample.dSentRate);
    if (m_pUsage != nullptr && m_pUsage->GetPlanStatus()) {
        const QString strPlan = QStringLiteral("\nData plan: ") + m_pUsage->DescribePlan();
        strRecv += strPlan;
        strSent += strPlan;
    }
    if (m_staticRecv->toolTip() != strRecv) {
        m_staticRecv->setToolTip(strRecv);
    }
    if (m_staticSent->toolTip() != strSent) {
        m_staticSent->setToolTip(strSent);
    }
}

void COrvekDlg::OnBnClickedCapture() {
    const std::string strFilter = m_editFilter->text().toStdString();
    const bool bPromiscuous = m_btnPromiscuous->isChecked();
    m_meter.SetCaptureSettings(strFilter, bPromiscuous);
    // Drops are told since this Capture; earlier ones were told then.
    m_pSampler->MarkCapture();
    const uint64_t nRequest = ++m_nRequests;
    ++m_nWaiting;
    SetCapturing(true);
    // User-interface thread, posted.
    m_meter.RequestStart([this, nRequest, strFilter, bPromiscuous](const StartOutcome& outcome) {
        --m_nWaiting;
        OnCaptureStarted(outcome, nRequest == m_nRequests, strFilter, bPromiscuous);
    });
}

void COrvekDlg::OnCaptureStarted(const StartOutcome& outcome, bool bLatest,
                                 const std::string& strFilter, bool bPromiscuous) {
    if (outcome.error) {
        // Adapters opened before the failure would go on with settings the user is about to
        // change, and the next Start would not announce them again: leave nothing running (a
        // Stop that came since does it already).
        if (bLatest) {
            OnBnClickedStop();
        }
        std::string strMessage = m_meter.DescribeFailure(*outcome.error);
        // A device the user excluded might have counted: said with the failure.
        const std::vector<DeviceState> states = m_meter.GetDeviceStates();
        if (std::ranges::any_of(states, [](const DeviceState& state) {
                return state.eState == EDeviceState::Excluded;
            })) {
            strMessage += "\n\n" + DescribeNothingCaptured(states, kHowToInclude);
        }
        ShowMessage(strMessage, kExceptionCaption);
        return;
    }
    // Kept once it captured: a filter that libpcap refused is not offered again.
    m_settings.SaveCapture(strFilter, bPromiscuous);
    // The devices that did open count; the others are named once.
    if (!outcome.strFailures.empty()) {
        m_meter.OnException(CZarnException(0, outcome.strFailures.c_str()));
    }
    // Capturing nothing must not look like counting a quiet host. Capture goes on: devices that
    // come up, or are ticked, are opened.
    if (const std::string strNothing =
            DescribeNothingCaptured(m_meter.GetDeviceStates(), kHowToInclude);
        bLatest && !strNothing.empty()) {
        ShowMessage(strNothing, "Orvek");
    }
}

void COrvekDlg::OnBnClickedStop() {
    ++m_nRequests;
    ++m_nWaiting;
    SetCapturing(false);
    // User-interface thread, posted.
    m_meter.RequestStop([this] { --m_nWaiting; });
}

void COrvekDlg::ShowHelperStalled(bool bStalled) {
    m_bHelperStalled = bStalled;
    setWindowTitle(bStalled ? QStringLiteral(ORVEK_WEB_ADDRESS
                                             " - Orvek (the capture helper is not answering)")
                            : QStringLiteral(ORVEK_WEB_ADDRESS " - Orvek"));
}

void COrvekDlg::OnStnClickedLink() {
    QDesktopServices::openUrl(QUrl(QStringLiteral(ORVEK_WEB_ADDRESS)));
}

void COrvekDlg::OnFilterReturn() {
    // Enter in the filter box means "capture with this filter"; it never ends the dialog.
    if (m_btnCapture->isEnabled()) {
        OnBnClickedCapture();
    }
}

void COrvekDlg::SetCapturing(bool bCapturing) {
    QPushButton* pOn = bCapturing ? m_btnStop : m_btnCapture;
    QPushButton* pOff = bCapturing ? m_btnCapture : m_btnStop;
    const bool bHadFocus = pOff->hasFocus();
    pOn->setEnabled(true);
    pOff->setEnabled(false);
    if (bHadFocus) {
        pOn->setFocus(Qt::OtherFocusReason);
    }
    emit CapturingChanged(bCapturing);
}

bool COrvekDlg::IsCapturing() const {
    return m_btnStop->isEnabled();
}

void COrvekDlg::reject() {
    if (m_fnHideToTray && m_fnHideToTray()) {
        hide();
        return;
    }
    QDialog::reject();
}

void COrvekDlg::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    m_meter.SetPace(std::chrono::milliseconds(kMinPaceMs));
}

void COrvekDlg::hideEvent(QHideEvent* pEvent) {
    QDialog::hideEvent(pEvent);
    m_meter.SetPace(std::chrono::milliseconds(kMaxPaceMs));
}

void COrvekDlg::keyPressEvent(QKeyEvent* pEvent) {
    // Enter reaches the dialog only from a control that did not use it (a focused push button
    // presses itself, the filter box captures): it neither ends the dialog nor presses a
    // default button, which would otherwise be whichever button last had the focus.
    if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
        pEvent->accept();
        return;
    }
    QDialog::keyPressEvent(pEvent);
}

void COrvekDlg::done(int nResult) {
    if (m_pDetails) {
        m_pDetails->close();
    }
    OnBnClickedStop();
    QDialog::done(nResult);
}

bool COrvekDlg::eventFilter(QObject* pWatched, QEvent* pEvent) {
    if ((pWatched == m_staticRecv || pWatched == m_staticSent) &&
        pEvent->type() == QEvent::MouseButtonDblClick) {
        OpenDetails();
        return true;
    }
    if (pWatched == m_staticLink && pEvent->type() == QEvent::MouseButtonRelease) {
        const auto* pMouse = static_cast<QMouseEvent*>(pEvent);
        if (pMouse->button() == Qt::LeftButton &&
            m_staticLink->rect().contains(pMouse->position().toPoint())) {
            OnStnClickedLink();
            return true;
        }
    }
    return QDialog::eventFilter(pWatched, pEvent);
}

void COrvekDlg::ShowCounters(int64_t nRecvBytes, int64_t nSentBytes) {
    m_staticRecv->setText(QString::fromStdString(FormatRecvCounter(nRecvBytes)));
    m_staticSent->setText(QString::fromStdString(FormatSentCounter(nSentBytes)));
}
