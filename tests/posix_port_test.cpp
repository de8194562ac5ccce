// PosixPort without a device: how COMn names map to paths, and what cannot
// be opened; what qmb-cli's port listing makes of /dev/serial's links and of
// a UART's driver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/AtomicFile.h"
#include "link/PortMap.h"
#include "link/PosixPort.h"
#ifdef QMB_TEST_CLI_SYSTEM
#include "platform/System.h"
#endif

namespace qmb {
namespace {

TEST(PosixPortNames, ComNMapsToTtySOrToTheQmbComNVariable) {
    unsetenv("QMB_COM1");
    unsetenv("QMB_COM4");
    EXPECT_EQ(PosixDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(PosixDevicePath("COM4"), "/dev/ttyS3");
    setenv("QMB_COM4", "/dev/ttyUSB0", 1);
    EXPECT_EQ(PosixDevicePath("COM4"), "/dev/ttyUSB0");
    EXPECT_EQ(PosixDevicePath("COM1"), "/dev/ttyS0") << "only the named port moves";
    setenv("QMB_COM4", "", 1);
    EXPECT_EQ(PosixDevicePath("COM4"), "/dev/ttyS3") << "an empty variable is no override";
    unsetenv("QMB_COM4");
    setenv("QMB_COM5", "/tmp/x", 1);
    EXPECT_EQ(PosixDevicePath("COM5"), "/dev/ttyS4") << "QMB_COM1 to QMB_COM4 only";
    unsetenv("QMB_COM5");
    EXPECT_EQ(PosixDevicePath("/dev/pts/7"), "/dev/pts/7");
}

TEST(PosixPortNames, ThePortMapMovesAnyComNameAndTheVariableStillWins) {
    char dir[] = "/tmp/qmb-config-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("XDG_CONFIG_HOME", dir, 1);
    unsetenv("QMB_COM1");
    EXPECT_EQ(PortMapPath(), std::string(dir) + "/qmb-edit/ports.conf");
    std::string error;
    ASSERT_TRUE(SavePortMap(PortMapPath(), {{"COM1", "/dev/ttyUSB3"}, {"COM12", "/dev/ttyACM0"}},
                            &error))
        << error;
    EXPECT_EQ(PosixDevicePath("COM1"), "/dev/ttyUSB3");
    EXPECT_EQ(PosixDevicePath("COM12"), "/dev/ttyACM0");
    EXPECT_EQ(PosixDevicePath("COM2"), "/dev/ttyS1") << "not in the map";
    setenv("QMB_COM1", "/tmp/sim-tty", 1);
    EXPECT_EQ(PosixDevicePath("COM1"), "/tmp/sim-tty") << "the variable wins over the map";
    unsetenv("QMB_COM1");
    // A broken map maps nothing, and says where it is broken when loaded.
    ASSERT_TRUE(WriteFileAtomically(PortMapPath(), "COM1 = /dev/ttyUSB3\nCOM1 /dev/x\n", false,
                                    &error));
    PortMap map;
    EXPECT_FALSE(LoadPortMap(PortMapPath(), map, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_EQ(PosixDevicePath("COM1"), "/dev/ttyS0");
    map = {{"COM9", "/dev/ttyUSB9"}};
    for (const char* bad : {"COM0 = /dev/x", "COM256 = /dev/x", "COM01 = /dev/x", "COM1 =",
                            "COM2 = /dev/x\nCOM1 = /dev/tty\xfc", "COM1 = /dev/\x1b[2Jx"}) {
        EXPECT_FALSE(ParsePortMap(bad, map, nullptr)) << bad;
        EXPECT_EQ(map, (PortMap{{"COM9", "/dev/ttyUSB9"}})) << "a refused map changes nothing";
    }
    // An entry that would not read back (a line break, a space at the end, no
    // device) is never written: it would break the whole map.
    for (const char* device : {"/dev/x\nCOM2 = /dev/y", "/dev/x ", "", "/dev/tty\xfc"}) {
        EXPECT_FALSE(SavePortMap(PortMapPath(), {{"COM1", device}}, &error)) << device;
        EXPECT_NE(error.find("COM1: "), std::string::npos) << error;
    }
    EXPECT_EQ(PosixDevicePath("COM1"), "/dev/ttyS0") << "the old file stands";
    std::filesystem::remove_all(dir);
    unsetenv("XDG_CONFIG_HOME");
}

TEST(PosixPortNames, MissingPathOrAPlainFileCannotBeOpened) {
    PosixPort port;
    setenv("QMB_COM2", "/nonexistent/tty", 1);
    EXPECT_FALSE(port.Open("COM2"));
    EXPECT_EQ(port.LastOpenFailure(), OpenFailure::kAbsent);
    char file[] = "/tmp/qmb-not-a-tty-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("QMB_COM2", file, 1);
    EXPECT_FALSE(port.Open("COM2")) << "not a terminal";
    EXPECT_EQ(port.LastOpenFailure(), OpenFailure::kNotSerial);
    chmod(file, 0);
    if (geteuid() != 0) {
        EXPECT_FALSE(port.Open("COM2"));
        EXPECT_EQ(port.LastOpenFailure(), OpenFailure::kDenied);
    }
    EXPECT_FALSE(port.IsOpen());
    unsetenv("QMB_COM2");
    std::remove(file);
    port.Close();  // harmless when closed
    uint8_t b;
    EXPECT_FALSE(port.Write(&b, 1));
}

#ifdef QMB_TEST_CLI_SYSTEM
TEST(SystemPorts, SerialLinksLeadFromEachDeviceToItsFirstLink) {
    // As udev lays out /dev/serial/by-path: relative links, two of them (the
    // older and the "usbv2" form) to one adapter.
    namespace fs = std::filesystem;
    char root[] = "/tmp/qmb-serial-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    const std::string dev = root, dir = dev + "/serial/by-path";
    fs::create_directories(dir);
    for (const char* node : {"ttyUSB0", "ttyACM0"})
        std::ofstream(dev + "/" + node).put('x');
    const struct {
        const char* link;
        const char* target;
    } links[] = {
        {"pci-0000:00:14.0-usbv2-0:2:1.0-port0", "../../ttyUSB0"},
        {"pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0"},
        {"pci-0000:00:14.0-usb-0:3:1.0", "../../ttyACM0"},
        {"pci-0000:00:14.0-usb-0:4:1.0", "../../ttyUSB9"},  // unplugged meanwhile
    };
    for (const auto& l : links)
        fs::create_symlink(l.target, dir + "/" + l.link);
    const std::map<std::string, std::string> want = {
        {dev + "/ttyUSB0", dir + "/pci-0000:00:14.0-usb-0:2:1.0-port0"},
        {dev + "/ttyACM0", dir + "/pci-0000:00:14.0-usb-0:3:1.0"},
    };
    EXPECT_EQ(platform::SerialLinks(dir), want);
    EXPECT_TRUE(platform::SerialLinks(dev + "/serial/by-id").empty()) << "no such folder";
    fs::remove_all(root);
}

TEST(SystemPorts, AUartIsDescribedByItsDriverNeverAsSerialAgain) {
    const struct {
        const char* driver;
        const char* description;
    } cases[] = {
        {"serial", "8250 UART"},  // 8250_pnp and 8250_pci register as "serial"
        {"serial8250", "8250 UART"},
        {"uart-pl011", "uart-pl011"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::UartDescription(c.driver), c.description) << c.driver;
}
#endif

}  // namespace
}  // namespace qmb
