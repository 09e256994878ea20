#include "TopMain.h"

int main(int argc, char** argv) {
    return RunTop(std::vector<std::string>(argv + 1, argv + argc));
}
