// The messages the adapter manager makes of failures. Needs no privilege: nothing here opens a
// device.

#include "AdapterManager.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <new>
#include <stdexcept>

namespace {

// One problem on several devices is said once; libpcap's texts that name the device are not
// named twice; different problems get a line each; an OS error reads as its text, whatever was
// thrown.
TEST(Manager, FailureMessages) {
    const auto thrown = [](const std::function<void()>& fn) {
        try {
            fn();
        } catch (...) {
            return CurrentError();
        }
        return CZarnException(0, "nothing thrown");
    };
    const CZarnException refused(0, "filter refused");
    EXPECT_EQ(DescribeDeviceFailures({{"tun0", refused}, {"tun1", refused}}),
              "tun0, tun1: filter refused");
    EXPECT_EQ(DescribeDeviceFailures({{"eth0", CZarnException(0, "eth0: no such device")}}),
              "eth0: no such device");
    EXPECT_EQ(DescribeDeviceFailures({{"tun0", refused},
                                      {"eth0", thrown([] { throw std::bad_alloc(); })},
                                      {"eth1", thrown([] { throw std::runtime_error("odd"); })},
                                      {"eth2", thrown([] { throw 1; })}}),
              std::string("tun0: filter refused\neth0: ") + std::strerror(ENOMEM) +
                  "\neth1: odd\neth2: unknown error");
}

} // namespace
