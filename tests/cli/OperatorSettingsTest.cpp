// The operator settings as the command line reads them, held against the window: the same
// file must give the acquisition thread the same run settings through both.

#include "IniFile.h"
#include "MainForm.h"
#include "TestMainForm.h"
#include "OperatorSettings.h"
#include "RecordingDialogSeam.h"
#include "RunSnapshot.h"
#include "SettingsKeys.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace {

using namespace qmx;
namespace S = qmx::settings;

using Keys = std::map<std::string, std::string>;

class OperatorSettingsFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    // A fresh file holding `keys` in the module section.
    std::string write(const Keys& keys, const std::string& name = "s.ini")
    {
        const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
        QFile::remove(QString::fromStdString(path));
        IniFile f(path);
        IniFile::Update update(f);
        for (const auto& [k, v] : keys)
            f.WriteString(S::kModule, k, v);
        update.commit();
        return path;
    }

    QTemporaryDir dir;
};

OperatorChannelSettings channel(bool on, int mode, int diff, int icp, int method)
{
    OperatorChannelSettings c;
    c.enabled = on;
    c.connectionMode = mode;
    c.diffRange = diff;
    c.icpRange = icp;
    c.method = method;
    return c;
}

TEST_F(OperatorSettingsFile, ResolvesLikeTheWindow)
{
    // No file: the read defaults; without ICP capability no current source is chosen.
    IniFile missing(dir.filePath("missing.ini").toStdString());
    OperatorSettings expected;
    EXPECT_EQ(readOperatorSettings(missing, true), expected);
    expected.currentSource = -1;
    EXPECT_EQ(readOperatorSettings(missing, false), expected);
    EXPECT_FALSE(QFile::exists(dir.filePath("missing.ini")));

    // The window's factory file: "0" for all channels, each channel "1", 0.75 s.
    Keys factory = {{S::kAllChannels, "0"}, {S::kMaxAcquisitionTime, "0.75"}};
    for (int ch = 0; ch < 4; ++ch)
        factory[S::channelKey(S::kChannelEnabled, ch)] = "1";
    OperatorSettings f = readOperatorSettings(IniFile(write(factory)), true);
    EXPECT_EQ(f.maxAcquisitionTime, 0.75);
    for (const OperatorChannelSettings& c : f.channels)
        EXPECT_EQ(c, channel(true, 0, 1, 1, 1));

    // Group keys of -1 or outside the items hand over to the channel keys; channel values
    // outside the items read as -1; ICP mode 2 needs ICP capability (group 2 then reads 0).
    const Keys mixed = {
        {S::kAllChannels, "0"},          {S::channelKey(S::kChannelEnabled, 1), "0"},
        {S::kGroupConnectionMode, "-1"}, {S::channelKey(S::kChannelConnectionMode, 0), "2"},
        {S::channelKey(S::kChannelConnectionMode, 1), "1"}, {S::channelKey(S::kChannelConnectionMode, 2), "7"},
        {S::kGroupDiffRange, "5"},       {S::channelKey(S::kChannelDiffRange, 0), "0"},
        {S::channelKey(S::kChannelDiffRange, 3), "x"},
        {S::kGroupIcpRange, "0"},        {S::channelKey(S::kChannelIcpRange, 0), "1"},
        {S::kGroupMethod, "-1"},         {S::channelKey(S::kChannelMethod, 3), "0"},
        {S::kDataFormat, "2"},           {S::kAdcRate, "0x3"},
        {S::kCurrentSource, "1"},        {S::kReferenceChannel, "-1"},
        {S::kComputationMethod, "sum"},  {S::kAmplitudeType, "amp"},
    };
    const std::string path = write(mixed);
    OperatorSettings icp = readOperatorSettings(IniFile(path), true);
    EXPECT_EQ(icp.dataFormat, -1);
    EXPECT_EQ(icp.rateIndex, 3);
    EXPECT_EQ(icp.currentSource, 1);
    EXPECT_EQ(icp.referenceChannel, 65535) << "stored as an unsigned 16-bit value";
    EXPECT_EQ(icp.computationMethod, "sum");
    EXPECT_EQ(icp.amplitudeType, "amp");
    EXPECT_EQ(icp.groupConnectionMode, -1);
    EXPECT_EQ(icp.groupDiffRange, -1);
    EXPECT_EQ(icp.groupIcpRange, 0);
    EXPECT_EQ(icp.channels[0], channel(true, 2, 0, 0, 1));
    EXPECT_EQ(icp.channels[1], channel(false, 1, 1, 0, 1));
    EXPECT_EQ(icp.channels[2], channel(true, -1, 1, 0, 1));
    EXPECT_EQ(icp.channels[3], channel(true, 0, 1, 0, 0));
    OperatorSettings plain = readOperatorSettings(IniFile(path), false);
    EXPECT_EQ(plain.currentSource, -1);
    EXPECT_EQ(plain.channels[0].connectionMode, -1) << "only two items without ICP";
    const Keys groupIcp = {{S::kGroupConnectionMode, "2"}, {S::channelKey(S::kChannelConnectionMode, 2), "1"}};
    EXPECT_EQ(readOperatorSettings(IniFile(write(groupIcp)), false).channels[2].connectionMode, 0);
}

// The window and the command line load the same random files; the acquisition thread must
// get the same run settings and configuration from both.
TEST_F(OperatorSettingsFile, TheThreadSeesTheSameRunThroughTheWindowAndTheCommandLine)
{
    qmxtest::RecordingDialogSeam dialogs;
    MainFormOptions o;
    o.programFolder = dir.path();
    o.serverPort = 0;
    o.dialogs = &dialogs;
    qmxtest::TestMainForm form(o);
    MeasurementHost& host = form;  // what the acquisition thread calls

    std::mt19937 random(58);
    const std::vector<std::string> values = {"-1", "0", "1", "2", "3", "15", "16", "x", ""};
    auto pick = [&] { return values[random() % values.size()]; };
    std::vector<std::string> keys = {S::kDataFormat, S::kCurrentSource, S::kAdcRate, S::kReferenceChannel, S::kAllChannels,
                                     S::kGroupConnectionMode, S::kGroupDiffRange, S::kGroupIcpRange, S::kGroupMethod};
    for (int ch = 0; ch < 4; ++ch)
        for (const std::string& k : {S::kChannelEnabled, S::kChannelConnectionMode, S::kChannelDiffRange,
                                     S::kChannelIcpRange, S::kChannelMethod})
            keys.push_back(S::channelKey(k, ch));

    for (int round = 0; round < 80; ++round) {
        Keys file;
        for (const std::string& k : keys)
            if (random() % 3 != 0)  // a third of the keys missing
                file[k] = pick();
        // Groups of -1 often enough that the channel keys matter.
        for (const std::string& g : {S::kGroupConnectionMode, S::kGroupDiffRange, S::kGroupIcpRange, S::kGroupMethod})
            if (random() % 2 == 0)
                file[g] = "-1";
        const bool icp = random() % 2 == 0;
        IniFile ini(write(file));
        form.ModuleHandle.moduleInfo.icpCapable = icp ? 1 : 0;
        ASSERT_TRUE(form.LoadSettings(&ini, true));
        RunSettings window;
        ConfigurationInputs windowConfig;
        host.acquisitionBeginRun(window);
        host.acquisitionReadConfiguration(windowConfig);

        RunSettings cli;
        ConfigurationInputs cliConfig;
        const OperatorSettings s = readOperatorSettings(ini, icp);
        cli::takeRunSettings(s, icp, cli);
        cli::takeConfiguration(s, cliConfig);

        SCOPED_TRACE(round);
        EXPECT_EQ(cli.DataFormat, window.DataFormat);
        EXPECT_EQ(cli.CurrentSource, window.CurrentSource);
        EXPECT_EQ(cli.PhaseCorrection, window.PhaseCorrection);
        EXPECT_EQ(cli.ComputationMethod, window.ComputationMethod);
        EXPECT_EQ(cli.AmplitudeType, window.AmplitudeType);
        EXPECT_EQ(cli.AcquisitionTime, window.AcquisitionTime);
        for (std::size_t ch = 0; ch < 4; ++ch) {
            EXPECT_EQ(cli.Channels[ch].InputMode, window.Channels[ch].InputMode) << ch;
            EXPECT_EQ(cli.Channels[ch].DiffRange, window.Channels[ch].DiffRange) << ch;
            EXPECT_EQ(cli.Channels[ch].IcpRange, window.Channels[ch].IcpRange) << ch;
            EXPECT_EQ(cli.Channels[ch].ChannelMode, window.Channels[ch].ChannelMode) << ch;
        }
        EXPECT_EQ(cliConfig.ChannelEnabled, windowConfig.ChannelEnabled);
        EXPECT_EQ(cliConfig.RateIndex, windowConfig.RateIndex);
        EXPECT_EQ(cliConfig.ReferenceChannel, windowConfig.ReferenceChannel);
        // What the window would save, the command line saves: the module section alike.
        const std::string windowFile = dir.filePath("window.ini").toStdString();
        const std::string cliFile = dir.filePath("cli.ini").toStdString();
        QFile::remove(QString::fromStdString(windowFile));
        QFile::remove(QString::fromStdString(cliFile));
        form.SaveIniFile(QString::fromStdString(windowFile));
        IniFile c(cliFile);
        writeOperatorSettings(c, s, icp);
        IniFile w(windowFile);
        for (const std::string& k : keys) {
            if (k == S::kReferenceChannel)
                continue;
            EXPECT_EQ(c.ReadString(S::kModule, k, "(none)"), w.ReadString(S::kModule, k, "(none)")) << k;
        }
        if (HasFailure())
            break;
    }
}

}  // namespace
