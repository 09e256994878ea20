#include "AboutDlg.h"

#include "DialogUnits.h"
#include "OrvekApp.h"

#include <QLabel>
#include <QPushButton>

namespace {

constexpr int kIconSize = 32;

} // namespace

CAboutDlg::CAboutDlg(QWidget* pParent, const QString& strSource)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setWindowTitle(QStringLiteral("About Orvek"));
    setModal(true);
    const QIcon icon = COrvekApp::LoadIcon();
    setWindowIcon(icon);

    const DialogBaseUnits base = GetDialogBaseUnits(font());
    // An icon control takes the icon's own size at its template position.
    auto* pIcon = new QLabel(this);
    pIcon->setPixmap(icon.pixmap(kIconSize, kIconSize));
    pIcon->setGeometry(
        QRect(MapDialogRect({11, 17, 20, 20}, base).topLeft(), QSize(kIconSize, kIconSize)));

    auto* pVersion = new QLabel(QStringLiteral("Orvek Version " ORVEK_VERSION), this);
    pVersion->setTextFormat(Qt::PlainText);
    pVersion->setGeometry(MapDialogRect({40, 10, 119, 8}, base));

    auto* pNotice = new QLabel(QStringLiteral("Copyright (C) 2026 Orvek developers"), this);
    pNotice->setTextFormat(Qt::PlainText);
    pNotice->setGeometry(MapDialogRect({40, 25, 165, 8}, base));

    auto* pSource = new QLabel(strSource, this);
    pSource->setObjectName(QStringLiteral("IDC_SOURCE"));
    pSource->setTextFormat(Qt::PlainText);
    pSource->setGeometry(MapDialogRect({40, 40, 188, 8}, base));

    auto* pOk = new QPushButton(QStringLiteral("OK"), this);
    pOk->setObjectName(QStringLiteral("IDOK"));
    pOk->setGeometry(MapDialogRect({178, 7, 50, 16}, base));
    pOk->setDefault(true);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(MapDialogRect({0, 0, 235, 58}, base).size());
}
