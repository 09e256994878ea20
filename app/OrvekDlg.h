#pragma once

#include "OrvekMeter.h"

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QTimer>

#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

// The main window: filter box, promiscuous choice, Capture and Stop, the received and sent
// counters and the web-site line. It is also the traffic meter that capture reports to, so every
// path that ends the window stops capture first.
class COrvekDlg : public QDialog, public COrvekMeter {
    Q_OBJECT

public:
    explicit COrvekDlg(QWidget* pParent = nullptr);
    ~COrvekDlg() override;

    // The menu the window offers on a right click; its one action opens the About box.
    std::unique_ptr<QMenu> CreateContextMenu();
    // User-interface thread: runs a window command; IDM_ABOUTBOX (and the ids of its group of
    // sixteen) opens the About box.
    void OnSysCommand(unsigned nID);

    void OnBnClickedCapture();
    void OnBnClickedStop();
    void OnStnClickedLink();

    // Every way of ending the dialog (Escape, the close box, accept) stops capture first.
    void done(int nResult) override;

protected:
    void PostDisplayUpdate() override;
    void ShowCounters(const char* szRecv, const char* szSent) override;
    void ShowMessage(const std::string& strText, const char* szCaption) override;

    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void CreateControls();
    void OnDisplayUpdate();
    void OnDisplayPaced();
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
    // Paces counter updates: while it runs one update is pending, and its timeout shows the
    // latest totals if they moved, so the cost does not grow with the packet rate.
    QTimer m_timerDisplay;
};
