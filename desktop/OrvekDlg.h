#pragma once

#include "CaptureClient.h"
#include "DetailsSource.h"
#include "OrvekSettings.h"

#include <QDialog>
#include <QFont>
#include <QIcon>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

class CDetailsDlg;
class CTrafficSampler;
class CUsageKeeper;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

// The main window: filter box, promiscuous choice, Capture and Stop, the received and sent
// counters and the web-site line. It holds the traffic meter (the capture helper's, through its
// client: the window holds no capability) and is its view; every path that ends the window stops
// capture first. It samples the meter once a second for the counters'
// tooltips and the Details window, and keeps the user's choices across runs.
class COrvekDlg : public QDialog, private IMeterView, private IDetailsSource {
    Q_OBJECT

public:
    explicit COrvekDlg(QWidget* pParent = nullptr);
    ~COrvekDlg() override;

    CCaptureClient& GetMeter() { return m_meter; }
    CTrafficSampler& GetSampler() { return *m_pSampler; }

    // The menu the window offers on a right click: Details, then the About box.
    std::unique_ptr<QMenu> CreateContextMenu();
    // User-interface thread: shows the one Details window (made on first use) and raises it.
    CDetailsDlg* OpenDetails();
    // User-interface thread: runs a window command; IDM_ABOUTBOX opens the About box.
    void OnSysCommand(unsigned nID);

    // User-interface thread: the Capture button (and Enter in the filter box while it is
    // enabled). Stores the filter and the promiscuous choice, then has capture start and returns
    // at once: the buttons show it started, and follow the outcome when it comes; a failure
    // stops whatever it opened and shows libpcap's text.
    void OnBnClickedCapture();
    // User-interface thread: the Stop button; returns at once, the helper stopping after; the
    // totals stay.
    void OnBnClickedStop();
    // User-interface thread: a click on the link line opens the web address.
    void OnStnClickedLink();

    // Every way of ending the dialog (Escape, the close box, accept) stops capture first.
    void done(int nResult) override;
    // Escape and the close box hide the window instead of ending it while fnHide says a tray
    // holds Orvek's icon.
    void reject() override;

    // The usage file and plan: the History view in Details and the plan in the counters'
    // tooltips. The keeper must outlive the window.
    void SetUsage(CUsageKeeper* pUsage) { m_pUsage = pUsage; }
    // User-interface thread: whether closing the window may hide it (a tray shows Orvek).
    void SetHideToTray(std::function<bool()> fnHide) { m_fnHideToTray = std::move(fnHide); }
    bool IsCapturing() const;
    // Whether the capture helper is late with an answer: the title says so meanwhile.
    bool IsHelperStalled() const { return m_bHelperStalled; }
    // Whether a Capture or Stop has not had its outcome yet.
    bool IsWaitingForHelper() const { return m_nWaiting > 0; }

signals:
    // User-interface thread, when capture started or stopped; receivers must not block.
    void CapturingChanged(bool bCapturing);

protected:
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    // User-interface thread: sets the two counter texts.
    void ShowCounters(const char* szRecv, const char* szSent) override;
    // Any thread: a modal box on the user-interface thread; from another thread a queued copy.
    // Messages that come while one waits or is shown (a burst of device failures) are shown
    // together, in one box.
    void ShowMessage(const std::string& strText, const char* szCaption) override;
    // User-interface thread: shows every waiting message, unless a box is open already (it shows
    // them when it closes).
    void ShowWaitingMessages();
    // Any thread: queues fn for the user-interface thread, through a timer when delayed.
    void Post(std::function<void()> fn, int nDelayMs) override;

    // User-interface thread: the meter's devices and totals.
    MeterSnapshot GetSnapshot() const override;
    // User-interface thread: the devices the user excluded.
    std::set<std::string> GetExcludedDevices() const override;
    // User-interface thread: closes (or reopens) devices at once and keeps the choice.
    void SetExcludedDevices(const std::set<std::string>& excluded) override;
    // User-interface thread: the devices the user said are tunnels, kept in the settings.
    std::map<std::string, std::string> GetTunnels() const override { return m_tunnels; }
    void SetTunnels(const std::map<std::string, std::string>& tunnels) override;
    // User-interface thread, after each sample: exact totals, packets, rates and drops in the
    // counters' tooltips.
    void UpdateCounterTips();
    // User-interface thread: lists the devices while nothing captures, so that the Details window
    // shows them (and their Counted boxes) before a Capture.
    void RefreshIdleDevices();
    // User-interface thread: a problem with the settings file, once, in a box that does not wait.
    void ShowSettingsProblem(const QString& strText);

    // User-interface thread: what a Capture came to; bLatest when no Capture or Stop came since.
    void OnCaptureStarted(const StartOutcome& outcome, bool bLatest, const std::string& strFilter,
                          bool bPromiscuous);
    // User-interface thread: the capture helper is late with an answer, or no longer.
    void ShowHelperStalled(bool bStalled);

    void CreateControls();
    // User-interface thread: Enter in the filter box.
    void OnFilterReturn();
    void SetCapturing(bool bCapturing);

    QIcon m_hIcon;
    QPushButton* m_btnCapture = nullptr;
    QPushButton* m_btnStop = nullptr;
    QFont m_fontCounter;
    QLabel* m_staticRecv = nullptr;
    QLabel* m_staticSent = nullptr;
    QLineEdit* m_editFilter = nullptr;
    QCheckBox* m_btnPromiscuous = nullptr;
    QLabel* m_staticLink = nullptr;
    COrvekSettings m_settings;
    std::map<std::string, std::string> m_tunnels; // user-interface thread
    QByteArray m_detailsGeometry;
    bool m_bLogarithmic = false;
    std::unique_ptr<CTrafficSampler> m_pSampler;
    CUsageKeeper* m_pUsage = nullptr;
    std::function<bool()> m_fnHideToTray;
    // Before the sampler it follows and the settings it writes to when it hides, destroyed first.
    std::unique_ptr<CDetailsDlg> m_pDetails;
    std::mutex m_mtxMessages;
    // Guarded by m_mtxMessages: caption and text of each box to show, a line per message; messages
    // that come one after the other with one caption share a box.
    std::vector<std::pair<std::string, std::string>> m_waitingMessages;
    bool m_bShowPosted = false;  // guarded by m_mtxMessages
    bool m_bMessageOpen = false; // user-interface thread only
    // User-interface thread: Captures and Stops asked for, so that an outcome that comes after a
    // newer request leaves the buttons alone.
    uint64_t m_nRequests = 0;
    int m_nWaiting = 0; // of them, those whose outcome has not come
    bool m_bHelperStalled = false;
    // Last member: destroyed first, it ends the helper while the controls still exist.
    CCaptureClient m_meter;
};
