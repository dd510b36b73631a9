// A Linux system in a folder, for the look at ports: sysfs, /dev with its
// stable links, the udev database, /proc, the group database and udev rules.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ports/port_facts_linux.h"

class FakeSystem {
   public:
    using Path = std::filesystem::path;

    FakeSystem() {
        root_ = std::filesystem::temp_directory_path() /
                ("orvane-system-" + std::to_string(getpid()) + "-" + std::to_string(count_++));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "sys/class/tty");
        std::filesystem::create_directories(root_ / "dev");
        std::filesystem::create_directories(root_ / "proc");
        root_ = std::filesystem::canonical(root_);
        SetSystemRoot(root_.c_str());
    }
    ~FakeSystem() {
        SetSystemRoot(nullptr);
        SetDoctorUser(nullptr);
        std::filesystem::remove_all(root_);
    }
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    const Path& Root() const { return root_; }
    Path Dev(const std::string& name) const { return root_ / "dev" / name; }

    void Write(const std::string& file, const std::string& text) const {
        Path path = root_ / file;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    void Link(const std::string& link, const Path& target) const {
        Path path = root_ / link;
        std::filesystem::create_directories(path.parent_path());
        std::filesystem::create_symlink(target, path);
    }

    // A USB adapter: the USB device `usb` ("1-2") with its ids, interface 0
    // with the tty under it, the tty's driver and udev entry, and its device
    // node with the given mode.
    struct Adapter {
        std::string tty, usb, vendorId, productId, vendor, product, serial, driver;
        int latencyMs;     // -1: the driver has no latency timer
        std::string udev;  // the udev database's "E:" lines
    };
    void AddAdapter(const Adapter& a, int minor) const {
        std::string usb = "sys/devices/pci0000:00/usb1/" + a.usb;
        std::string port = usb + "/" + a.usb + ":1.0/" + a.tty;
        Write(usb + "/idVendor", a.vendorId + "\n");
        Write(usb + "/idProduct", a.productId + "\n");
        Write(usb + "/manufacturer", a.vendor + "\n");
        Write(usb + "/product", a.product + "\n");
        if (!a.serial.empty()) Write(usb + "/serial", a.serial + "\n");
        std::filesystem::create_directories(root_ / port);
        if (a.latencyMs >= 0) Write(port + "/latency_timer", std::to_string(a.latencyMs) + "\n");
        std::filesystem::create_directories(root_ / "sys/bus/usb-serial/drivers" / a.driver);
        Link(port + "/driver", root_ / "sys/bus/usb-serial/drivers" / a.driver);
        Link("sys/class/tty/" + a.tty + "/device", root_ / port);
        std::string numbers = "188:" + std::to_string(minor);
        Write("sys/class/tty/" + a.tty + "/dev", numbers + "\n");
        if (!a.udev.empty()) Write("run/udev/data/c" + numbers, a.udev);
        Write("dev/" + a.tty, "");
    }

    // The device node's owner group and mode.
    void Own(const std::string& tty, gid_t gid, mode_t mode) const {
        std::string path = Dev(tty).string();
        if (chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0) return;
        chmod(path.c_str(), mode);
    }

    // A process with the device open as descriptor 3.
    void AddProcess(int pid, const std::string& name, const Path& openFile) const {
        std::string dir = "proc/" + std::to_string(pid);
        Write(dir + "/comm", name + "\n");
        std::filesystem::create_directories(root_ / dir / "fd");
        if (!openFile.empty()) Link(dir + "/fd/3", openFile);
    }

   private:
    Path root_;
    static inline int count_ = 0;
};
