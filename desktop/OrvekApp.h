#pragma once

#include <QApplication>
#include <QIcon>

// The application object: names the application, gives it its icon and runs the main dialog
// modally; the process ends when the dialog closes.
class COrvekApp : public QApplication {
    Q_OBJECT

public:
    COrvekApp(int& argc, char** argv);

    // Shows the main dialog and returns once it has closed.
    int Run();

    // The application icon in all its sizes, from the compiled-in resources.
    static QIcon LoadIcon();
};
