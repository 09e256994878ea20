// A Qt style plugin such as any local user can write: loaded into the window by
// `QT_PLUGIN_PATH=<folder> orvek -style orvekprobe`, its code writes what the window's process
// holds (the CapEff line of /proc/self/status) to the file ORVEK_PROBE names, presses Capture, and
// goes on writing the received counter's tooltip there, every 100 ms.

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QStyleFactory>
#include <QStylePlugin>
#include <QTimer>

class CStyleProbe final : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "styleprobe.json")

public:
    QStyle* create(const QString&) override {
        auto* pTimer = new QTimer(qApp);
        connect(pTimer, &QTimer::timeout, [] { Probe(); });
        pTimer->start(100);
        return QStyleFactory::create(QStringLiteral("Fusion"));
    }

private:
    static void Probe() {
        static bool s_bPressed = false;
        QByteArray report;
        QFile status(QStringLiteral("/proc/self/status"));
        status.open(QIODevice::ReadOnly);
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("CapEff:")) {
                report += line + '\n';
            }
        }
        for (QWidget* pTop : QApplication::topLevelWidgets()) {
            auto* pCapture = pTop->findChild<QPushButton*>(QStringLiteral("IDC_CAPTURE"));
            auto* pRecv = pTop->findChild<QLabel*>(QStringLiteral("IDC_RECV_COUNTER"));
            if (pCapture != nullptr && pRecv != nullptr && pTop->isVisible()) {
                if (!s_bPressed) {
                    s_bPressed = true;
                    pCapture->click();
                }
                report += pRecv->toolTip().toUtf8() + '\n';
            }
        }
        QSaveFile file(qEnvironmentVariable("ORVEK_PROBE"));
        file.open(QIODevice::WriteOnly);
        file.write(report);
        file.commit();
    }
};

#include "StyleProbe.moc"
