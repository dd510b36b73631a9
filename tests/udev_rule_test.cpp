// The udev rule: what it matches, what it refuses, and that nothing a USB
// device says about itself can end a comment line or widen a match.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ports/udev_rule.h"

namespace {

struct RuleKey {
    std::string key, op, value;
    bool operator==(const RuleKey& o) const {
        return key == o.key && op == o.op && value == o.value;
    }
};

std::ostream& operator<<(std::ostream& out, const RuleKey& k) {
    return out << k.key << k.op << '"' << k.value << '"';
}

// `KEY op "value"` pairs joined by ", "; a part that is none of these ends
// the list with a key named "malformed" that holds the rest of the line.
std::vector<RuleKey> ParseRuleLine(const std::string& line) {
    std::vector<RuleKey> keys;
    size_t at = 0;
    while (at < line.size()) {
        size_t op = line.find_first_of("=!+-:", at);
        size_t opEnd = op == std::string::npos ? op : line.find('"', op);
        size_t close = opEnd == std::string::npos ? opEnd : line.find('"', opEnd + 1);
        std::string opText = close == std::string::npos ? "" : line.substr(op, opEnd - op);
        bool known = opText == "==" || opText == "!=" || opText == "=" || opText == "+=" ||
                     opText == "-=" || opText == ":=";
        size_t next = close == std::string::npos ? close : close + 1;
        bool ends = next == line.size() || line.compare(next, 2, ", ") == 0;
        if (!known || !ends) {
            keys.push_back({"malformed", "", line.substr(at)});
            break;
        }
        keys.push_back(
            {line.substr(at, op - at), opText, line.substr(opEnd + 1, close - opEnd - 1)});
        at = next == line.size() ? next : next + 2;
    }
    return keys;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Only printable ASCII and line ends: nothing udev or a terminal could read
// as a line end or a control.
bool PrintableLines(const std::string& text) {
    for (char c : text)
        if (c != '\n' && (c < 0x20 || c > 0x7e)) return false;
    return !text.empty() && text.back() == '\n';
}

// The one line that is no comment, checked to be the last.
std::string RuleLineOf(const std::string& rule) {
    std::vector<std::string> lines = Lines(rule);
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        if (lines[i].empty() || lines[i][0] != '#') return "not a comment: " + lines[i];
    return lines.empty() ? std::string() : lines.back();
}

PortFacts Ch340(const std::string& serial) {
    PortFacts f;
    f.given = f.details.device = "/dev/ttyUSB0";
    f.details.vendorId = "1a86";
    f.details.productId = "7523";
    f.details.vendor = "QinHeng";
    f.details.description = "USB Serial";
    f.details.serial = serial;
    f.details.driver = "ch341";
    f.usbPath = "pci-0000:00:14.0-usb-0:2:1.0";
    f.usbDevice = "1-2";
    f.usbInterface = "00";
    f.serialGroup = "dialout";
    return f;
}

const std::vector<RuleKey> kActions = {{"SYMLINK", "+=", "st1"},
                                       {"GROUP", "=", "dialout"},
                                       {"MODE", "=", "0660"},
                                       {"TAG", "+=", "uaccess"},
                                       {"ENV{ID_MM_DEVICE_IGNORE}", "=", "1"}};

std::vector<RuleKey> Keys(std::vector<RuleKey> match) {
    match.insert(match.end(), kActions.begin(), kActions.end());
    return match;
}

}  // namespace

TEST(AdapterUdevRule, HostileUsbStringsStayInsideTheirCommentLine) {
    PortFacts f = Ch340("A1\"|*\\\r");
    f.details.vendor = "Acme\\Co\x1b[2J";
    f.details.description =
        "X\rACTION==\"add\", RUN+=\"/usr/bin/touch /tmp/pwned\"\r#\n\xc3\xa9\x9b";
    f.details.device = "/dev/tty\x1b]0;X\x07";
    std::string rule, why;
    ASSERT_TRUE(MakeUdevRule(f, "st1", rule, why)) << why;
    EXPECT_TRUE(PrintableLines(rule)) << rule;
    std::vector<std::string> expected = {
        "# /etc/udev/rules.d/70-orvane-st1.rules",
        R"(# Acme\\Co\x1b[2J X\x0dACTION=="add", RUN+="/usr/bin/touch /tmp/pwned"\x0d#\x0a\xc3\xa9\x9b)"
        R"( (1a86:7523), now /dev/tty\x1b]0;X\x07, matched by the USB socket)"
        R"( pci-0000:00:14.0-usb-0:2:1.0 (it has no serial number udev can match literally,)"
        R"( only A1"|*\\\x0d): another socket needs another rule.)",
        "# Save it there, then reload udev and apply it (or plug the adapter in again):",
        "#   sudo udevadm control --reload-rules",
        "#   sudo udevadm trigger --action=add --subsystem-match=tty",
        "# It gives /dev/st1, access for the logged-in user and the group, keeps ModemManager "
        "away.",
        "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", "
        "ENV{ID_PATH}==\"pci-0000:00:14.0-usb-0:2:1.0\", ENV{ID_USB_INTERFACE_NUM}==\"00\", "
        "SYMLINK+=\"st1\", GROUP=\"dialout\", MODE=\"0660\", TAG+=\"uaccess\", "
        "ENV{ID_MM_DEVICE_IGNORE}=\"1\""};
    EXPECT_EQ(expected, Lines(rule));
    EXPECT_EQ(Keys({{"SUBSYSTEM", "==", "tty"},
                    {"ATTRS{idVendor}", "==", "1a86"},
                    {"ATTRS{idProduct}", "==", "7523"},
                    {"ENV{ID_PATH}", "==", "pci-0000:00:14.0-usb-0:2:1.0"},
                    {"ENV{ID_USB_INTERFACE_NUM}", "==", "00"}}),
              ParseRuleLine(RuleLineOf(rule)));
}

TEST(AdapterUdevRule, ASerialIsMatchedOnlyWhenUdevTakesEveryCharacterLiterally) {
    std::string rule, why;
    for (const char* bad :
         {"A1|B2", "A1*", "A?", "[A]B", "A\"B", "A\\B", "A B", "{A}", "$A", "%A", "A\r", "A\n",
          "\x1b"
          "A",
          "\xc3\x89t\xc3\xa9"}) {
        PortFacts f = Ch340(bad);
        ASSERT_TRUE(MakeUdevRule(f, "st1", rule, why)) << bad << ": " << why;
        EXPECT_TRUE(PrintableLines(rule)) << rule;
        std::vector<RuleKey> keys = ParseRuleLine(RuleLineOf(rule));
        ASSERT_EQ(10u, keys.size()) << rule;
        EXPECT_EQ((RuleKey{"ENV{ID_PATH}", "==", f.usbPath}), keys[3]) << bad;
        EXPECT_NE(std::string::npos, rule.find("no serial number udev can match literally"));
        EXPECT_TRUE(LinkNameIsValid(DefaultLinkName(f))) << DefaultLinkName(f);
        EXPECT_EQ("scanner-1-2", DefaultLinkName(f));
    }
    for (const char* good : {"A10K3Q7", "FT-1.2_x:3+4"}) {
        PortFacts f = Ch340(good);
        ASSERT_TRUE(MakeUdevRule(f, "st1", rule, why)) << why;
        std::vector<RuleKey> keys = ParseRuleLine(RuleLineOf(rule));
        ASSERT_EQ(10u, keys.size()) << rule;
        EXPECT_EQ((RuleKey{"ATTRS{serial}", "==", good}), keys[3]);
        EXPECT_NE(std::string::npos,
                  rule.find("matched by its serial number " + std::string(good)));
        EXPECT_TRUE(LinkNameIsValid(DefaultLinkName(f))) << DefaultLinkName(f);
    }
    EXPECT_EQ("scanner-FT-1.2_x_3_4", DefaultLinkName(Ch340("FT-1.2_x:3+4")));
    std::string longSerial(100, 'S');  // too long for a link name: cut to fit
    EXPECT_TRUE(LinkNameIsValid(DefaultLinkName(Ch340(longSerial))));
}

TEST(AdapterUdevRule, IdsSocketAndInterfaceGoIntoMatchesOnlyAsUdevTakesThemLiterally) {
    std::string rule, why;
    for (const char* bad : {"040", "04031", "04\"3", "04*3", "0x03", "g403"}) {
        PortFacts f = Ch340("A10K3Q7");
        f.details.vendorId = bad;
        EXPECT_FALSE(MakeUdevRule(f, "st1", rule, why)) << bad;
        EXPECT_NE(std::string::npos, why.find("not four hex digits")) << why;
        f = Ch340("A10K3Q7");
        f.details.productId = bad;
        EXPECT_FALSE(MakeUdevRule(f, "st1", rule, why)) << bad;
    }
    PortFacts upper = Ch340("A10K3Q7");
    upper.details.vendorId = "1A86";
    EXPECT_TRUE(MakeUdevRule(upper, "st1", rule, why)) << why;

    // An ID_PATH udev could read as a pattern gives way to the sysfs name.
    PortFacts f = Ch340("");
    f.usbPath = "pci-0000:00:14.0-usb-0:*";
    ASSERT_TRUE(MakeUdevRule(f, "st1", rule, why)) << why;
    EXPECT_EQ((RuleKey{"KERNELS", "==", "1-2"}), ParseRuleLine(RuleLineOf(rule)).at(3));
    EXPECT_NE(std::string::npos, rule.find("the USB socket 1-2 (it has no serial number)"));
    f.usbDevice = "1-2|1-3";
    EXPECT_FALSE(MakeUdevRule(f, "st1", rule, why));
    EXPECT_NE(std::string::npos, why.find("cannot take literally")) << why;

    f = Ch340("A10K3Q7");
    f.usbInterface = "0\"0";
    EXPECT_FALSE(MakeUdevRule(f, "st1", rule, why));
    EXPECT_NE(std::string::npos, why.find("interface number")) << why;
    f = Ch340("A10K3Q7");
    f.serialGroup = "dial\"out";
    EXPECT_FALSE(MakeUdevRule(f, "st1", rule, why));
    EXPECT_FALSE(MakeUdevRule(Ch340("A10K3Q7"), "a\"b", rule, why));
}

TEST(AdapterUdevRule, OnlyAUsbAdapterWithAKnownSerialOrSocketGetsOne) {
    PortFacts f;
    f.given = f.details.device = "/dev/ttyS0";
    std::string rule, why;
    EXPECT_FALSE(MakeUdevRule(f, "st1", rule, why));
    EXPECT_NE(std::string::npos, why.find("is no USB adapter"));

    f.details.vendorId = "1a86";
    f.details.productId = "7523";
    f.details.serial = "with space";  // not a usable match: the socket is needed, and unknown
    EXPECT_FALSE(MakeUdevRule(f, "st1", rule, why));
    EXPECT_NE(std::string::npos, why.find("socket is unknown"));
    f.usbDevice = "3-1.2";
    ASSERT_TRUE(MakeUdevRule(f, "st1", rule, why));
    EXPECT_NE(std::string::npos, rule.find(", KERNELS==\"3-1.2\", SYMLINK+=\"st1\""));
    EXPECT_EQ("scanner-3-1.2", DefaultLinkName(f));

    for (const char* good : {"st1", "scanner-A10K3Q7", "line.2_a"})
        EXPECT_TRUE(LinkNameIsValid(good));
    for (const char* bad : {"", "a/b", "-x", ".hidden", "a b", "a\"b", "a:b"})
        EXPECT_FALSE(LinkNameIsValid(bad)) << bad;
}

#ifndef _WIN32
// The example the package ships is what the doctor writes for an FTDI adapter.
TEST(AdapterUdevRule, TheShippedExampleIsWhatTheDoctorWrites) {
    PortFacts f;
    f.given = f.details.device = "/dev/ttyUSB0";
    f.details.vendorId = "0403";
    f.details.productId = "6001";
    f.details.serial = "A10K3Q7";
    f.details.vendor = "FTDI";
    f.details.description = "FT232R USB UART";
    f.details.driver = "ftdi_sio";
    f.usbInterface = "00";
    f.serialGroup = "dialout";
    std::string rule, why;
    ASSERT_TRUE(MakeUdevRule(f, DefaultLinkName(f), rule, why)) << why;
    std::ifstream shipped(ORVANE_SOURCE_DIR "/docs/udev-rule-example.rules");
    std::stringstream text;
    text << shipped.rdbuf();
    EXPECT_EQ(rule, text.str()) << "docs/udev-rule-example.rules should read:\n" << rule;
}
#endif
