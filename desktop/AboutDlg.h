#pragma once

#include <QDialog>

// The About box: icon, product and version line, notice line, the line that says who counts
// ("counting by the system service") and OK (the default button).
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* pParent = nullptr, const QString& strSource = {});
};
