// PosixPort without a device: how COMn names map to paths, and what cannot
// be opened.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

TEST(PosixPortNames, MissingPathOrAPlainFileCannotBeOpened) {
    PosixPort port;
    setenv("QMB_COM2", "/nonexistent/tty", 1);
    EXPECT_FALSE(port.Open("COM2"));
    char file[] = "/tmp/qmb-not-a-tty-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("QMB_COM2", file, 1);
    EXPECT_FALSE(port.Open("COM2")) << "not a terminal";
    EXPECT_FALSE(port.IsOpen());
    unsetenv("QMB_COM2");
    std::remove(file);
    port.Close();  // harmless when closed
    uint8_t b;
    EXPECT_FALSE(port.Write(&b, 1));
}

}  // namespace
}  // namespace qmb
