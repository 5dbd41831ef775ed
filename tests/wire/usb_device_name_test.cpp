// The camera driver's device object names: formatted and parsed in one place, with the instance range.
#include "wire/usb_device_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct NamedInstance {
    int instance;
    const char* deviceName;  // "\\.\QX410U-NNN"
};

class UsbDeviceNameRoundTrip : public ::testing::TestWithParam<NamedInstance> {};

TEST_P(UsbDeviceNameRoundTrip, FormatsAndParsesBack) {
    const NamedInstance& row = GetParam();
    EXPECT_EQ(wire::UsbDeviceName(row.instance), row.deviceName);
    EXPECT_EQ(wire::ParseUsbDeviceName(row.deviceName), row.instance);
    const std::string object = std::string(row.deviceName).substr(4);
    EXPECT_EQ(wire::UsbObjectName(row.instance), object);
    EXPECT_EQ(wire::ParseUsbObjectName(object), row.instance);
}

INSTANTIATE_TEST_SUITE_P(Instances, UsbDeviceNameRoundTrip,
                         ::testing::Values(NamedInstance{1, R"(\\.\QX410U-001)"},  // first
                                           NamedInstance{9, R"(\\.\QX410U-009)"},
                                           NamedInstance{10, R"(\\.\QX410U-010)"},
                                           NamedInstance{99, R"(\\.\QX410U-099)"},
                                           NamedInstance{100, R"(\\.\QX410U-100)"},
                                           NamedInstance{126, R"(\\.\QX410U-126)"},
                                           NamedInstance{127, R"(\\.\QX410U-127)"}));  // last

TEST(UsbDeviceNameRange, EveryInstanceOfTheRangeRoundTripsAndNoOtherFormats) {
    for (int instance = wire::USB_INSTANCE_FIRST; instance <= wire::USB_INSTANCE_LAST; ++instance) {
        ASSERT_EQ(wire::ParseUsbDeviceName(wire::UsbDeviceName(instance)), instance);
    }
    for (const int outside : {-1, 0, 128, 999, 1000}) {
        EXPECT_EQ(wire::UsbDeviceName(outside), "") << outside;
        EXPECT_EQ(wire::UsbObjectName(outside), "") << outside;
        EXPECT_FALSE(wire::IsUsbInstance(outside)) << outside;
    }
}

class UsbDeviceNameMalformed : public ::testing::TestWithParam<const char*> {};

TEST_P(UsbDeviceNameMalformed, ParsesAsNoInstance) {
    EXPECT_EQ(wire::ParseUsbDeviceName(GetParam()), 0);
}

INSTANTIATE_TEST_SUITE_P(Names, UsbDeviceNameMalformed,
                         ::testing::Values("",                        // empty
                                           R"(\\.\QX410U-000)",       // below the range
                                           R"(\\.\QX410U-128)",       // above the range
                                           R"(\\.\QX410U-999)",       //
                                           R"(\\.\qx410u-001)",       // lower case
                                           R"(\\.\Qx410U-001)",       //
                                           R"(\\.\QX410U-01)",        // a digit missing
                                           R"(\\.\QX410U-)",          // no digits
                                           R"(\\.\QX410U-0001)",      // a digit too many
                                           R"(\\.\QX410U-1a2)",       // not a digit
                                           R"(\\.\QX410U--01)",       // a sign
                                           R"(\\.\QX410U-+01)",       //
                                           R"(\\.\QX410U- 01)",       // a blank
                                           R"(\\.\QX410U-001 )",      // trailing
                                           R"(\\.\QX410U-001/../x)",  // a path after it
                                           R"(QX410U-001)",           // no namespace prefix
                                           R"(\\?\QX410U-001)",       // another namespace
                                           R"(\.\QX410U-001)",        // half a prefix
                                           R"(\\.\QX410-001)",        // another object
                                           R"(\\.\COM1)"));

TEST(UsbObjectName, WantsTheBareNameOnly) {
    EXPECT_EQ(wire::ParseUsbObjectName("QX410U-042"), 42);
    EXPECT_EQ(wire::ParseUsbObjectName(R"(\\.\QX410U-042)"), 0);
    EXPECT_EQ(wire::ParseUsbObjectName("QX410U-042.lock"), 0);
    EXPECT_EQ(wire::ParseUsbObjectName("qx410u-042"), 0);
}

}  // namespace
