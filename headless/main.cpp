#include "HeadlessMain.h"

int main(int argc, char** argv) {
    return RunHeadless(std::vector<std::string>(argv + 1, argv + argc));
}
