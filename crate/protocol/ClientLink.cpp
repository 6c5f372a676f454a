#include "ClientLink.h"

#include <algorithm>
#include <cstring>

namespace qmx {

namespace {
constexpr std::size_t kBufferSize = 256 * 1024;
constexpr std::size_t kDirectReadMin = 4096;  // bytes worth reading straight into the caller's buffer

ClientLink::Result fromIo(net::Io io) {
    switch (io) {
    case net::Io::Ok: return ClientLink::Result::Ok;
    case net::Io::Timeout: return ClientLink::Result::Timeout;
    case net::Io::Closed: return ClientLink::Result::Disconnected;
    default: return ClientLink::Result::Disconnected;
    }
}
}  // namespace

ClientLink::Result ClientLink::connect(uint32_t addr, uint16_t port, uint32_t timeoutMs) {
    close();
    fd_ = net::connectTo(addr, port, timeoutMs);
    if (fd_ < 0) return Result::Connect;
    in_.assign(kBufferSize, 0);
    rpos_ = wpos_ = 0;
    dataRemaining_ = 0;
    return Result::Ok;
}

void ClientLink::close() {
    net::closeFd(fd_);
    rpos_ = wpos_ = 0;
    dataRemaining_ = 0;
}

ClientLink::Result ClientLink::fill(net::Deadline deadline) {
    if (fd_ < 0) return Result::Disconnected;
    if (rpos_ > 0 && (wpos_ == in_.size() || rpos_ == wpos_)) {
        std::memmove(in_.data(), in_.data() + rpos_, avail());
        wpos_ -= rpos_;
        rpos_ = 0;
    }
    if (wpos_ == in_.size()) return fail(Result::Protocol);  // no message is this large
    std::size_t got = 0;
    const net::Io io = net::recvSome(fd_, in_.data() + wpos_, in_.size() - wpos_, got, deadline);
    if (io != net::Io::Ok) return fromIo(io);
    wpos_ += got;
    return Result::Ok;
}

ClientLink::Result ClientLink::sendRequest(wire::MsgType type, const std::vector<uint8_t>& payload,
                                           net::Deadline deadline) {
    if (fd_ < 0) return Result::Disconnected;
    const auto msg = wire::message(static_cast<uint16_t>(type), 0, payload);
    const net::Io io = net::sendAll(fd_, msg.data(), msg.size(), deadline);
    return io == net::Io::Ok ? Result::Ok : fail(fromIo(io));
}

ClientLink::Result ClientLink::readHeader(wire::Header& h, net::Deadline deadline) {
    while (avail() < wire::kHeaderSize) {
        const Result r = fill(deadline);
        if (r != Result::Ok) return r;
    }
    if (wire::decodeHeader(in_.data() + rpos_, avail(), h) != wire::HeaderCheck::Ok) return Result::Protocol;
    rpos_ += wire::kHeaderSize;
    return Result::Ok;
}

ClientLink::Result ClientLink::request(wire::MsgType type, const std::vector<uint8_t>& payload,
                                       int16_t& status, std::vector<uint8_t>& reply, uint32_t timeoutMs) {
    // Requests are only made outside the data stream: anything still buffered is stray.
    if (fd_ < 0) return Result::Disconnected;
    if (avail() != 0 || dataRemaining_ != 0) return fail(Result::Protocol);
    const auto deadline = net::deadlineIn(timeoutMs);
    Result r = sendRequest(type, payload, deadline);
    if (r != Result::Ok) return r;
    wire::Header h;
    r = readHeader(h, deadline);
    if (r != Result::Ok) return fail(r);
    if (h.type != (static_cast<uint16_t>(type) | wire::kReplyBit)) return fail(Result::Protocol);
    while (avail() < h.length) {
        r = fill(deadline);
        if (r != Result::Ok) return fail(r);
    }
    reply.assign(in_.begin() + static_cast<long>(rpos_), in_.begin() + static_cast<long>(rpos_ + h.length));
    rpos_ += h.length;
    status = h.status;
    // A successful Start is followed by data, which may already be buffered.
    if (avail() != 0 && !(type == wire::MsgType::Start && status == wire::kOk)) return fail(Result::Protocol);
    return Result::Ok;
}

ClientLink::Result ClientLink::receiveWords(uint32_t* words, uint32_t count, net::Deadline deadline,
                                            uint32_t& got) {
    got = 0;
    if (fd_ < 0) return Result::Disconnected;
    while (got < count) {
        if (dataRemaining_ == 0) {
            wire::Header h;
            if (avail() < wire::kHeaderSize) {
                const Result r = fill(deadline);
                if (r == Result::Timeout) return Result::Ok;
                if (r != Result::Ok) return fail(r);
                continue;
            }
            if (readHeader(h, deadline) != Result::Ok || h.type != static_cast<uint16_t>(wire::MsgType::Data) ||
                h.length % 4 != 0)
                return fail(Result::Protocol);
            dataRemaining_ = h.length;
            continue;
        }
        const std::size_t n = std::min<std::size_t>({avail() / 4, dataRemaining_ / 4, count - got});
        if (n > 0) {
            std::memcpy(words + got, in_.data() + rpos_, n * 4);
            rpos_ += n * 4;
            dataRemaining_ -= static_cast<uint32_t>(n * 4);
            got += static_cast<uint32_t>(n);
            continue;
        }
        const std::size_t want = std::min<std::size_t>(dataRemaining_, std::size_t(count - got) * 4);
        if (avail() == 0 && want >= kDirectReadMin) {
            // Large payloads go straight into the caller's buffer, which has room for want bytes.
            auto* dst = reinterpret_cast<uint8_t*>(words + got);
            std::size_t n2 = 0;
            const net::Io io = net::recvSome(fd_, dst, want, n2, deadline);
            if (io == net::Io::Timeout) return Result::Ok;
            if (io != net::Io::Ok) return fail(fromIo(io));
            const std::size_t whole = n2 / 4, rest = n2 % 4;
            got += static_cast<uint32_t>(whole);
            dataRemaining_ -= static_cast<uint32_t>(whole * 4);
            // The bytes of a word that has not fully arrived wait in the buffer.
            rpos_ = wpos_ = 0;
            std::memcpy(in_.data(), dst + whole * 4, rest);
            wpos_ = rest;
            continue;
        }
        const Result r = fill(deadline);
        if (r == Result::Timeout) return Result::Ok;
        if (r != Result::Ok) return fail(r);
    }
    return Result::Ok;
}

ClientLink::Result ClientLink::stopStream(int16_t& status, uint32_t timeoutMs) {
    if (fd_ < 0) return Result::Disconnected;
    const auto deadline = net::deadlineIn(timeoutMs);
    Result r = sendRequest(wire::MsgType::Stop, {}, deadline);
    if (r != Result::Ok) return r;
    for (;;) {
        if (dataRemaining_ > 0) {
            const std::size_t drop = std::min<std::size_t>(avail(), dataRemaining_);
            rpos_ += drop;
            dataRemaining_ -= static_cast<uint32_t>(drop);
            if (dataRemaining_ > 0) {
                r = fill(deadline);
                if (r != Result::Ok) return fail(r);
            }
            continue;
        }
        wire::Header h;
        r = readHeader(h, deadline);
        if (r != Result::Ok) return fail(r);
        if (h.type == static_cast<uint16_t>(wire::MsgType::Data)) {
            dataRemaining_ = h.length;
            continue;
        }
        if (h.type != (static_cast<uint16_t>(wire::MsgType::Stop) | wire::kReplyBit) || h.length != 0)
            return fail(Result::Protocol);
        status = h.status;
        if (avail() != 0) return fail(Result::Protocol);
        return Result::Ok;
    }
}

}  // namespace qmx
