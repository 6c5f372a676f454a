// Writes the seed corpora of the fuzz targets into <folder>/<target>/: a settings file as the
// program writes its factory settings, every wire message type as it goes over a connection,
// acquisitions with valid word streams, and rig files. Usage: fuzz_make_seeds fuzz/corpus
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "IniFile.h"
#include "OperatorSettings.h"
#include "Rig.h"
#include "SampleWords.h"
#include "SettingsKeys.h"
#include "SignalGenerator.h"
#include "Wire.h"

namespace {

std::string root;

void put(const std::string& target, const std::string& name, const std::string& bytes)
{
    ::mkdir((root + "/" + target).c_str(), 0755);
    std::ofstream(root + "/" + target + "/" + name, std::ios::binary | std::ios::trunc) << bytes;
}
std::string asText(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }
std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void iniSeeds()
{
    namespace S = qmx::settings;
    const std::string path = root + "/factory.ini.tmp";
    std::remove(path.c_str());
    qmx::IniFile f(path);
    qmx::writeFactoryApplicationSettings(f);
    qmx::writeFactoryModuleSettings(f);
    put("fuzz_ini", "factory.ini", slurp(path));
    // The current settings of a session with a crate and a module selected.
    f.WriteBool(S::kApp, S::kAutoSave, true);
    f.WriteInteger(S::kApp, S::kWindowTop, 120);
    f.WriteString(S::kDiscovery, S::kCrateSerial, "SIM-A8-0001");
    f.WriteInteger(S::kDiscovery, S::kModuleSlot, 2);
    f.WriteInteger(S::kModule, S::kGroupDiffRange, -1);
    put("fuzz_ini", "current.ini", slurp(path));
    std::remove(path.c_str());
    // What hand editing leaves: comments, other line ends, quotes, padding, a byte-order mark.
    put("fuzz_ini", "edited.ini",
        "\xEF\xBB\xBF; edited\r\n[ A ]\nk = \"  v  \"\rn=0x1F\r\n\r\n[a]\r\nlate=1\r\n[B ] x]\r\nf=-1.5e3\r\nNoEquals\r\n");
}

void wireSeeds()
{
    using namespace qmx::wire;
    auto t = [](MsgType m, bool reply) { return static_cast<uint16_t>(static_cast<uint16_t>(m) | (reply ? kReplyBit : 0)); };
    std::vector<std::pair<std::string, std::vector<uint8_t>>> msgs;
    auto add = [&](const std::string& name, uint16_t type, int16_t status, const std::vector<uint8_t>& payload) {
        msgs.emplace_back(name, message(type, status, payload));
    };
    std::vector<uint8_t> p;
    add("list-request", t(MsgType::ListCrates, false), 0, {});
    encode(p, CrateList{{"SIM-A8-0001", "SIM-A1-0002"}});
    add("list-reply", t(MsgType::ListCrates, true), kOk, p);
    p.clear();
    encode(p, SerialRequest{"SIM-A8-0001"});
    add("crate-open-request", t(MsgType::CrateOpen, false), 0, p);
    add("crate-info-request", t(MsgType::CrateInfo, false), 0, p);
    add("crate-open-reply", t(MsgType::CrateOpen, true), kRefused, {});
    p.clear();
    CrateInfoReply info;
    info.crateType = 10;
    info.moduleIds[1] = 0x1818;
    info.moduleIds[4] = 0x2310;
    encode(p, info);
    add("crate-info-reply", t(MsgType::CrateInfo, true), kOk, p);
    p.clear();
    encode(p, ModuleOpenRequest{"SIM-A8-0001", 2});
    add("module-open-request", t(MsgType::ModuleOpen, false), 0, p);
    p.clear();
    encode(p, ModuleSummary{"QMX58", "SIM58-0201", 12, true});
    add("module-open-reply", t(MsgType::ModuleOpen, true), kOk, p);
    add("config-request", t(MsgType::GetConfig, false), 0, {});
    p.clear();
    const qmx::sim::Rig rig = qmx::sim::defaultRig();
    const qmx::sim::Qmx58Module& m = rig.crates.at(0).qmx58.at(2);
    ModuleConfig cfg;
    cfg.summary = {"QMX58", m.serial, m.firmware, m.icpCapable};
    cfg.coefs = m.coefs;
    cfg.icpPhase = m.icpPhase;
    encode(p, cfg);
    add("config-reply", t(MsgType::GetConfig, true), kOk, p);
    p.clear();
    AdcSettings adc;
    adc.rateCode = 0;
    adc.dataFormat = 1;
    adc.channels[0] = {1, 0, 0, 0};
    adc.channels[2] = {1, 1, 1, 0};
    adc.channels[3] = {1, 1, 0, 1};
    encode(p, adc);
    add("setadc-request", t(MsgType::SetAdc, false), 0, p);
    add("setadc-reply", t(MsgType::SetAdc, true), kUnsupported, {});
    add("start-request", t(MsgType::Start, false), 0, {});
    add("start-reply", t(MsgType::Start, true), kOk, {});
    p.clear();
    Writer w(p);
    for (int32_t code : {0, 1000, -1000, qmx::words::kFullScale20})
        w.u32(qmx::words::encode20(code, 0));
    add("data", t(MsgType::Data, false), 0, p);
    add("stop-request", t(MsgType::Stop, false), 0, {});
    add("stop-reply", t(MsgType::Stop, true), kOk, {});
    add("icp-request", t(MsgType::GetIcpPhase, false), 0, {});
    p.clear();
    encode(p, m.icpPhase);
    add("icp-reply", t(MsgType::GetIcpPhase, true), kOk, p);
    std::string session;
    for (const auto& [name, bytes] : msgs) {
        put("fuzz_wire", name, asText(bytes));
        if (name.find("config") == std::string::npos)
            session += asText(bytes);
    }
    put("fuzz_wire", "session", session);
}

// The acquisition head read by fuzz_sample_words, then the words it generates as the tail.
void sampleSeeds()
{
    const qmx::sim::Rig rig = qmx::sim::defaultRig();
    for (const auto& [slot, m] : rig.crates.at(0).qmx58) {
        for (uint8_t format : {0, 1}) {
            std::vector<uint8_t> bytes;
            qmx::wire::Writer w(bytes);
            const uint8_t rateCode = format ? 0 : 9;
            w.u8(static_cast<uint8_t>(rateCode | format << 4));
            qmx::wire::AdcSettings s;
            s.rateCode = rateCode;
            s.dataFormat = format;
            const unsigned rateIndex = qmx::model::rateListIndex(rateCode);
            qmx::sim::Qmx58Module one = m;
            for (unsigned ch = 0; ch < 4; ++ch) {
                const qmx::sim::ChannelSignal& sig = m.channels[ch];
                const uint8_t range = ch & 1, ac = ch == 1, icp = ch == 3;
                s.channels[ch] = {1, range, ac, icp};
                const bool sine = !sig.sines.empty();
                w.u8(static_cast<uint8_t>(1 | range << 1 | ac << 2 | icp << 3 | sine << 4 | 1 << 5));
                const qmx::sim::Sine first = sine ? sig.sines[0] : qmx::sim::Sine{};
                one.channels[ch].sines.resize(sine ? 1 : 0);
                w.f64(sig.dc);
                w.f64(first.amplitude);
                w.f64(first.frequency);
                w.f64(first.phaseDeg);
                w.f64(sig.noiseRms);
                w.f32(m.coefs[ch][range][rateIndex][0]);
                w.f32(m.coefs[ch][range][rateIndex][1]);
            }
            for (double v : m.icpPhase)
                w.f64(v);
            w.u8(0);   // no overload fault
            w.u8(31);  // 32 conversions
            w.u32(7);
            w.u32(0);  // seed
            std::vector<uint32_t> words;
            qmx::sim::SignalGenerator(one, s, 7).generate(32, words);
            for (uint32_t word : words)
                w.u32(word);
            put("fuzz_sample_words", "acquisition-" + std::to_string(slot) + (format ? "-24bit" : "-20bit"),
                asText(bytes));
        }
    }
}

void rigSeeds()
{
    put("fuzz_rig", "built-in.rig", qmx::sim::defaultRigText());
    put("fuzz_rig", "every-feature.rig", R"(fault list
crate C1 type 41
  fault open
  fault info
  slot 16 module 0x0001
  slot 1 qmx58 M1 firmware 200 icp no
    coef 3 1 15 -2.5 1.01
    icp-phase 500 1 2 3 4   # comment
    channel 2 dc 1 sine 1 2 3 sine 4 5 6 noise 0.5
    fault refuse-open
    fault fail-config
    fault fail-setadc
    fault fail-start
    fault close-mid-frame
    fault stall
    fault short 100
    fault corrupt 7
    fault overload 3
)");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
        return 2;
    }
    root = argv[1];
    ::mkdir(root.c_str(), 0755);
    iniSeeds();
    wireSeeds();
    sampleSeeds();
    rigSeeds();
    return 0;
}
