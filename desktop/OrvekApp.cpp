#include "OrvekApp.h"

#include "OrvekDlg.h"

// Outside any namespace, as Q_INIT_RESOURCE requires.
static void InitOrvekResources() {
    Q_INIT_RESOURCE(orvek);
}

COrvekApp::COrvekApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Orvek"));
    setApplicationVersion(QStringLiteral(ORVEK_VERSION));
    setDesktopFileName(QStringLiteral("orvek"));
    setWindowIcon(LoadIcon());
}

int COrvekApp::Run() {
    COrvekDlg dlg;
    dlg.exec();
    return 0;
}

QIcon COrvekApp::LoadIcon() {
    static const bool bRegistered = (InitOrvekResources(), true);
    (void)bRegistered;
    QIcon icon;
    for (const int nSize : {16, 32, 48}) {
        icon.addFile(QStringLiteral(":/orvek/orvek%1.png").arg(nSize), QSize(nSize, nSize));
    }
    return icon;
}
