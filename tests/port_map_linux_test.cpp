// The Linux serial-port map read from a fake /sys/class/tty tree.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ports/port_details.h"
#include "shell/port_discovery.h"
#include "shell/port_map.h"
#include "shell/port_map_linux.h"

namespace {

namespace fs = std::filesystem;

class FakeSysfs : public ::testing::Test {
   protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("orvane-sysfs-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "class/tty");
        // A USB adapter: the port's device hangs off an interface of a device with a product text.
        fs::path usb = root / "devices/usb1/1-1";
        Write(usb / "product", "FT232R USB UART\n");
        fs::create_directories(usb / "1-1:1.0/ttyUSB1");
        Port("ttyUSB1", usb / "1-1:1.0/ttyUSB1");
        fs::create_directories(root / "devices/platform/serial8250/tty/ttyS0");
        Port("ttyS0", root / "devices/platform/serial8250/tty/ttyS0");
        Write(root / "class/tty/ttyS0/type", "4\n");
        Port("ttyS1", root / "devices/platform/serial8250/tty/ttyS0");
        Write(root / "class/tty/ttyS1/type", "0\n");  // no UART behind it
        fs::create_directories(root / "devices/acm/ttyACM0");
        Port("ttyACM0", root / "devices/acm/ttyACM0");
        fs::create_directories(root / "class/tty/tty1");     // a virtual terminal
        fs::create_directories(root / "class/tty/ttyUSB9");  // no device behind it
        SetPortMapRoots((root / "class/tty").c_str(), "/devfake");
    }
    void TearDown() override {
        SetPortMapRoots(nullptr, nullptr);
        fs::remove_all(root);
    }
    static void Write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    void Port(const std::string& name, const fs::path& device) {
        fs::create_directories(root / "class/tty" / name);
        fs::create_directory_symlink(device, root / "class/tty" / name / "device");
    }
    fs::path root;
};

}  // namespace

TEST(LinuxPortNumbers, FixedRuleBothWays) {
    EXPECT_EQ(1, ComNumberForDevice("ttyS0"));
    EXPECT_EQ(32, ComNumberForDevice("ttyS31"));
    EXPECT_EQ(-1, ComNumberForDevice("ttyS32"));
    EXPECT_EQ(34, ComNumberForDevice("ttyUSB1"));
    EXPECT_EQ(97, ComNumberForDevice("ttyACM0"));
    EXPECT_EQ(161, ComNumberForDevice("ttyAMA0"));
    EXPECT_EQ(177, ComNumberForDevice("rfcomm0"));
    for (const char* odd : {"tty1", "ttyS", "ttyUSB1a", "ttyXRUSB0", "console"})
        EXPECT_EQ(-1, ComNumberForDevice(odd)) << odd;

    char path[64];
    ASSERT_TRUE(FormatPortDevice(34, path, sizeof path));
    EXPECT_STREQ("/dev/ttyUSB1", path);
    ASSERT_TRUE(FormatPortDevice(192, path, sizeof path));
    EXPECT_STREQ("/dev/rfcomm15", path);
    EXPECT_FALSE(FormatPortDevice(0, path, sizeof path));
    EXPECT_FALSE(FormatPortDevice(200, path, sizeof path));
    EXPECT_TRUE(PortEntryIsDevicePath("/dev/pts/3"));
    EXPECT_FALSE(PortEntryIsDevicePath("COM3"));
}

TEST_F(FakeSysfs, ListsRealSerialDevicesInComOrder) {
    std::vector<std::string> listed;
    static std::vector<std::string>* sink;
    sink = &listed;
    DiscoverSerialPorts([](const char* n) { sink->push_back(n); }, nullptr);
    EXPECT_EQ(
        (std::vector<std::string>{"COM1 ttyS0", "COM34 ttyUSB1 FT232R USB UART", "COM97 ttyACM0"}),
        listed);
    for (int n = 0; n < PortTableSize; ++n)
        EXPECT_EQ(n == 1 || n == 34 || n == 97, PortTable[n] != 0) << n;

    char name[256], data[256];
    ASSERT_TRUE(ReadPortMapValue(1, name, sizeof name, data, sizeof data));
    EXPECT_STREQ("/devfake/ttyUSB1", name);
    EXPECT_FALSE(ReadPortMapValue(3, name, sizeof name, data, sizeof data));
    EXPECT_FALSE(ReadPortMapValue(1, name, sizeof name, data, 10));  // does not fit: no value
}

TEST_F(FakeSysfs, MissingTreeGivesAnEmptyMap) {
    SetPortMapRoots("/nonexistent/class/tty", nullptr);
    char name[256], data[256];
    EXPECT_FALSE(ReadPortMapValue(0, name, sizeof name, data, sizeof data));
}

// What `orvane-flash ports` shows and how a typed port name is taken, against
// a fake tree with a device folder of its own.
class FakeDevices : public FakeSysfs {
   protected:
    void SetUp() override {
        FakeSysfs::SetUp();
        fs::path usb = root / "devices/usb1/1-1";
        Write(usb / "idVendor", "0403\n");
        Write(usb / "idProduct", "6001\n");
        Write(usb / "manufacturer", "FTDI\n");
        Write(usb / "serial", "A10K3Q7\n");
        dev = root / "dev";
        fs::create_directories(dev / "serial/by-id");
        for (const char* name : {"ttyUSB1", "ttyS0", "ttyACM0"}) Write(dev / name, "");
        byId = dev / "serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3Q7-if00-port0";
        fs::create_symlink("../../ttyUSB1", byId);
        SetPortMapRoots((root / "class/tty").c_str(), dev.c_str());
    }
    fs::path dev, byId;
};

TEST_F(FakeDevices, PortListingCarriesDevicesLinksAndUsbDetails) {
    std::vector<PortDetails> ports = ListPortDetails();
    ASSERT_EQ(3u, ports.size());
    EXPECT_EQ("COM1", ports[0].name);
    EXPECT_EQ((dev / "ttyS0").string(), ports[0].device);
    EXPECT_TRUE(ports[0].byId.empty());
    EXPECT_TRUE(ports[0].vendorId.empty());
    const PortDetails& usb = ports[1];
    EXPECT_EQ("COM34", usb.name);
    EXPECT_EQ((dev / "ttyUSB1").string(), usb.device);
    EXPECT_EQ(byId.string(), usb.byId);
    EXPECT_EQ("0403", usb.vendorId);
    EXPECT_EQ("6001", usb.productId);
    EXPECT_EQ("FTDI", usb.vendor);
    EXPECT_EQ("A10K3Q7", usb.serial);
    EXPECT_EQ("FT232R USB UART", usb.description);
    EXPECT_EQ("COM97", ports[2].name);
}

TEST_F(FakeDevices, TypedNamesLeadToTheirDevice) {
    std::string ttyUsb1 = fs::canonical(dev / "ttyUSB1").string();
    EXPECT_EQ((dev / "ttyUSB1").string(), ResolvePortName("ttyUSB1"));  // a bare device name
    EXPECT_EQ(ttyUsb1, ResolvePortName(byId.string()));                 // a link, however long
    EXPECT_EQ("COM34", ResolvePortName("COM34"));                       // left to discovery
    EXPECT_EQ("com3", ResolvePortName("com3"));
    EXPECT_EQ("ttyUSB7", ResolvePortName("ttyUSB7"));  // no such device: as typed
    EXPECT_EQ("/nonexistent/tty", ResolvePortName("/nonexistent/tty"));
    EXPECT_TRUE(PortDeviceExists(ttyUsb1));
    EXPECT_FALSE(PortDeviceExists((dev / "ttyUSB7").string()));
}
