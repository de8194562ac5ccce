// The Win32 port backend against a real (Wine) COM port. The harness maps
// COM1 to a pseudo-terminal whose peer echoes every write, except that a
// write starting with '?' is answered with the line settings the peer sees,
// and one starting with '!' with three pieces "abc" "def" "ghi" sent 100 ms
// apart. COM2 is mapped to a pseudo-terminal whose master the harness closes
// at the first byte written to it, as a pulled-out adapter leaves its port.
// COM4 is mapped to nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "HeadlessPanel.h"
#include "job/Panel.h"
#include "link/SerialLink.h"
#include "link/Win32Port.h"
#ifdef QMB_TEST_CLI_SYSTEM
#include "platform/System.h"
#endif

namespace qmb::test {
namespace {

// CPU time of the calling thread, user and kernel, in milliseconds.
double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return -1;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e4;
    };
    return ms(kernel) + ms(user);
}

TEST(Win32PortBlocks, DcbHoldsTheFixedLineSettings) {
    const DCB dcb = MakeDcb(kLineSettings);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fParity | dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fDsrSensitivity |
                  dcb.fTXContinueOnXoff | dcb.fOutX | dcb.fInX | dcb.fErrorChar | dcb.fNull |
                  dcb.fAbortOnError | dcb.fDummy2,
              0u);
    EXPECT_EQ(dcb.XonLim | dcb.XoffLim | dcb.wReserved | dcb.wReserved1, 0);
    EXPECT_EQ(dcb.XonChar | dcb.XoffChar | dcb.ErrorChar | dcb.EofChar | dcb.EvtChar, 0);
}

TEST(Win32PortBlocks, EveryDcbFieldComesFromItsOwnSetting) {
    // Distinct values everywhere, so a field taken from the wrong setting or
    // left out shows.
    LineSettings s{};
    s.baudRate = 9600;
    s.byteSize = 7;
    s.parity = EVENPARITY;
    s.stopBits = TWOSTOPBITS;
    s.binary = true;
    s.parityCheck = true;
    s.ctsOutputFlow = true;
    s.dsrOutputFlow = true;
    s.dtrControl = DTR_CONTROL_HANDSHAKE;
    s.dsrSensitivity = true;
    s.txContinueOnXoff = true;
    s.xonXoffOutput = true;
    s.xonXoffInput = false;
    s.errorCharReplace = true;
    s.nullStrip = true;
    s.rtsControl = RTS_CONTROL_TOGGLE;
    s.abortOnError = true;
    s.xonLimit = 11;
    s.xoffLimit = 22;
    s.xonChar = 0x11;
    s.xoffChar = 0x13;
    s.errorChar = '?';
    s.eofChar = 0x1A;
    s.eventChar = '\n';
    const DCB d = MakeDcb(s);
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.Parity, EVENPARITY);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);
    EXPECT_EQ(d.fBinary & d.fParity & d.fOutxCtsFlow & d.fOutxDsrFlow & d.fDsrSensitivity &
                  d.fTXContinueOnXoff & d.fOutX & d.fErrorChar & d.fNull & d.fAbortOnError,
              1u);
    EXPECT_EQ(d.fInX, 0u);
    EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(d.XonLim, 11);
    EXPECT_EQ(d.XoffLim, 22);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(d.ErrorChar, '?');
    EXPECT_EQ(d.EofChar, 0x1A);
    EXPECT_EQ(d.EvtChar, '\n');
}

TEST(Win32PortBlocks, TimeoutsHoldTheFixedLimits) {
    const COMMTIMEOUTS t = MakeCommTimeouts(kTimeLimits);
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 400u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

#ifdef QMB_TEST_CLI_SYSTEM
TEST(Win32PortBlocks, UsbIdsComeFromTheHardwareIdsWindowsGives) {
    const struct {
        const char* hardwareId;
        const char* vendor;  // nullptr: no ids
        const char* product;
    } cases[] = {
        {"USB\\VID_0403&PID_6001&REV_0600", "0403", "6001"},            // FTDI, the USB device
        {"FTDIBUS\\VID_0403+PID_6015+DN05ABCD\\0000", "0403", "6015"},  // FTDI, its COM port
        {"USB\\VID_2341&PID_0043&MI_00", "2341", "0043"},               // CDC ACM, one interface
        {"usb\\vid_10C4&pid_EA60", "10c4", "ea60"},                     // any case in, lower out
        {"ACPI\\PNP0501", nullptr, nullptr},                            // a UART on the board
        {"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_VID&0001005d_PID&0223", nullptr, nullptr},
        {"USB\\VID_04&PID_6001", nullptr, nullptr},      // too few digits
        {"USB\\PID_6001&VID_0403", nullptr, nullptr},    // no product after the vendor
        {"ROOT\\XVID_0403&PID_6001", nullptr, nullptr},  // VID_ inside a word
    };
    for (const auto& c : cases) {
        std::string vendor = "-", product = "-";
        EXPECT_EQ(platform::ParseUsbIds(c.hardwareId, vendor, product), c.vendor != nullptr)
            << c.hardwareId;
        EXPECT_EQ(vendor, c.vendor ? c.vendor : "-") << c.hardwareId;
        EXPECT_EQ(product, c.product ? c.product : "-") << c.hardwareId;
    }
}
#endif

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

TEST(Win32PortOpen, AnUnmappedPortDoesNotOpenAndClosingStaysHarmless) {
    // Windows refuses the open itself; Wine opens a bare serial device object
    // for COM2 to COM4 and refuses its line settings. The link sees a port
    // that cannot be opened either way.
    HeadlessPanel panel;
    Win32Port port;
    Win32TickCounter ticks;
    BindPanel(&panel);
    BindPort(&port, &ticks);
    panel.Type(IDC_PORT_STATUS, "38400");
    EXPECT_FALSE(OpenPort('4'));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(panel.Text(IDC_PORT_STATUS), "CLOSED");
    port.Close();
    EXPECT_FALSE(port.ApplyLineSettings(kLineSettings));
    EXPECT_FALSE(port.Write(reinterpret_cast<const uint8_t*>("x"), 1));
    uint8_t b;
    EXPECT_EQ(port.Read(&b, 1), 0u);
    BindPort(nullptr, nullptr);
    BindPanel(nullptr);
}

TEST(Win32PortOpen, AReadOnAFailedLineWaitsOutItsLimitSoRetriesNeverSpin) {
    // A line that has failed (here a pipe whose other end is gone, as with a
    // serial adapter pulled out during a job) makes ReadFile fail at once.
    // Waiting for the ignition retries reads until an abort: each must still
    // last its 400 ms, as on a silent line.
    const char name[] = "\\\\.\\pipe\\qmb-failed-line";
    HANDLE peer = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64,
                                   0, NULL);
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    Win32Port port;
    ASSERT_TRUE(port.Open(name));
    port.ApplyTimeLimits(kTimeLimits);  // a pipe refuses COM time-outs; the port keeps them
    CloseHandle(peer);
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint8_t buf[4];
        const DWORD start = GetTickCount();
        EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
        const DWORD spent = GetTickCount() - start;
        EXPECT_GE(spent, 390u) << attempt;
        EXPECT_LE(spent, 1000u) << attempt;
    }
    port.Close();
}

TEST(Win32PortOpen, ALineThatHangsUpIsLostAndItsReadsStillLastTheirLimit) {
    // Wine completes reads on the hung-up line empty, as some USB serial
    // drivers do on a removed adapter; the port's state is what fails then.
    Win32Port port;
    ASSERT_TRUE(port.Open("COM2")) << "COM2 must be mapped to the harness's hang-up line";
    ASSERT_TRUE(port.ApplyLineSettings(kLineSettings));
    ASSERT_TRUE(port.ApplyTimeLimits(kTimeLimits));
    uint8_t buf[17];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
    EXPECT_FALSE(port.LineLost()) << "a line that is only silent is not lost";
    ASSERT_TRUE(port.Write(reinterpret_cast<const uint8_t*>("x"), 1));
    Sleep(300);  // the harness hangs up
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD start = GetTickCount();
        EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
        const DWORD spent = GetTickCount() - start;
        EXPECT_TRUE(port.LineLost()) << attempt;
        EXPECT_GE(spent, 390u) << attempt;
        EXPECT_LE(spent, 1000u) << attempt;
    }
    port.Close();
}

class Win32PortLine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(port.Open("COM1")) << "COM1 must be mapped to the harness's echo peer";
        ASSERT_TRUE(port.ApplyLineSettings(kLineSettings));
        ASSERT_TRUE(port.ApplyTimeLimits(kTimeLimits));
        port.Purge();
    }

    bool Write(const std::string& bytes) {
        return port.Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    // One Read of up to count bytes; elapsed holds its duration.
    std::string Read(size_t count) {
        std::string buf(count, '\0');
        const DWORD start = GetTickCount();
        const size_t got = port.Read(reinterpret_cast<uint8_t*>(&buf[0]), count);
        elapsed = GetTickCount() - start;
        buf.resize(got);
        return buf;
    }

    Win32Port port;
    DWORD elapsed = 0;
};

TEST_F(Win32PortLine, TheDeviceSeesTheLineSettings) {
    ASSERT_TRUE(Write("?"));
    const std::string settings = "38400 cs8 -parenb -cstopb -crtscts -ixon -ixoff\n";
    EXPECT_EQ(Read(settings.size()), settings);
}

TEST_F(Win32PortLine, ThePortIsOpenedExclusively) {
    if (RunningUnderWine()) GTEST_SKIP() << "Wine does not enforce share modes on serial devices";
    HANDLE second = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
}

TEST_F(Win32PortLine, AReadReturnsAsSoonAsAllBytesHaveArrived) {
    std::string frame;
    for (int i = 0; i < 33; ++i)
        frame += static_cast<char>(0xAA - i);
    ASSERT_TRUE(Write(frame));
    EXPECT_EQ(Read(frame.size()), frame);
    EXPECT_LT(elapsed, 350u);
}

TEST_F(Win32PortLine, ASilentReadEndsAfterItsTotalLimit) {
    EXPECT_EQ(Read(8), "");
    EXPECT_GE(elapsed, 380u);
    EXPECT_LE(elapsed, 800u);
}

TEST_F(Win32PortLine, AShortReplyComesBackAfterTheLimit) {
    ASSERT_TRUE(Write(std::string("\x01\x02\x03\x04\x05", 5)));
    EXPECT_EQ(Read(10), std::string("\x01\x02\x03\x04\x05", 5));
    EXPECT_GE(elapsed, 380u);
    EXPECT_LE(elapsed, 800u);
}

TEST_F(Win32PortLine, PiecesWithinTheLimitDoNotEndTheReadEarly) {
    ASSERT_TRUE(Write("!"));
    EXPECT_EQ(Read(9), "abcdefghi");
    EXPECT_LT(elapsed, 380u);
}

TEST_F(Win32PortLine, PurgeDiscardsWhatHasArrived) {
    ASSERT_TRUE(Write("\x10\x11\x12\x13"));
    Sleep(200);
    port.Purge();
    EXPECT_EQ(Read(4), "");
}

TEST_F(Win32PortLine, TheLinkRunsOverThePort) {
    port.Close();
    HeadlessPanel panel;
    Win32TickCounter ticks;
    BindPanel(&panel);
    BindPort(&port, &ticks);
    ASSERT_TRUE(OpenPort('1'));
    EXPECT_EQ(panel.Text(IDC_PORT_STATUS), "38400");

    const uint8_t request[] = {0xAA, 0x03, 0x00, 0x0C};
    EXPECT_TRUE(SendBytes(request, sizeof request));
    uint8_t reply[4];
    EXPECT_TRUE(ReceiveBytes(reply, sizeof reply));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 4),
              std::string(reinterpret_cast<const char*>(request), 4));

    // Nothing comes: three read attempts of 400 ms each.
    const DWORD start = GetTickCount();
    EXPECT_FALSE(ReceiveBytes(reply, sizeof reply));
    const DWORD spent = GetTickCount() - start;
    EXPECT_EQ(SerialLink::Default().ReceivedCount(), 0u);
    EXPECT_GE(spent, 1150u);
    EXPECT_LE(spent, 2000u);

    // BusyWait on the real tick counter: it lasts its time and sleeps through
    // it. The thread's CPU time comes in 10 ms steps under Wine; polling the
    // counter every millisecond cost 30 to 50 ms of it over 2 s.
    const double cpuBefore = ThreadCpuMs();
    const DWORD waitStart = GetTickCount();
    BusyWait(2000);
    const DWORD waited = GetTickCount() - waitStart;
    const double cpu = ThreadCpuMs() - cpuBefore;
    std::printf("Pause of 2000 ms: %lu ms wall, %.1f ms CPU\n", static_cast<unsigned long>(waited),
                cpu);
    EXPECT_GE(waited, 2000u);
    EXPECT_LE(cpu, 10.0);

    ClosePort();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(panel.Text(IDC_PORT_STATUS), "CLOSED");
    BindPort(nullptr, nullptr);
    BindPanel(nullptr);
}

}  // namespace
}  // namespace qmb::test
