#include "OrvekApp.h"

int main(int argc, char** argv) {
    COrvekApp app(argc, argv);
    return app.Run();
}
