#include "HeadlessMain.h"
#include "OrvekApp.h"

#include <cstring>

int main(int argc, char** argv) {
    // Without a window there is no display to ask for: a core application, before any other.
    if (argc > 1 && std::strcmp(argv[1], "--headless") == 0) {
        return RunHeadless(argc, argv);
    }
    COrvekApp app(argc, argv);
    return app.Run();
}
