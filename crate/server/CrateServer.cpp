#include "CrateServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Net.h"
#include "SampleWords.h"
#include "SignalGenerator.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "data words are copied to the wire in host order, which must be little-endian");

namespace qmx::sim {

using wire::Header;
using wire::MsgType;

struct CrateServer::Client {
    std::thread thread;
    std::atomic<bool> done{false};
};

namespace {
constexpr auto kPacedTick = std::chrono::milliseconds(10);
constexpr std::size_t kWordsPerDataMessage = 65536;
constexpr uint32_t kSendTimeoutMs = 30000;  // a client that reads nothing for this long is gone
constexpr uint16_t t(MsgType m) { return static_cast<uint16_t>(m); }
}  // namespace

// Serves one client connection.
class CrateServer::Session {
public:
    Session(CrateServer& server, int fd) : server_(server), fd_(fd) { in_.resize(64 * 1024); }

    void run() {
        for (;;) {
            Header h;
            std::vector<uint8_t> payload;
            if (!readMessage(h, payload, /*wait=*/true)) return;
            if (!handle(h, payload)) return;
        }
    }

private:
    enum class Got { Message, Nothing, Fail };

    // Takes one whole message out of the input buffer.
    Got extract(Header& h, std::vector<uint8_t>& payload) {
        if (inLen_ < wire::kHeaderSize) return Got::Nothing;
        if (wire::decodeHeader(in_.data(), inLen_, h) != wire::HeaderCheck::Ok) return Got::Fail;
        // Requests carry no data: a client sending data messages does not speak the protocol.
        if (h.type == t(MsgType::Data) || (h.type & wire::kReplyBit)) return Got::Fail;
        const std::size_t total = wire::kHeaderSize + h.length;
        if (inLen_ < total) return Got::Nothing;
        payload.assign(in_.begin() + wire::kHeaderSize, in_.begin() + static_cast<long>(total));
        std::memmove(in_.data(), in_.data() + total, inLen_ - total);
        inLen_ -= total;
        return Got::Message;
    }

    // With wait, blocks until a message, the peer's close or server shutdown; without,
    // takes only what has already arrived.
    bool readMessage(Header& h, std::vector<uint8_t>& payload, bool wait, bool* got = nullptr) {
        if (got) *got = false;
        for (;;) {
            const Got g = extract(h, payload);
            if (g == Got::Fail) return false;
            if (g == Got::Message) {
                if (got) *got = true;
                return true;
            }
            std::size_t n = 0;
            const auto deadline = wait ? net::deadlineIn(3600 * 1000) : net::Clock::now();
            const net::Io r = net::recvSome(fd_, in_.data() + inLen_, in_.size() - inLen_, n,
                                            deadline, server_.wakeRead_);
            if (r == net::Io::Timeout && !wait) return true;
            if (r == net::Io::Timeout) continue;
            if (r != net::Io::Ok) return false;
            inLen_ += n;
        }
    }

    bool reply(uint16_t type, int16_t status, const std::vector<uint8_t>& payload = {}) {
        const auto msg = wire::message(static_cast<uint16_t>(type | wire::kReplyBit), status, payload);
        return net::sendAll(fd_, msg.data(), msg.size(), net::deadlineIn(kSendTimeoutMs),
                            server_.wakeRead_) == net::Io::Ok;
    }

    bool module(Qmx58Module& m) {
        return moduleOpen_ && server_.snapshotModule(crate_, slot_, m);
    }

    // Answers one request; false ends the connection.
    bool handle(const Header& h, const std::vector<uint8_t>& p) {
        const uint8_t* d = p.data();
        const std::size_t n = p.size();
        std::vector<uint8_t> out;
        // A mute module: every request after the opening is read and left without an answer.
        if (Qmx58Module mm; moduleOpen_ && h.type != t(MsgType::ModuleOpen) && h.type != t(MsgType::ListCrates) &&
                            module(mm) && mm.faults.mute)
            return true;
        switch (static_cast<MsgType>(h.type)) {
        case MsgType::ListCrates: {
            if (n != 0) return reply(h.type, wire::kBadRequest);
            if (server_.listFault()) return reply(h.type, wire::kRefused);
            wire::encode(out, wire::CrateList{server_.crateSerials()});
            return reply(h.type, wire::kOk, out);
        }
        case MsgType::CrateOpen:
        case MsgType::CrateInfo: {
            wire::SerialRequest req;
            if (!wire::decode(d, n, req)) return reply(h.type, wire::kBadRequest);
            Crate c;
            if (!server_.snapshotCrate(req.serial, c)) return reply(h.type, wire::kNotFound);
            if (h.type == t(MsgType::CrateOpen))
                return reply(h.type, c.faults.failOpen ? wire::kRefused : wire::kOk);
            if (c.faults.failInfo) return reply(h.type, wire::kRefused);
            wire::encode(out, wire::CrateInfoReply{c.typeCode, c.moduleIds});
            return reply(h.type, wire::kOk, out);
        }
        case MsgType::ModuleOpen: {
            wire::ModuleOpenRequest req;
            if (!wire::decode(d, n, req)) return reply(h.type, wire::kBadRequest);
            Qmx58Module m;
            if (!server_.snapshotModule(req.crateSerial, req.slot, m)) return reply(h.type, wire::kNotFound);
            if (m.faults.refuseOpen) return reply(h.type, wire::kRefused);
            moduleOpen_ = true;
            crate_ = req.crateSerial;
            slot_ = req.slot;
            adcSet_ = false;
            wire::encode(out, summary(m));
            return reply(h.type, wire::kOk, out);
        }
        case MsgType::GetConfig: {
            Qmx58Module m;
            if (n != 0) return reply(h.type, wire::kBadRequest);
            if (!module(m)) return reply(h.type, wire::kBadState);
            if (m.faults.failGetConfig) return reply(h.type, wire::kRefused);
            wire::ModuleConfig cfg;
            cfg.summary = summary(m);
            cfg.coefs = m.coefs;
            cfg.icpPhase = m.icpPhase;
            wire::encode(out, cfg);
            return reply(h.type, wire::kOk, out);
        }
        case MsgType::SetAdc: {
            wire::AdcSettings s;
            Qmx58Module m;
            if (!wire::decode(d, n, s) || !s.valid()) return reply(h.type, wire::kBadRequest);
            if (!module(m)) return reply(h.type, wire::kBadState);
            for (const auto& c : s.channels)
                if (c.enabled && c.icp && !m.icpCapable) return reply(h.type, wire::kUnsupported);
            if (m.faults.failSetAdc) return reply(h.type, wire::kRefused);
            adc_ = s;
            adcSet_ = true;
            return reply(h.type, wire::kOk);
        }
        case MsgType::Start: {
            Qmx58Module m;
            if (n != 0) return reply(h.type, wire::kBadRequest);
            if (!module(m) || !adcSet_) return reply(h.type, wire::kBadState);
            if (m.faults.failStart) return reply(h.type, wire::kRefused);
            if (!reply(h.type, wire::kOk)) return false;
            return stream(m);
        }
        case MsgType::Stop:
            return reply(h.type, wire::kOk);  // not running: already stopped
        case MsgType::GetIcpPhase: {
            Qmx58Module m;
            if (n != 0) return reply(h.type, wire::kBadRequest);
            if (!module(m)) return reply(h.type, wire::kBadState);
            if (!m.icpCapable) return reply(h.type, wire::kUnsupported);
            wire::encode(out, m.icpPhase);
            return reply(h.type, wire::kOk, out);
        }
        case MsgType::Data:
            break;
        }
        return false;
    }

    static wire::ModuleSummary summary(const Qmx58Module& m) {
        return {"QMX58", m.serial, m.firmware, m.icpCapable};
    }

    // Streams data until Stop; false ends the connection.
    bool stream(const Qmx58Module& m) {
        uint64_t seed = server_.options_.seed ^ (0x9E3779B97F4A7C15ULL * ++startCount_);
        for (unsigned char c : crate_) seed = (seed ^ c) * 1099511628211ULL;
        seed ^= static_cast<uint64_t>(slot_) << 56;
        SignalGenerator gen(m, adc_, seed);
        const unsigned wpc = gen.wordsPerConversion();
        const std::size_t maxConversions = std::max<std::size_t>(1, kWordsPerDataMessage / wpc);
        const bool fast = server_.options_.fast;
        const auto t0 = net::Clock::now();
        auto nextTick = t0 + kPacedTick;
        uint64_t sent = 0;
        std::vector<uint32_t> words;
        std::vector<uint8_t> msg;
        for (;;) {
            if (server_.stopping_.load()) return false;
            Header h;
            std::vector<uint8_t> p;
            bool got = false;
            if (!readMessage(h, p, /*wait=*/false, &got)) return false;
            if (got) {
                if (h.type == t(MsgType::Stop)) return reply(h.type, wire::kOk);
                if (!reply(h.type, wire::kBadState)) return false;
                continue;
            }
            const bool silent = m.faults.stall || (m.faults.shortWords && sent >= m.faults.shortWords);
            if (silent) {
                // Still answers Stop, like a module whose data path has hung.
                if (net::waitReadable(fd_, net::deadlineIn(100), server_.wakeRead_) == net::Io::Error) return false;
                continue;
            }
            std::size_t conversions = maxConversions;
            if (!fast) {
                const auto now = net::Clock::now();
                if (now < nextTick) {
                    const net::Io w = net::waitReadable(fd_, nextTick, server_.wakeRead_);
                    if (w == net::Io::Error) return false;
                    continue;
                }
                nextTick += kPacedTick;
                if (nextTick < now) nextTick = now + kPacedTick;  // fell behind: do not burst
                const double elapsed = std::chrono::duration<double>(now - t0).count();
                const auto due = static_cast<uint64_t>(elapsed * gen.rateHz());
                if (due <= gen.conversionsDone()) continue;
                conversions = std::min<uint64_t>(due - gen.conversionsDone(), maxConversions);
            }
            words.clear();
            gen.generate(conversions, words);
            if (m.faults.shortWords && sent + words.size() > m.faults.shortWords)
                words.resize(static_cast<std::size_t>(m.faults.shortWords - sent));
            if (m.faults.corruptEvery) {
                for (std::size_t i = 0; i < words.size(); ++i)
                    if ((sent + i + 1) % m.faults.corruptEvery == 0) words[i] ^= 0x8u;
            }
            const std::size_t bytes = words.size() * 4;
            msg.resize(wire::kHeaderSize + bytes);
            Header dh;
            dh.type = t(MsgType::Data);
            dh.length = static_cast<uint32_t>(bytes);
            wire::encodeHeader(msg.data(), dh);
            std::memcpy(msg.data() + wire::kHeaderSize, words.data(), bytes);
            if (m.faults.closeMidFrame) {
                // Part of a message, ending inside a word, then the connection goes away.
                const std::size_t part = std::min<std::size_t>(bytes / 2, 4002);
                net::sendAll(fd_, msg.data(), wire::kHeaderSize + part, net::deadlineIn(kSendTimeoutMs),
                             server_.wakeRead_);
                return false;
            }
            if (net::sendAll(fd_, msg.data(), msg.size(), net::deadlineIn(kSendTimeoutMs), server_.wakeRead_) !=
                net::Io::Ok)
                return false;
            sent += words.size();
        }
    }

    CrateServer& server_;
    int fd_;
    std::vector<uint8_t> in_;
    std::size_t inLen_ = 0;
    bool moduleOpen_ = false;
    std::string crate_;
    int slot_ = 0;
    bool adcSet_ = false;
    wire::AdcSettings adc_;
    uint64_t startCount_ = 0;
};

CrateServer::CrateServer(Rig rig, ServerOptions options) : rig_(std::move(rig)), options_(options) {}

CrateServer::~CrateServer() { stop(); }

bool CrateServer::start(std::string& error) {
    if (started_) {
        error = "already started";
        return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(options_.port);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listenFd_, 64) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(options_.port) + ": " + std::strerror(errno);
        net::closeFd(listenFd_);
        return false;
    }
    socklen_t len = sizeof sa;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    started_ = true;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void CrateServer::stop() {
    if (!stopping_.exchange(true) && wakeWrite_ >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t r = ::write(wakeWrite_, &byte, 1);
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    reapFinished(true);
    net::closeFd(listenFd_);
    net::closeFd(wakeRead_);
    net::closeFd(wakeWrite_);
}

void CrateServer::acceptLoop() {
    while (!stopping_.load()) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        const int n = poll(p, 2, 200);
        reapFinished(false);
        if (n <= 0 || (p[1].revents & POLLIN)) continue;
        if (!(p[0].revents & POLLIN)) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        if (active_.load() >= options_.maxClients) {
            ::close(fd);
            continue;
        }
        net::setNoDelay(fd);
        ++accepted_;
        ++active_;
        auto client = std::make_unique<Client>();
        Client* c = client.get();
        c->thread = std::thread([this, fd, c] {
            int own = fd;
            {
                Session session(*this, own);
                session.run();
            }
            net::closeFd(own);
            --active_;
            c->done.store(true);
        });
        std::lock_guard<std::mutex> lock(clientsMutex_);
        clients_.push_back(std::move(client));
    }
}

void CrateServer::reapFinished(bool all) {
    std::list<std::unique_ptr<Client>> finished;
    {
        std::lock_guard<std::mutex> lock(clientsMutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all || (*it)->done.load()) {
                finished.push_back(std::move(*it));
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished)
        if (c->thread.joinable()) c->thread.join();
}

bool CrateServer::snapshotModule(const std::string& crateSerial, int slot, Qmx58Module& out) {
    std::lock_guard<std::mutex> lock(rigMutex_);
    Crate* c = rig_.findCrate(crateSerial);
    if (!c) return false;
    auto it = c->qmx58.find(slot);
    if (it == c->qmx58.end()) return false;
    out = it->second;
    return true;
}

bool CrateServer::snapshotCrate(const std::string& crateSerial, Crate& out) {
    std::lock_guard<std::mutex> lock(rigMutex_);
    Crate* c = rig_.findCrate(crateSerial);
    if (!c) return false;
    out.serial = c->serial;
    out.typeCode = c->typeCode;
    out.moduleIds = c->moduleIds;
    out.faults = c->faults;
    return true;
}

bool CrateServer::listFault() {
    std::lock_guard<std::mutex> lock(rigMutex_);
    return rig_.failCrateList;
}

std::vector<std::string> CrateServer::crateSerials() {
    std::lock_guard<std::mutex> lock(rigMutex_);
    std::vector<std::string> out;
    for (const auto& c : rig_.crates) out.push_back(c.serial);
    return out;
}

bool CrateServer::setModuleFaults(const std::string& crateSerial, int slot, const ModuleFaults& faults) {
    std::lock_guard<std::mutex> lock(rigMutex_);
    Crate* c = rig_.findCrate(crateSerial);
    if (!c) return false;
    auto it = c->qmx58.find(slot);
    if (it == c->qmx58.end()) return false;
    it->second.faults = faults;
    return true;
}

bool CrateServer::setCrateFaults(const std::string& crateSerial, const CrateFaults& faults) {
    std::lock_guard<std::mutex> lock(rigMutex_);
    Crate* c = rig_.findCrate(crateSerial);
    if (!c) return false;
    c->faults = faults;
    return true;
}

void CrateServer::setCrateListFault(bool fail) {
    std::lock_guard<std::mutex> lock(rigMutex_);
    rig_.failCrateList = fail;
}

bool CrateServer::setChannelSignal(const std::string& crateSerial, int slot, int channel,
                                   const ChannelSignal& signal) {
    if (channel < 0 || channel > 3) return false;
    std::lock_guard<std::mutex> lock(rigMutex_);
    Crate* c = rig_.findCrate(crateSerial);
    if (!c) return false;
    auto it = c->qmx58.find(slot);
    if (it == c->qmx58.end()) return false;
    it->second.channels[channel] = signal;
    return true;
}

}  // namespace qmx::sim
