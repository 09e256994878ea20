#include "OrvekDlg.h"

#include "AboutDlg.h"
#include "DialogUnits.h"
#include "OrvekApp.h"
#include "QtPost.h"
#include "ZarnException.h"
#include "res/resource.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QUrl>

#include <memory>

COrvekDlg::COrvekDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_hIcon(COrvekApp::LoadIcon()) {
    setObjectName(QStringLiteral("IDD_MAIN_DIALOG"));
    setWindowTitle(QStringLiteral(ORVEK_WEB_ADDRESS " - Orvek"));
    setWindowIcon(m_hIcon);
    CreateControls();

    // Linux desktops offer no way to extend a window's system menu: the About box is on the
    // window's context menu and on F1.
    auto* pHelp = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(pHelp, &QShortcut::activated, this, [this] { OnSysCommand(IDM_ABOUTBOX); });

    m_meter.UpdateCounters();
    m_btnCapture->setFocus(Qt::OtherFocusReason);
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

    m_btnCapture = new QPushButton(QStringLiteral("&Capture"), this);
    place(m_btnCapture, "IDC_CAPTURE", {120, 6, 50, 14});
    connect(m_btnCapture, &QPushButton::clicked, this, &COrvekDlg::OnBnClickedCapture);

    m_btnStop = new QPushButton(QStringLiteral("&Stop"), this);
    place(m_btnStop, "IDC_STOP", {174, 6, 50, 14});
    m_btnStop->setEnabled(false);
    connect(m_btnStop, &QPushButton::clicked, this, &COrvekDlg::OnBnClickedStop);

    m_editFilter = new QLineEdit(QString::fromStdString(m_meter.GetFilter()), this);
    place(m_editFilter, "IDC_FILTER", {6, 6, 108, 14});
    connect(m_editFilter, &QLineEdit::returnPressed, this, &COrvekDlg::OnFilterReturn);

    m_btnPromiscuous = new QCheckBox(QStringLiteral("&Promiscuous mode"), this);
    place(m_btnPromiscuous, "IDC_PROMISCUOUS", {6, 24, 108, 12});
    m_btnPromiscuous->setChecked(m_meter.IsPromiscuous());

    m_staticRecv = makeCounter("IDC_RECV_COUNTER", {6, 48, 216, 36});

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
    QAction* pAbout = pMenu->addAction(QStringLiteral("&About Orvek..."));
    connect(pAbout, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    return pMenu;
}

void COrvekDlg::contextMenuEvent(QContextMenuEvent* pEvent) {
    CreateContextMenu()->exec(pEvent->globalPos());
}

void COrvekDlg::OnSysCommand(unsigned nID) {
    if (nID == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout(this);
        dlgAbout.exec();
    }
}

void COrvekDlg::OnBnClickedCapture() {
    m_meter.SetCaptureSettings(m_editFilter->text().toStdString(), m_btnPromiscuous->isChecked());
    std::string strFailures;
    try {
        strFailures = m_meter.StartCapture();
        SetCapturing(true);
    } catch (const CZarnException& e) {
        // Adapters opened before the failure would go on with settings the user is about to
        // change, and the next Start would not announce them again: leave nothing running.
        StopAfterFailure();
        m_meter.OnException(e);
        return;
    } catch (...) {
        // Whatever else failed (memory, threads), the window stays and says so.
        StopAfterFailure();
        m_meter.OnCurrentException();
        return;
    }
    // The devices that did open count; the others are named once.
    if (!strFailures.empty()) {
        m_meter.OnException(CZarnException(0, strFailures.c_str()));
    }
}

void COrvekDlg::StopAfterFailure() {
    try {
        m_meter.StopCapture();
    } catch (...) {
        m_meter.OnCurrentException();
    }
    SetCapturing(false);
}

void COrvekDlg::OnBnClickedStop() {
    try {
        m_meter.StopCapture();
    } catch (...) {
        m_meter.OnCurrentException();
    }
    SetCapturing(false);
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
    m_meter.StopCapture();
    SetCapturing(false);
    QDialog::done(nResult);
}

bool COrvekDlg::eventFilter(QObject* pWatched, QEvent* pEvent) {
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

void COrvekDlg::Post(std::function<void()> fn, int nDelayMs) {
    PostToObject(this, std::move(fn), nDelayMs);
}

void COrvekDlg::ShowCounters(const char* szRecv, const char* szSent) {
    m_staticRecv->setText(QString::fromUtf8(szRecv));
    m_staticSent->setText(QString::fromUtf8(szSent));
}

void COrvekDlg::ShowMessage(const std::string& strText, const char* szCaption) {
    if (QThread::currentThread() != thread()) {
        // Hand a copy over and return: the user-interface thread may be waiting for this one.
        QMetaObject::invokeMethod(
            this,
            [this, strText, strCaption = std::string(szCaption)] {
                ShowMessage(strText, strCaption.c_str());
            },
            Qt::QueuedConnection);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QString::fromUtf8(szCaption),
                    QString::fromStdString(strText), QMessageBox::Ok, this);
    box.exec();
}
