#include "OrvekApp.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// `orvek --headless ...` and `orvek report ...` are programs beside this one, without a display
// or Qt: strName with the arguments that follow the first.
int ExecBeside(const char* szName, char** argv) {
    char szSelf[PATH_MAX];
    const ssize_t nLength = ::readlink("/proc/self/exe", szSelf, sizeof szSelf - 1);
    std::string strProgram = szName;
    if (nLength > 0) {
        const std::string strSelf(szSelf, static_cast<size_t>(nLength));
        strProgram = strSelf.substr(0, strSelf.rfind('/') + 1) + strProgram;
    }
    // Its own name first, then the options that followed --headless or report.
    argv[1] = argv[0];
    ::execv(strProgram.c_str(), argv + 1);
    std::fprintf(stderr, "orvek: cannot run %s: %s\n", strProgram.c_str(), std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--headless") == 0) {
        return ExecBeside("orvek-headless", argv);
    }
    if (argc > 1 && std::strcmp(argv[1], "report") == 0) {
        return ExecBeside("orvek-report", argv);
    }
    COrvekApp app(argc, argv);
    return app.Run();
}
