// The user's kept choices as a file of an earlier version gives them to the meter.

#include "SettingsKeeper.h"
#include "CaptureClient.h"
#include "FakeMeterView.h"

#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

TEST(SettingsKeeper, AnEarlierFilesExcludedTunnelIsCapturedAndANonTunnelStaysExcluded) {
    QTemporaryDir dirSettings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dirSettings.path());
    {
        // Earlier versions kept a tunnel excluded as well.
        COrvekSettings earlier;
        earlier.SaveCapture("udp port 53", true);
        earlier.SaveExcluded({"tun0", "tap1", "orv9"});
        earlier.SaveTunnels({{"tun0", "orv0"}, {"tap1", ""}});
    }
    QStringList problems;
    CSettingsKeeper keeper([&problems](const QString& strText) { problems.append(strText); });
    orvektest::CFakeView view;
    CCaptureClient meter(view); // no helper runs until a capture or a device listing
    keeper.Load(meter);

    EXPECT_EQ(meter.GetFilter(), "udp port 53");
    EXPECT_TRUE(meter.IsPromiscuous());
    // A tunnel is captured, for its inner traffic; a device said to be none may stay excluded.
    EXPECT_EQ(meter.GetExcludedDevices(), (std::set<std::string>{"orv9", "tap1"}));
    EXPECT_EQ(keeper.GetTunnels(),
              (std::map<std::string, std::string>{{"tun0", "orv0"}, {"tap1", ""}}));
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();
}
