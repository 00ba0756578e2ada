// Receiver configuration: the UBX frame watcher and configuration sequence,
// and the four command frames, byte for byte, read back from a real
// pseudo-terminal.
#include "app/messages.h"
#include "nmea/data_read_sink.h"
#include "serial/serial_port.h"
#include "support.h"
#include "tools/byte_path.h"
#include "ubx/ubx_commands.h"
#include "ubx/ubx_sink.h"

#include <gtest/gtest.h>

using namespace test;

namespace {

// The frames as the receiver must get them.
const std::string kPollVersion = ExpectedFrame("poll-version") + "\r\n";
const std::string kSetANAEnable = ExpectedFrame("set-ana-enable");
const std::string kSet30Cm = ExpectedFrame("set-30cm");
const std::string kSetHeading = ExpectedFrame("set-heading");

const std::string kAck = FromHex("B5 62 05 01 02 00 06 23 31 5A");
const std::string kNak = FromHex("B5 62 05 00 02 00 06 23 30 55");

// A MON-VER report with the given hardware version.
std::string MonVer(const std::string& hardware, const std::string& software = "1.00 (59842)") {
    std::string payload(40, '\0');
    payload.replace(0, software.size(), software);
    payload.replace(30, hardware.size(), hardware);
    BYTE frame[128];
    int n = BuildUbxFrame(0x0A, 0x04, (const BYTE*)payload.data(), (WORD)payload.size(), frame);
    return std::string((char*)frame, n);
}

// Each byte as the data-ready sink hands it on.
void Bytes(const std::string& s) {
    for (char c : s) UbxProc(UbxSink.m_hWnd, UBLOXPARSINGMSG, 0, (BYTE)c);
}

class UbxTest : public ::testing::Test {
protected:
    TempRoot root;
    Pty pty;
    HANDLE port_ = 0;
    void SetUp() override {
        port_ = CreateFile(L"COM1:", GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, 0x40000080, 0);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS to = {MAXDWORD, 0, 0, 2, 0};
        SetCommTimeouts(port_, &to);
        UbxState.m_hPort = port_;
        HWND main = CreateWindowEx(0, L"static", L"main", 0, 0, 0, 0, 0, 0, 0, 0, 0);
        CreateUbxSink(&UbxSink, main, 0);
    }
    void TearDown() override { CloseHandle(port_); }
    bool Marker(const char* name) { return FileExists(root.File(name)); }
};

TEST_F(UbxTest, AU7ReportThenThreeAcknowledgementsConfigureTheReceiverInOrder) {
    StderrCapture cap;
    Bytes(Capture("ubx7-monver.raw"));
    EXPECT_EQ(UbxState.m_bVersionChecked, 1);
    EXPECT_TRUE(Marker("UBLOX_GPS_VER7_NO_PATCH"));
    EXPECT_EQ(Hex(pty.Read(kSetANAEnable.size(), 2000)), Hex(kSetANAEnable));
    Bytes(kAck);
    EXPECT_TRUE(Marker("UBLOX_ANA_enabled"));
    EXPECT_EQ(Hex(pty.Read(kSet30Cm.size(), 2000)), Hex(kSet30Cm));
    Bytes(kAck);
    EXPECT_EQ(Hex(pty.Read(kSetHeading.size(), 2000)), Hex(kSetHeading));
    HWND sink = UbxSink.m_hWnd;
    Bytes(kAck);
    EXPECT_EQ(UbxState.m_bHeadingEnabled, 1);
    Pump();  // the sink's own WM_CLOSE
    EXPECT_EQ(UbxSink.m_hWnd, nullptr);
    EXPECT_FALSE(IsWindow(sink));
    Bytes(kAck);  // a fourth changes nothing
    EXPECT_EQ(pty.Drain(100), "");
    EXPECT_EQ(cap.Text(), Tagged(32, "GPS S/W Ver.1.00 (59842)") + Tagged(32, "GPS H/W Ver.00070000") +
                              Tagged(32, "Send : SetANAEnable") + Tagged(32, "ACK : UBLOX_ANA_enabled") +
                              Tagged(32, "Send : Set30Cm") + Tagged(32, "ACK : UBLOX_30Cm_enabled") +
                              Tagged(32, "Send : SetHeading") + Tagged(32, "ACK : UBLOX_Heading_enabled"));
    EXPECT_FALSE(Marker("UBLOX_ANA_failed"));
    EXPECT_EQ(ReadFile(root.File("UBLOX_ANA_enabled")), "") << "markers stay empty";
}

TEST_F(UbxTest, ByteStreamsAndTheirOutcomes) {
    struct Row {
        const char* legend;
        std::string bytes;
        int ana, cm30, heading, version;
        bool failedMarker;
        std::string sent;
    } rows[] = {
        {"acknowledgement before any report takes the first step", kAck, 1, 0, 0, 0, false, kSet30Cm},
        {"refusal before the first step", kNak, 0, 0, 0, 0, true, ""},
        {"refusal after the first step only resets", kAck + kNak, 1, 0, 0, 0, false, kSet30Cm},
        {"refused, then acknowledged", kNak + kAck, 1, 0, 0, 0, true, kSet30Cm},
        {"u-blox 8 report", MonVer("00080000"), 0, 0, 0, 0, false, ""},
        {"u-blox 4 report", MonVer("00040007"), 0, 0, 0, 0, false, ""},
        {"u-blox 7 report", MonVer("00070000"), 0, 0, 0, 1, false, kSetANAEnable},
        {"second u-blox 7 report re-sends while unacknowledged", MonVer("00070000") + MonVer("00070000"), 0, 0,
         0, 1, false, kSetANAEnable + kSetANAEnable},
        {"report after the first step sends nothing", kAck + MonVer("00070000"), 1, 0, 0, 1, false, kSet30Cm},
        {"acts on the sixth byte: the rest of the frame is dropped", FromHex("B5 62 05 01 02 00"), 1, 0, 0, 0,
         false, kSet30Cm},
        {"five bytes are not enough", FromHex("B5 62 05 01 02"), 0, 0, 0, 0, false, ""},
        {"0xB5 in the payload shifts the index", [] {
             std::string f = MonVer("00070000");
             f[6 + 10] = '\xB5';  // a payload byte: the '7' lands at index 38
             return f;
         }(), 0, 0, 0, 0, false, ""},
        {"a 0x62 that completes a header starts the next frame after an armed latch",
         FromHex("B5 62 01 02 B5 03 62") + FromHex("05 01 02 00"), 1, 0, 0, 0, false, kSet30Cm},
        {"latch stays armed across other bytes", FromHex("B5 11 22 33 62 05 01 02 00"), 1, 0, 0, 0, false,
         kSet30Cm},
        {"no latch, no frame", FromHex("62 05 01 02 00"), 0, 0, 0, 0, false, ""},
        {"a handled frame disarms the latch: a later 'b' in text starts nothing",
         kAck + "$GPTXT,01,01,02,b" + FromHex("05 01 02 00"), 1, 0, 0, 0, false, kSet30Cm},
        {"a report is examined once its index 44 has arrived", MonVer("00070000").substr(0, 45), 0, 0, 0, 1,
         false, kSetANAEnable},
        {"one byte short of index 44 is not examined", MonVer("00070000").substr(0, 44), 0, 0, 0, 0, false, ""},
        {"a full buffer still sees the next frame start", [] {
             std::string f = FromHex("B5 62 01 07 C8 00") + std::string(200, '\x11');
             return f + kAck;
         }(), 1, 0, 0, 0, false, kSet30Cm},
    };
    for (const Row& r : rows) {
        // Each row from the start state, in a fresh root.
        TempRoot fresh;
        UbxState = UbxStateRecord{0, 0, 0, 0, 0, UBX_CLASS_INDEX, port_};
        memset(m_UbxFrame, 0, sizeof m_UbxFrame);
        Bytes(r.bytes);
        EXPECT_EQ(UbxState.m_bAnaEnabled, r.ana) << r.legend;
        EXPECT_EQ(UbxState.m_b30CmEnabled, r.cm30) << r.legend;
        EXPECT_EQ(UbxState.m_bHeadingEnabled, r.heading) << r.legend;
        EXPECT_EQ(UbxState.m_bVersionChecked, r.version) << r.legend;
        EXPECT_EQ(FileExists(fresh.File("UBLOX_ANA_failed")), r.failedMarker) << r.legend;
        EXPECT_EQ(FileExists(fresh.File("UBLOX_GPS_VER7_NO_PATCH")), r.version == 1) << r.legend;
        EXPECT_LE(UbxState.m_nFrameIndex, UBX_FRAME_BYTES) << r.legend;
        EXPECT_EQ(Hex(pty.Read(r.sent.size(), 1000)), Hex(r.sent)) << r.legend;
        EXPECT_EQ(pty.Drain(20), "") << r.legend;
    }
}

TEST_F(UbxTest, AFrameNeverRunsPastItsBuffer) {
    Bytes(FromHex("B5 62 0A 04 FF FF") + std::string(500, 'x'));
    EXPECT_EQ(UbxState.m_nFrameIndex, UBX_FRAME_BYTES);
    EXPECT_EQ(UbxState.m_bFrameActive, 1);
    Bytes(kAck);
    EXPECT_EQ(UbxState.m_bAnaEnabled, 1);
    EXPECT_EQ(UbxState.m_nFrameIndex, UBX_CLASS_INDEX);
}

TEST_F(UbxTest, CloseAtAnyTimeKeepsTheFlags) {
    Bytes(kAck);
    PostMessage(UbxSink.m_hWnd, WM_CLOSE, 0, 0);
    Pump();
    EXPECT_EQ(UbxSink.m_hWnd, nullptr);
    EXPECT_EQ(UbxState.m_bAnaEnabled, 1);
}

TEST_F(UbxTest, AU8CaptureIsNeverTakenForAU7) {
    StderrCapture cap;
    Bytes(Capture("ublox8-uniqid-monhw.raw"));
    EXPECT_EQ(UbxState.m_bVersionChecked, 0);
    EXPECT_FALSE(Marker("UBLOX_GPS_VER7_NO_PATCH"));
    EXPECT_EQ(cap.Text().find("H/W"), std::string::npos);
}

TEST_F(UbxTest, TheSplicedU7CaptureThroughTheDataReadSink) {
    // NMEA and UBX interleaved: every byte reaches the watcher through the
    // data-ready sink's forwarding, in order.
    HWND main = CreateWindowEx(0, L"static", L"main2", 0, 0, 0, 0, 0, 0, 0, 0, 0);
    CreateDataReadSink(&DataReadSink, main, 0);
    StderrCapture cap;
    std::string raw = Capture("ubx7-spliced.raw");
    for (size_t at = 0; at < raw.size(); at += 1000) {
        FeedDrain(raw.data() + at, (int)std::min<size_t>(1000, raw.size() - at));
    }
    EXPECT_EQ(UbxState.m_bVersionChecked, 1);
    EXPECT_EQ(UbxState.m_bAnaEnabled, 1);
    EXPECT_EQ(UbxState.m_b30CmEnabled, 0) << "the NAK after the first step only resets";
    EXPECT_FALSE(Marker("UBLOX_ANA_failed"));
    EXPECT_NE(cap.Text().find(Tagged(32, "GPS H/W Ver.00070000")), std::string::npos);
    // The dated sentences poll twice (first sync, first fix) before the
    // spliced report arrives.
    std::string want = kPollVersion + kPollVersion + kSetANAEnable + kSet30Cm;
    EXPECT_EQ(Hex(pty.Read(want.size(), 2000)), Hex(want));
}

TEST(UbxFrames, ChecksumsOfTheConfigurationFramesRecompute) {
    for (const std::string* f : {&kSetANAEnable, &kSet30Cm, &kSetHeading, &kAck, &kNak}) {
        BYTE a = 0, b = 0;
        UbxChecksum((const BYTE*)f->data() + 2, (int)f->size() - 4, &a, &b);  // class .. payload
        EXPECT_EQ(a, (BYTE)(*f)[f->size() - 2]) << Hex(*f);
        EXPECT_EQ(b, (BYTE)(*f)[f->size() - 1]) << Hex(*f);
    }
}

TEST_F(UbxTest, EachCommandWritesItsFrameByteExact) {
    struct { const char* name; void (*send)(UbxStateRecord*); const std::string* frame; const char* log; } rows[] = {
        {"PollVersion", PollVersion, &kPollVersion, nullptr},
        {"SetANAEnable", SetANAEnable, &kSetANAEnable, "Send : SetANAEnable"},
        {"Set30Cm", Set30Cm, &kSet30Cm, "Send : Set30Cm"},
        {"SetHeading", SetHeading, &kSetHeading, "Send : SetHeading"},
    };
    for (auto& r : rows) {
        StderrCapture cap;
        r.send(&UbxState);
        EXPECT_EQ(Hex(pty.Read(r.frame->size() + 1, 300)), Hex(*r.frame)) << r.name;
        EXPECT_EQ(cap.Text(), r.log ? Tagged(32, r.log) : "") << r.name;
    }
    // Without a port nothing is written and nothing logged.
    UbxState.m_hPort = 0;
    for (auto& r : rows) {
        StderrCapture cap;
        r.send(&UbxState);
        EXPECT_EQ(cap.Text(), "") << r.name;
    }
    EXPECT_EQ(pty.Drain(100), "");
}

}  // namespace
