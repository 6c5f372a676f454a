#pragma once
// One library-side connection to the crate server: requests with a deadline, and the
// data stream after Start. Any failure that could leave the byte stream out of step
// (time-out of a request, malformed input, a closed peer) marks the link broken and closes
// the socket, so a late or stray reply can never be taken for the answer to a later call.
// A receive time-out while streaming is not such a failure: a partly received message stays
// buffered and the next receive continues with it.
#include <cstdint>
#include <vector>

#include "Net.h"
#include "Wire.h"

namespace qmx {

class ClientLink {
public:
    enum class Result { Ok, Connect, Timeout, Disconnected, Protocol };

    ClientLink() = default;
    ~ClientLink() { close(); }
    ClientLink(const ClientLink&) = delete;
    ClientLink& operator=(const ClientLink&) = delete;

    Result connect(uint32_t addr, uint16_t port, uint32_t timeoutMs);
    void close();
    bool broken() const { return fd_ < 0; }

    // Sends a request and waits for its reply; status and payload are the reply's.
    Result request(wire::MsgType type, const std::vector<uint8_t>& payload, int16_t& status,
                   std::vector<uint8_t>& reply, uint32_t timeoutMs);

    // Receives up to count data words before the deadline; got may fall short on time-out
    // (Result::Ok). Only valid between a successful Start and Stop.
    Result receiveWords(uint32_t* words, uint32_t count, net::Deadline deadline, uint32_t& got);

    // Sends Stop and discards the data still on its way until the Stop reply.
    Result stopStream(int16_t& status, uint32_t timeoutMs);

private:
    std::size_t avail() const { return wpos_ - rpos_; }
    Result fill(net::Deadline deadline);
    Result fail(Result r) {
        close();
        return r;
    }
    Result sendRequest(wire::MsgType type, const std::vector<uint8_t>& payload, net::Deadline deadline);
    // Reads the next message header from the stream (consumed).
    Result readHeader(wire::Header& h, net::Deadline deadline);

    int fd_ = -1;
    std::vector<uint8_t> in_;
    std::size_t rpos_ = 0, wpos_ = 0;
    uint32_t dataRemaining_ = 0;  // bytes of the current data message not yet delivered
};

}  // namespace qmx
