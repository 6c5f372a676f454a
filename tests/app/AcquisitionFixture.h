#pragma once
// The fixture of the measurement runs: the real window and acquisition thread against the
// simulated crate server in this process (fast mode, a free port), with signals whose readings
// are known, and the steps a test takes (open the module with given settings, run frames).

#include "FormFixture.h"
#include "MainThread.h"
#include "SettingsKeys.h"
#include "SimulatedServer.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>

#include <array>
#include <functional>
#include <map>
#include <string>

namespace qmxtest {

using namespace qmx;
namespace S = qmx::settings;

// At 117187.5 Hz and M = 16384 (the "fft" frame for 0.1 s) bin 140 is 1001.358 Hz: every tone
// sits on a bin, so amplitude, frequency and phase come out exact but for quantisation.
constexpr double kFs = 117187.5;
constexpr double kTone = 140 * kFs / 16384;

const std::string kRig = R"(
crate TEST-10 type 10
  slot 3 qmx58 T58-0301 icp yes
    channel 0 sine 1.0 1001.3580322265625 0
    channel 1 sine 0.5 1001.3580322265625 30
    channel 2 sine 2.0 1001.3580322265625 -100
    channel 3 dc -0.75
  slot 4 qmx58 T58-0401 icp no
    channel 0 sine 3.0 1001.3580322265625 20
    channel 1 sine 1.9 1001.3580322265625 0
    channel 2 sine 1.0 1001.3580322265625 -40
    channel 3 dc 0.5
crate TEST-21 type 21
  slot 1 qmx58 T58-0101 icp no
    channel 0 sine 1.0 1001.3580322265625 0
    channel 1 dc 0.5
)";

struct ChannelSetup {
    bool on = true;
    int mode = 0;    // connection mode
    int range = 1;   // differential (or ICP) range index
    int method = 1;  // 0 DC, 1 AC
};

class AcquisitionFixture : public FormFixture {
protected:
    // The rig the server simulates (the known signals above unless a test says otherwise).
    virtual std::string rig() const { return kRig; }

    void SetUp() override
    {
        ASSERT_TRUE(server.start(rig()));
        FormFixture::SetUp();
    }
    void TearDown() override
    {
        if (form) {
            form->StopThread();
            if (QMX58_IsOpened(&form->ModuleHandle) == 0)
                QMX58_Close(&form->ModuleHandle);
        }
        FormFixture::TearDown();
        server.stop();
    }

    // Opens the module on the window thread as a discovery run would and loads the settings:
    // the file's keys with `keys` over them, channels as `ch`.
    void setUpModule(const std::map<std::string, std::string>& keys, std::array<ChannelSetup, 4> ch,
                     const char* crate = "TEST-10", std::uint16_t slot = 3, std::uint8_t type = 10)
    {
        if (QMX58_IsOpened(&form->ModuleHandle) == 0)
            QMX58_Close(&form->ModuleHandle);
        ASSERT_EQ(QMX58_Init(&form->ModuleHandle), 0);
        ASSERT_EQ(QMX58_Open(&form->ModuleHandle, 0x7F000001, 11111, crate, slot), 0);
        ASSERT_EQ(QMX58_GetConfig(&form->ModuleHandle), 0);
        form->Discovery.crateCount = 1;
        form->Discovery.selectedCrateIndex = 0;
        form->Discovery.crateTypes[0] = type;
        form->Discovery.moduleState = 2;

        IniFile f(form->settingsPath().toStdString());
        std::map<std::string, std::string> all = {
            {S::kComputationMethod, "fft"}, {S::kAmplitudeType, "rms"}, {S::kMaxAcquisitionTime, "0.1"},
            {S::kDataFormat, "0"}, {S::kAdcRate, "15"}, {S::kReferenceChannel, "0"}, {S::kAllChannels, "0"},
            {S::kGroupConnectionMode, "-1"}, {S::kGroupDiffRange, "-1"}, {S::kGroupIcpRange, "-1"}, {S::kGroupMethod, "-1"}};
        for (int c = 0; c < 4; ++c) {
            const ChannelSetup& s = ch[static_cast<std::size_t>(c)];
            all[S::channelKey(S::kChannelEnabled, c)] = s.on ? "1" : "0";
            all[S::channelKey(S::kChannelConnectionMode, c)] = std::to_string(s.mode);
            all[S::channelKey(S::kChannelDiffRange, c)] = std::to_string(s.range);
            all[S::channelKey(S::kChannelIcpRange, c)] = std::to_string(s.range);
            all[S::channelKey(S::kChannelMethod, c)] = std::to_string(s.method);
        }
        for (const auto& [k, v] : keys)
            all[k] = v;
        for (const auto& [k, v] : all)
            f.WriteString(S::kModule, k, v);
        ASSERT_TRUE(form->LoadSettings(&f, true));
        form->EnableChannelPanels();
        dialogs.shown.clear();
    }

    TMainThread* thread() const { return form->acquisitionThread(); }
    long frames() const { return thread() ? thread()->FramesShown.load() : 0; }

    // Starts a run and waits until `n` frames are on screen.
    void runFrames(long n = 2, int timeoutMs = 30000)
    {
        form->StartThread();
        ASSERT_NE(thread(), nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return frames() >= n || dialogs.count() > 0; }, timeoutMs));
        ASSERT_EQ(dialogs.count(), 0u) << dialogs.shown[0].text.toStdString();
    }
    // Starts a run that must end with `text` as its one message.
    void runExpectingMessage(const QString& text, int timeoutMs = 30000)
    {
        form->StartThread();
        ASSERT_NE(thread(), nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return form->MeasurementIdle == 1 && dialogs.count() > 0; }, timeoutMs));
        QTest::qWait(150);
        ASSERT_EQ(dialogs.count(), 1u);
        EXPECT_EQ(dialogs.shown[0].text, text);
        EXPECT_EQ(dialogs.shown[0].caption, "Сообщение TMainThread::Execute()!!!");
        EXPECT_EQ(dialogs.shown[0].kind, DialogKind::Error);
        EXPECT_EQ(dialogs.shown[0].buttons, QStringList{"Принято"});
        EXPECT_EQ(form->StartMultimeterLMDSpeedButton->text(), "С   Т   А   Р   Т");
        EXPECT_EQ(form->AcquisitionTimeLMDLabel->text(), "-----");
        form->StopThread();
        dialogs.shown.clear();
    }

    QLineEdit* box(int ch, int n) const
    {
        TQmx58AdcChannelFrame* f = form->Frames[static_cast<std::size_t>(ch)];
        return n == 1 ? f->Value1LMDEdit : n == 2 ? f->Value2LMDEdit : f->Value3LMDEdit;
    }
    double value(int ch, int n) const
    {
        bool ok = false;
        const double v = box(ch, n)->text().toDouble(&ok);
        EXPECT_TRUE(ok) << "channel " << ch << " box " << n << ": " << box(ch, n)->text().toStdString();
        return v;
    }
    int decimals(int ch, int n) const
    {
        const QString t = box(ch, n)->text();
        const int dot = static_cast<int>(t.indexOf('.'));
        return dot < 0 ? 0 : static_cast<int>(t.size()) - dot - 1;
    }
    bool placeholder(int ch, int n) const { return box(ch, n)->text() == TQmx58AdcChannelFrame::kPlaceholder; }
    QColor textColour(int ch, int n) const { return box(ch, n)->palette().color(QPalette::Text); }

    // Ends the run the way `stop` does and says how long that took.
    double stoppingSeconds(const std::function<void()>& stop)
    {
        QElapsedTimer t;
        t.start();
        stop();
        EXPECT_TRUE(QTest::qWaitFor([&] { return thread() == nullptr; }, 20000));
        return static_cast<double>(t.elapsed()) / 1000.0;
    }

    qmxtest::SimulatedServer server;
};

}  // namespace qmxtest
