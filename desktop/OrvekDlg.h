#pragma once

#include "CaptureClient.h"
#include "MessageBoxQueue.h"
#include "MeterViewAdapter.h"
#include "SettingsKeeper.h"
#include "Units.h"

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>
#include <utility>

class CDetailsDlg;
class CHistoryView;
class CTimedSampler;
class CUsageKeeper;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

// The main window: filter box, promiscuous choice, Capture and Stop, the received and sent
// counters and the web-site line, and their handlers; every path that ends the window stops
// capture first. It owns the parts it is made of: the traffic meter (the capture helper's, through
// its client: the window holds no capability) with its view adapter, the message boxes, the
// user's kept choices, the sampler behind the counters' tooltips and the Details window.
class COrvekDlg : public QDialog {
    Q_OBJECT

public:
    // source: where the meter's counts come from, decided at start (by default a capture helper
    // of its own).
    explicit COrvekDlg(QWidget* pParent = nullptr, const CaptureSource& source = {});
    ~COrvekDlg() override;

    CCaptureClient& GetMeter() { return m_meter; }
    CTimedSampler& GetSampler() { return *m_pSampler; }

    // The menu the window offers on a right click: Details, Start at login, the Units submenu
    // (binary or decimal), then the About box.
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
    // The family of units of everything the window shows but the plan's figures (which keep the
    // plan's unit) and the counters (the system's own text): the Details window, the History
    // tab's other figures, the counters' and the tray's tooltips.
    EByteUnits GetUnits() const { return m_eUnits; }
    // User-interface thread: shows everything in the family from now on; bKeep writes it to the
    // settings (the command line's choice holds for its run only).
    void SetUnits(EByteUnits eUnits, bool bKeep = true);
    // Whether the capture helper is late with an answer: the title says so meanwhile.
    bool IsHelperStalled() const { return m_bHelperStalled; }
    // Whether a Capture or Stop has not had its outcome yet.
    bool IsWaitingForHelper() const { return m_nWaiting > 0; }

signals:
    // User-interface thread, when capture started or stopped; receivers must not block.
    void CapturingChanged(bool bCapturing);
    // User-interface thread, when the family of units changed; receivers must not block.
    void UnitsChanged(EByteUnits eUnits);

protected:
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    // The counters move at the display's pace while shown; hidden (in the tray), the snapshot
    // is pushed once a second, for the tray's tip.
    void showEvent(QShowEvent* pEvent) override;
    void hideEvent(QHideEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    // User-interface thread, from the adapter: sets the two counter texts.
    void ShowCounters(int64_t nRecvBytes, int64_t nSentBytes);
    // Any thread: the message boxes' (see CMessageBoxQueue::ShowMessage).
    void ShowMessage(const std::string& strText, const char* szCaption) {
        m_messages.ShowMessage(strText, szCaption);
    }
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

    // The controls are children: QObject deletes them after every member below is gone.
    QIcon m_hIcon;
    QPushButton* m_btnCapture = nullptr;
    QPushButton* m_btnStop = nullptr;
    QFont m_fontCounter;
    QLabel* m_staticRecv = nullptr;
    QLabel* m_staticSent = nullptr;
    QLineEdit* m_editFilter = nullptr;
    QCheckBox* m_btnPromiscuous = nullptr;
    QLabel* m_staticLink = nullptr;
    // Destroyed in the reverse of this order: the Details window (already in the destructor, while
    // the settings it saves its place to exist), the sampler, then the adapter, whose client ends
    // the helper while the settings and message boxes it reports to still exist.
    CMessageBoxQueue m_messages;
    CSettingsKeeper m_settings;
    // The meter's view and the Details window's source; owns the meter's client.
    CMeterViewAdapter m_view;
    // The adapter's client: the window's meter.
    CCaptureClient& m_meter;
    // Reads m_view: made after it, destroyed before it.
    std::unique_ptr<CTimedSampler> m_pSampler;
    CUsageKeeper* m_pUsage = nullptr;
    std::function<bool()> m_fnHideToTray;
    // Follows the sampler and reads m_view; destroyed first, in the destructor.
    std::unique_ptr<CDetailsDlg> m_pDetails;
    // The Details window's History tab, which it owns.
    QPointer<CHistoryView> m_pHistory;
    EByteUnits m_eUnits = EByteUnits::Binary;
    // User-interface thread: Captures and Stops asked for, so that an outcome that comes after a
    // newer request leaves the buttons alone.
    uint64_t m_nRequests = 0;
    int m_nWaiting = 0; // of them, those whose outcome has not come
    bool m_bHelperStalled = false;
};
