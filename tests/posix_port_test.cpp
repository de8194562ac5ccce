// PosixPort without a device: how COMn names map to paths, and what cannot
// be opened.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "link/AtomicFile.h"
#include "link/PortMap.h"
#include "link/PosixPort.h"

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
    for (const char* bad : {"COM0 = /dev/x", "COM256 = /dev/x", "COM01 = /dev/x", "COM1 ="})
        EXPECT_FALSE(ParsePortMap(bad, map, nullptr)) << bad;
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

}  // namespace
}  // namespace qmb
