#include "NetNs.h"

#include <QApplication>
#include <gtest/gtest.h>

// Window tests capture live too: enter a private network namespace before Qt or any other
// thread starts, then hold the application object for all tests.
int main(int argc, char** argv) {
    orvektest::EnterPrivateNetns();
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
