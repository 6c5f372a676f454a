// The module library: opens one QMX58 through the crate server, configures it, streams
// its data and turns data words into calibrated volts.
#include "qmx58api.h"

#include <array>
#include <memory>
#include <mutex>

#include "FractionalDelay.h"
#include "LibSupport.h"
#include "LinkTable.h"
#include "SampleWords.h"

namespace {

using qmx::ClientLink;
using qmx::wire::MsgType;

static_assert(QMX58_ERR_ARG == qmx::kLibErrArg && QMX58_ERR_DATA == qmx::kLibErrData &&
                  QMX58_ERR_NO_RESOURCES == qmx::kLibErrNoResources && QMX58_ERR_STATE == qmx::kLibErrState,
              "library error codes agree with the header");

static_assert(QMX58_ICP_REACH == qmx::icp::kHalfTaps + static_cast<int>(qmx::icp::kMaxDelay),
              "the header names the ICP filter's reach");

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
    // Flag 0x10 across the QMX58_ProcessData calls of one acquisition: per channel the raw
    // values that ended the previous call, the values converted so far and their flags.
    std::array<qmx::icp::DelayHistory, 4> icpHistory;
    uint64_t icpValues = 0;
    uint32_t icpFlags = 0;

    void resetIcp() {
        for (auto& h : icpHistory) h.clear();
        icpValues = 0;
        icpFlags = 0;
    }
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

// Per position in a conversion: channel, value = code * a + b, and the ICP delay in
// conversions to remove (flag 0x10).
struct Pos {
    unsigned ch;
    double a, b;
    double delay;
};

// Decodes values [first, end) of conversions of K values at positions pos, first at a
// conversion boundary; Wide: 24-bit data (two words a value). False when a word is not what
// its place needs. Bad words are collected and judged once per piece, and K and the status
// output are fixed per instance, so the loop runs without branches (twice as fast as
// checking word by word, which matters for frames of millions of values).
template <std::size_t K, bool Wide, bool WithStatus>
bool decodeAs(const uint32_t* words, double* values, int32_t* status, std::size_t first, std::size_t end,
              const Pos* pos) {
    using namespace qmx::words;
    unsigned ch[K];
    double a[K], b[K];
    for (std::size_t p = 0; p < K; ++p) {
        ch[p] = pos[p].ch;
        a[p] = pos[p].a;
        b[p] = pos[p].b;
    }
    uint32_t bad = 0;
    auto one = [&](std::size_t i, std::size_t p) {
        if constexpr (Wide) {
            const uint32_t wa = words[2 * i], wb = words[2 * i + 1], code = wa & 0xFFFFFFu;
            const auto st = static_cast<uint8_t>(wb);
            bad |= ((wa >> 24) ^ topByte(ch[p], kKind24A)) | ((wb >> 24) ^ topByte(ch[p], kKind24B)) | (wb & 0xFF00u) |
                   (((wb >> 16) & 0xFFu) ^ check24(code, st, ch[p]));
            values[i] = (static_cast<int32_t>(code << 8) >> 8) * a[p] + b[p];
            if constexpr (WithStatus) status[i] = st;
        } else {
            const uint32_t w = words[i], code = w & 0xFFFFFu;
            bad |= ((w >> 24) ^ topByte(ch[p], kKind20)) | (((w >> 20) & 0xFu) ^ check20(code, ch[p]));
            values[i] = (static_cast<int32_t>(code << 12) >> 12) * a[p] + b[p];
            if constexpr (WithStatus) status[i] = 0;
        }
    };
    std::size_t i = first;
    for (; i + K <= end; i += K)
        for (std::size_t p = 0; p < K; ++p) one(i + p, p);
    for (std::size_t p = 0; i < end; ++i, ++p) one(i, p);
    return bad == 0;
}

using Decoder = bool (*)(const uint32_t*, double*, int32_t*, std::size_t, std::size_t, const Pos*);

template <bool Wide, bool WithStatus>
Decoder decoderFor(std::size_t k) {
    switch (k) {
    case 1: return decodeAs<1, Wide, WithStatus>;
    case 2: return decodeAs<2, Wide, WithStatus>;
    case 3: return decodeAs<3, Wide, WithStatus>;
    default: return decodeAs<4, Wide, WithStatus>;
    }
}

Decoder decoderFor(bool wide, bool withStatus, std::size_t k) {
    if (wide) return withStatus ? decoderFor<true, true>(k) : decoderFor<true, false>(k);
    return withStatus ? decoderFor<false, true>(k) : decoderFor<false, false>(k);
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
            l.resetIcp();
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
            l.resetIcp();
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
            const bool icpPhase = (flags & QMX58_PD_ICP_PHASE) != 0;
            // Nothing reported as good after a failure; the next call starts afresh.
            auto fail = [&]() -> int32_t {
                *count = 0;
                l.resetIcp();
                return QMX58_ERR_DATA;
            };
            const unsigned q = s.dataFormat ? 2u : 1u;
            const std::size_t wordsIn = static_cast<std::size_t>(*count);
            if (wordsIn % q != 0) return fail();
            const std::size_t nValues = wordsIn / q;
            Pos pos[4];
            std::size_t k = 0;
            const int32_t fs = qmx::model::fullScaleCode(s.dataFormat);
            const unsigned rateIndex = qmx::model::rateListIndex(s.rateCode);
            const double rate = qmx::model::rateHz(s.rateCode);
            for (unsigned ch = 0; ch < 4; ++ch) {
                const auto& c = s.channels[ch];
                if (!c.enabled) continue;
                const double range = qmx::model::rangeVolts(c.icp != 0, c.range);
                const auto& coef = l.config.coefs[ch][c.range][rateIndex];
                const double scale = (flags & QMX58_PD_SCALE) ? coef[1] : 1.0;
                const double offset = (flags & QMX58_PD_OFFSET) ? coef[0] * 1e-3 : 0.0;
                const double unit = (flags & QMX58_PD_VOLTS) ? 1.0 : fs / range;  // volts or codes
                double delay = 0;
                // The phase table comes from the module: one that gives no sane delay for
                // a channel to be corrected fails the conversion rather than be guessed at.
                if (icpPhase && c.icp && !qmx::icp::channelDelay(l.config.icpPhase, ch, rate, delay)) return fail();
                pos[k++] = {ch, range / fs * scale * unit, -offset * scale * unit, delay};
            }
            // Flag 0x10: the ICP channels are advanced by their delays piece by piece while
            // the words are decoded, each piece while it is still in cache.
            //
            // A call continues the previous one when it is of the same acquisition, with the
            // same flags, and both together hold no more values than were received: its
            // first values are then filtered with the real values before them. Anything
            // else (a frame converted again, say) starts afresh.
            std::unique_ptr<qmx::icp::DelayRemover> remover;
            if (icpPhase) {
                const uint64_t received = l.wordsSinceStart / q;
                if (l.icpValues == 0 || l.icpFlags != flags || l.icpValues + nValues > received) l.resetIcp();
                qmx::icp::DelaySeries series[4];
                std::size_t n = 0;
                for (std::size_t p = 0; p < k && p < nValues; ++p)
                    if (s.channels[pos[p].ch].icp)
                        series[n++] = {values + p, (nValues - p + k - 1) / k, k, pos[p].delay,
                                       &l.icpHistory[pos[p].ch]};
                if (n > 0) remover = std::make_unique<qmx::icp::DelayRemover>(series, n);
            }
            const Decoder decode = decoderFor(q == 2, status != nullptr, k);
            const std::size_t piece = 4096 * k;  // values: whole conversions
            for (std::size_t first = 0; first < nValues; first += piece) {
                const std::size_t end = std::min(nValues, first + piece);
                if (!decode(words, values, status, first, end, pos)) return fail();
                if (remover && end < nValues) remover->filled(end / k, false);
            }
            if (remover) remover->filled(nValues / k, true);
            if (icpPhase) {
                l.icpValues += nValues;
                l.icpFlags = flags;
                // A call that ends inside a conversion cannot be continued.
                if (nValues % k != 0) l.resetIcp();
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
