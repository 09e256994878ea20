#include "Report.h"

int main(int argc, char** argv) {
    const CSystemUsageClock clock;
    return RunReport(std::vector<std::string>(argv + 1, argv + argc), clock);
}
