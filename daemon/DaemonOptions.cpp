#include "DaemonOptions.h"

#include "MetricsServer.h"
#include "OptionParser.h"

#include <filesystem>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kUsage =
    "Usage: orvekd [--state-dir DIR] [--socket PATH] [--capture-group NAME]\n"
    "              [--metrics [ADDRESS:]PORT]\n"
    "Orvek's system service: counts this host's traffic from boot with the default settings\n"
    "(filter \"tcp or udp\", not promiscuous), records it into DIR/usage.sqlite and serves every\n"
    "local user's Orvek on the socket PATH. Started by systemd (orvekd.service).\n";
constexpr const char* kFooter = "The limits it sets its clients, its unit and what it counts: "
                                "README, \"The system service\".\n";

void AddDaemonOptions(COptionParser& parser, DaemonOptions& options) {
    CLI::App& app = parser.App();
    app.add_option("--state-dir", options.strStateDir,
                   "where the usage file is kept (default: /var/lib/orvek)")
        ->option_text("DIR");
    app.add_option("--socket", options.strSocket,
                   "the Unix socket the clients connect to (default: /run/orvek/orvekd.sock)")
        ->option_text("PATH");
    app.add_option("--capture-group", options.strCaptureGroup,
                   "its members, beside root, see every user's applications by name and may "
                   "change the host's plan (default: the installed capture helper's group; "
                   "none: root alone)")
        ->option_text("NAME");
    AddMetricsOption(parser,
                     "serve Prometheus metrics on /metrics, as orvek-headless does; ADDRESS is "
                     "IPv4 or [IPv6] (default: off, ADDRESS 127.0.0.1)",
                     options.bMetrics, options.strMetricsAddress, options.nMetricsPort);
    app.add_flag("--help", options.bHelp, "print this help and exit (default: off)");
    app.add_flag("--version", options.bVersion, "print the version and exit (default: off)");
}

} // namespace

bool ParseDaemonOptions(const std::vector<std::string>& args, DaemonOptions& options,
                        std::string& strError) {
    DaemonOptions parsed;
    COptionParser parser(kUsage, kFooter);
    AddDaemonOptions(parser, parsed);
    if (!parser.Parse(args, strError)) {
        return false;
    }
    options = parsed;
    return true;
}

const char* DaemonUsage() {
    static const std::string strUsage = [] {
        DaemonOptions options;
        COptionParser parser(kUsage, kFooter);
        AddDaemonOptions(parser, options);
        return parser.Help();
    }();
    return strUsage.c_str();
}

std::string InstalledCaptureGroup() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    struct stat status {};
    const std::string strHelper = (self.parent_path() / ORVEK_HELPER_FROM_SBIN).string();
    if (error || stat(strHelper.c_str(), &status) != 0 || status.st_gid == 0) {
        return "";
    }
    group entry{};
    group* pEntry = nullptr;
    std::vector<char> buffer(16384);
    if (getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &pEntry) != 0 ||
        pEntry == nullptr) {
        return "";
    }
    return pEntry->gr_name;
}
