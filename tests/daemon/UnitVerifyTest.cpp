// The service's unit as systemd reads it: it passes `systemd-analyze verify`, and its exposure
// (`systemd-analyze security`) is at most 2.5; it starts the service without metrics, which its
// IP deny-list would block anyway (README shows the drop-in that allows them).

#include "NetNs.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace orvektest;

TEST(DaemonUnitVerify, VerifiesAndIsHardened) {
    if (Sh("command -v systemd-analyze >/dev/null") != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    ShOk("systemd-analyze verify " ORVEKD_UNIT " 2>&1");
    const std::string strUnit = ShOut("cat " ORVEKD_UNIT);
    EXPECT_NE(strUnit.find("\nExecStart="), std::string::npos) << strUnit;
    EXPECT_EQ(strUnit.find("--metrics"), std::string::npos) << strUnit;
    EXPECT_NE(strUnit.find("\nIPAddressDeny=any\n"), std::string::npos) << strUnit;
    const std::string strOut =
        ShOut("systemd-analyze security --offline=yes --no-pager " ORVEKD_UNIT " 2>&1");
    const std::string strLead = "Overall exposure level for orvekd.service: ";
    const size_t nAt = strOut.find(strLead);
    ASSERT_NE(nAt, std::string::npos) << strOut;
    const double dExposure = std::strtod(strOut.c_str() + nAt + strLead.size(), nullptr);
    EXPECT_GT(dExposure, 0.0) << strOut;
    EXPECT_LE(dExposure, 2.5) << strOut;
}
