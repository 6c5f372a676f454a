// The module library: opens one QMX58 through the crate server, configures it, streams
// its data and turns data words into calibrated volts.
#include "qmx58api.h"

#include <cmath>
#include <memory>
#include <mutex>

#include "LibSupport.h"
#include "LinkTable.h"
#include "SampleWords.h"

namespace {

using qmx::ClientLink;
using qmx::wire::MsgType;

static_assert(QMX58_ERR_ARG == qmx::kLibErrArg && QMX58_ERR_DATA == qmx::kLibErrData &&
                  QMX58_ERR_NO_RESOURCES == qmx::kLibErrNoResources && QMX58_ERR_STATE == qmx::kLibErrState,
              "library error codes agree with the header");

struct ModuleLink {
    std::mutex mutex;
    ClientLink link;
    bool icpCapable = false;
    bool configRead = false;
    qmx::wire::ModuleConfig config;  // coefficients and ICP phase table as the module reported them
    bool adcSet = false;
    qmx::wire::AdcSettings adc;  // what the module converts with (the last successful SetADC)
    bool running = false;
    uint64_t wordsSinceStart = 0;
};

qmx::LinkTable<ModuleLink>& links() {
    static qmx::LinkTable<ModuleLink> table;
    return table;
}

template <class F>
int32_t withLink(Qmx58Handle* h, F&& body) {
    if (!h) return QMX58_ERR_ARG;
    auto link = links().find(h->linkId, h->linkCheck);
    if (!link) return QMX58_ERR_NOT_OPEN;
    std::lock_guard<std::mutex> lock(link->mutex);
    return body(*link);
}

int32_t call(ModuleLink& l, MsgType type, const std::vector<uint8_t>& payload, std::vector<uint8_t>& reply) {
    if (l.link.broken()) return QMX58_ERR_DISCONNECTED;
    int16_t status = 0;
    const auto r = l.link.request(type, payload, status, reply, QMX58_REQUEST_TIMEOUT_MS);
    if (r != ClientLink::Result::Ok) return qmx::fromLink(r);
    return qmx::fromStatus(status);
}

template <class T>
int32_t callDecode(ModuleLink& l, MsgType type, const std::vector<uint8_t>& payload, T& out) {
    std::vector<uint8_t> reply;
    const int32_t rc = call(l, type, payload, reply);
    if (rc != QMX58_OK) return rc;
    if (!qmx::wire::decode(reply.data(), reply.size(), out)) {
        l.link.close();
        return QMX58_ERR_PROTOCOL;
    }
    return QMX58_OK;
}

int32_t readConfig(ModuleLink& l) {
    qmx::wire::ModuleConfig cfg;
    const int32_t rc = callDecode(l, MsgType::GetConfig, {}, cfg);
    if (rc != QMX58_OK) return rc;
    l.config = cfg;
    l.configRead = true;
    l.icpCapable = cfg.summary.icpCapable;
    return QMX58_OK;
}

void fillSummary(Qmx58ModuleInfo& info, const qmx::wire::ModuleSummary& s) {
    qmx::copyField(info.moduleName, sizeof info.moduleName, s.name);
    qmx::copyField(info.serialNumber, sizeof info.serialNumber, s.serial);
    info.firmwareVersion = s.firmware;
    info.icpCapable = s.icpCapable ? 1 : 0;
}

// Shifts one channel's series (n values at stride in v) earlier by delay samples, so that
// value i becomes the signal at i + delay, with 4-point Lagrange interpolation; at the
// block's ends the four nearest points extrapolate.
void advanceSeries(double* v, std::size_t n, std::size_t stride, double delay, std::vector<double>& tmp) {
    if (n < 2 || !(delay > 0) || !std::isfinite(delay)) return;
    tmp.resize(n);
    for (std::size_t i = 0; i < n; ++i) tmp[i] = v[i * stride];
    const long last = static_cast<long>(n) - 1;
    const long points = n >= 4 ? 4 : 2;
    for (std::size_t i = 0; i < n; ++i) {
        const double pos = static_cast<double>(i) + delay;
        long base = static_cast<long>(std::floor(pos)) - (points == 4 ? 1 : 0);
        base = std::max(0L, std::min(base, last + 1 - points));
        const double x = pos - static_cast<double>(base);
        const double* y = &tmp[static_cast<std::size_t>(base)];
        double r;
        if (points == 4) {
            r = -y[0] * (x - 1) * (x - 2) * (x - 3) / 6 + y[1] * x * (x - 2) * (x - 3) / 2 -
                y[2] * x * (x - 1) * (x - 3) / 2 + y[3] * x * (x - 1) * (x - 2) / 6;
        } else {
            r = y[0] + (y[1] - y[0]) * x;
        }
        v[i * stride] = r;
    }
}

}  // namespace

extern "C" {

int32_t QMX58_Init(Qmx58Handle* h) {
    return qmx::guarded([&]() -> int32_t {
        if (!h) return QMX58_ERR_ARG;
        // A handle that still held a module releases it rather than leaking the connection.
        if (auto link = links().remove(h->linkId, h->linkCheck)) {
            std::lock_guard<std::mutex> lock(link->mutex);
            link->link.close();
        }
        std::memset(h, 0, sizeof *h);
        return QMX58_OK;
    });
}

int32_t QMX58_Open(Qmx58Handle* h, uint32_t addr, uint16_t port, const char* crateSerial, uint16_t slot) {
    return qmx::guarded([&]() -> int32_t {
        if (!h || !crateSerial || slot < 1 || slot > 16) return QMX58_ERR_ARG;
        if ((addr >> 24) != 127) return QMX58_ERR_ARG;  // the crate server is on this machine
        if (links().find(h->linkId, h->linkCheck)) return QMX58_ERR_STATE;
        auto link = std::make_shared<ModuleLink>();
        const auto r = link->link.connect(addr, qmx::net::serverPort(port), QMX58_CONNECT_TIMEOUT_MS);
        if (r != ClientLink::Result::Ok) return qmx::fromLink(r);
        qmx::wire::ModuleOpenRequest req{qmx::serialFrom(crateSerial), slot};
        std::vector<uint8_t> payload;
        qmx::wire::encode(payload, req);
        qmx::wire::ModuleSummary summary;
        const int32_t rc = callDecode(*link, MsgType::ModuleOpen, payload, summary);
        if (rc != QMX58_OK) return rc;
        link->icpCapable = summary.icpCapable;
        uint32_t id = 0, check = 0;
        if (!links().add(link, id, check)) return QMX58_ERR_NO_RESOURCES;
        h->linkId = id;
        h->linkCheck = check;
        h->running = 0;
        std::memset(&h->moduleInfo, 0, sizeof h->moduleInfo);
        fillSummary(h->moduleInfo, summary);
        return QMX58_OK;
    });
}

int32_t QMX58_Close(Qmx58Handle* h) {
    return qmx::guarded([&]() -> int32_t {
        if (!h) return QMX58_ERR_ARG;
        auto link = links().remove(h->linkId, h->linkCheck);
        if (!link) return QMX58_ERR_NOT_OPEN;
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            link->link.close();
        }
        h->linkId = 0;
        h->linkCheck = 0;
        h->running = 0;
        return QMX58_OK;
    });
}

int32_t QMX58_IsOpened(Qmx58Handle* h) {
    return qmx::guarded([&]() -> int32_t {
        if (!h) return QMX58_ERR_ARG;
        return links().find(h->linkId, h->linkCheck) ? QMX58_OK : QMX58_ERR_NOT_OPEN;
    });
}

int32_t QMX58_GetConfig(Qmx58Handle* h) {
    return qmx::guarded([&]() -> int32_t {
        return withLink(h, [&](ModuleLink& l) -> int32_t {
            if (l.running) return QMX58_ERR_STATE;
            const int32_t rc = readConfig(l);
            if (rc != QMX58_OK) return rc;
            Qmx58ModuleInfo& info = h->moduleInfo;
            fillSummary(info, l.config.summary);
            for (int ch = 0; ch < 4; ++ch)
                for (int r = 0; r < 2; ++r)
                    for (int i = 0; i < 16; ++i) {
                        info.factoryCoefs[ch][r][i].offset = l.config.coefs[ch][r][i][0];
                        info.factoryCoefs[ch][r][i].scale = l.config.coefs[ch][r][i][1];
                    }
            return QMX58_OK;
        });
    });
}

int32_t QMX58_SetADC(Qmx58Handle* h) {
    return qmx::guarded([&]() -> int32_t {
        return withLink(h, [&](ModuleLink& l) -> int32_t {
            if (l.running) return QMX58_ERR_STATE;
            qmx::wire::AdcSettings s;
            s.rateCode = h->rateCode;
            s.dataFormat = h->dataFormat;
            s.icpCurrent = h->icpCurrentSource;
            for (int ch = 0; ch < 4; ++ch) {
                const Qmx58ChannelConfig& c = h->channels[ch];
                auto& out = s.channels[static_cast<std::size_t>(ch)];
                out.enabled = c.enabled ? 1 : 0;
                out.range = c.inputRangeIndex;
                out.icp = c.icpSensorMode ? 1 : 0;
                // The cut-off applies to differential inputs only; an ICP input is always AC.
                out.acCoupling = (!out.icp && c.acCoupling) ? 1 : 0;
                if (out.enabled && out.icp && !l.icpCapable) return QMX58_ERR_ARG;
            }
            if (!s.valid()) return QMX58_ERR_ARG;
            // Conversion needs the coefficients; read them now if the caller has not.
            if (!l.configRead) {
                const int32_t rc = readConfig(l);
                if (rc != QMX58_OK) return rc;
            }
            std::vector<uint8_t> payload, reply;
            qmx::wire::encode(payload, s);
            const int32_t rc = call(l, MsgType::SetAdc, payload, reply);
            if (rc != QMX58_OK) return rc;
            l.adc = s;
            l.adcSet = true;
            return QMX58_OK;
        });
    });
}

int32_t QMX58_Start(Qmx58Handle* h) {
    return qmx::guarded([&]() -> int32_t {
        return withLink(h, [&](ModuleLink& l) -> int32_t {
            if (l.running || !l.adcSet) return QMX58_ERR_STATE;
            std::vector<uint8_t> reply;
            const int32_t rc = call(l, MsgType::Start, {}, reply);
            if (rc != QMX58_OK) return rc;
            l.running = true;
            l.wordsSinceStart = 0;
            h->running = 1;
            return QMX58_OK;
        });
    });
}

int32_t QMX58_Stop(Qmx58Handle* h) {
    return qmx::guarded([&]() -> int32_t {
        return withLink(h, [&](ModuleLink& l) -> int32_t {
            h->running = 0;
            if (!l.running) return QMX58_OK;
            l.running = false;
            if (l.link.broken()) return QMX58_ERR_DISCONNECTED;
            int16_t status = 0;
            const auto r = l.link.stopStream(status, QMX58_REQUEST_TIMEOUT_MS);
            if (r != ClientLink::Result::Ok) return qmx::fromLink(r);
            return qmx::fromStatus(status);
        });
    });
}

int32_t QMX58_Recv(Qmx58Handle* h, uint32_t* words, uint32_t* timeMarks, uint32_t count, uint32_t timeoutMs) {
    return qmx::guarded([&]() -> int32_t {
        if (!words || count > 0x7FFFFFFFu) return QMX58_ERR_ARG;
        return withLink(h, [&](ModuleLink& l) -> int32_t {
            if (!l.running) return QMX58_ERR_STATE;
            if (l.link.broken()) return QMX58_ERR_DISCONNECTED;
            if (count == 0) return 0;
            uint32_t got = 0;
            const auto r = l.link.receiveWords(words, count, qmx::net::deadlineIn(timeoutMs), got);
            if (r != ClientLink::Result::Ok) return qmx::fromLink(r);
            if (timeMarks) {
                const uint64_t perConversion =
                    static_cast<uint64_t>(l.adc.enabledCount()) * (l.adc.dataFormat ? 2u : 1u);
                for (uint32_t i = 0; i < got; ++i)
                    timeMarks[i] = static_cast<uint32_t>((l.wordsSinceStart + i) / perConversion);
            }
            l.wordsSinceStart += got;
            return static_cast<int32_t>(got);
        });
    });
}

int32_t QMX58_ProcessData(Qmx58Handle* h, const uint32_t* words, double* values, int32_t* count, uint32_t flags,
                          int32_t* status) {
    return qmx::guarded([&]() -> int32_t {
        if (!count || *count < 0 || (*count > 0 && (!words || !values))) return QMX58_ERR_ARG;
        if (flags & ~(QMX58_PD_OFFSET | QMX58_PD_SCALE | QMX58_PD_VOLTS | QMX58_PD_ICP_PHASE)) return QMX58_ERR_ARG;
        return withLink(h, [&](ModuleLink& l) -> int32_t {
            if (!l.adcSet || !l.configRead) return QMX58_ERR_STATE;
            const qmx::wire::AdcSettings& s = l.adc;
            const unsigned q = s.dataFormat ? 2u : 1u;
            const std::size_t wordsIn = static_cast<std::size_t>(*count);
            if (wordsIn % q != 0) {
                *count = 0;
                return QMX58_ERR_DATA;
            }
            const std::size_t nValues = wordsIn / q;
            // Per position in a conversion: channel, and value = code * a + b.
            struct Pos {
                unsigned ch;
                double a, b;
            };
            Pos pos[4];
            std::size_t k = 0;
            const int32_t fs = qmx::model::fullScaleCode(s.dataFormat);
            const unsigned rateIndex = qmx::model::rateListIndex(s.rateCode);
            for (unsigned ch = 0; ch < 4; ++ch) {
                const auto& c = s.channels[ch];
                if (!c.enabled) continue;
                const double range = qmx::model::rangeVolts(c.icp != 0, c.range);
                const auto& coef = l.config.coefs[ch][c.range][rateIndex];
                const double scale = (flags & QMX58_PD_SCALE) ? coef[1] : 1.0;
                const double offset = (flags & QMX58_PD_OFFSET) ? coef[0] * 1e-3 : 0.0;
                const double unit = (flags & QMX58_PD_VOLTS) ? 1.0 : fs / range;  // volts or codes
                pos[k++] = {ch, range / fs * scale * unit, -offset * scale * unit};
            }
            std::size_t j = 0;
            if (q == 1) {
                for (std::size_t i = 0; i < nValues; ++i) {
                    int32_t code;
                    if (!qmx::words::decode20(words[i], pos[j].ch, code)) {
                        *count = 0;
                        return QMX58_ERR_DATA;
                    }
                    values[i] = code * pos[j].a + pos[j].b;
                    if (status) status[i] = 0;
                    if (++j == k) j = 0;
                }
            } else {
                for (std::size_t i = 0; i < nValues; ++i) {
                    int32_t code;
                    uint8_t st;
                    if (!qmx::words::decode24(words[2 * i], words[2 * i + 1], pos[j].ch, code, st)) {
                        *count = 0;
                        return QMX58_ERR_DATA;
                    }
                    values[i] = code * pos[j].a + pos[j].b;
                    if (status) status[i] = st;
                    if (++j == k) j = 0;
                }
            }
            if ((flags & QMX58_PD_ICP_PHASE) && l.config.icpPhase[0] > 0) {
                std::vector<double> tmp;
                const double rate = qmx::model::rateHz(s.rateCode);
                for (std::size_t p = 0; p < k && p < nValues; ++p) {
                    const unsigned ch = pos[p].ch;
                    if (!s.channels[ch].icp) continue;
                    const double delay = l.config.icpPhase[1 + ch] / 360.0 / l.config.icpPhase[0] * rate;
                    const std::size_t n = (nValues - p + k - 1) / k;
                    advanceSeries(values + p, n, k, delay, tmp);
                }
            }
            *count = static_cast<int32_t>(nValues);
            return QMX58_OK;
        });
    });
}

int32_t QMX58_GetICPPhaseCoefs(Qmx58Handle* h, double* table) {
    return qmx::guarded([&]() -> int32_t {
        if (!table) return QMX58_ERR_ARG;
        return withLink(h, [&](ModuleLink& l) -> int32_t {
            if (l.running) return QMX58_ERR_STATE;
            if (!l.icpCapable) return QMX58_ERR_REFUSED;
            qmx::wire::IcpPhaseTable t;
            const int32_t rc = callDecode(l, MsgType::GetIcpPhase, {}, t);
            if (rc != QMX58_OK) return rc;
            for (std::size_t i = 0; i < t.size(); ++i) table[i] = t[i];
            l.config.icpPhase = t;
            return QMX58_OK;
        });
    });
}

}  // extern "C"
