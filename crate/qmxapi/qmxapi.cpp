// The crate-system library: crate list, crate type and module IDs from the crate server.
#include "qmxapi.h"

#include <memory>
#include <mutex>

#include "LibSupport.h"
#include "LinkTable.h"

namespace {

using qmx::ClientLink;
using qmx::wire::MsgType;

static_assert(QMX_ERR_ARG == qmx::kLibErrArg && QMX_ERR_NO_RESOURCES == qmx::kLibErrNoResources &&
                  QMX_ERR_STATE == qmx::kLibErrState && QMX_ERR_TIMEOUT == qmx::kLibErrTimeout,
              "library error codes agree with the header");

constexpr uint32_t kLoopback = 0x7F000001u;

struct CrateLink {
    std::mutex mutex;
    ClientLink link;
    std::string serial;  // the crate selected at open; empty for the server itself
};

qmx::LinkTable<CrateLink>& links() {
    static qmx::LinkTable<CrateLink> table;
    return table;
}

// Runs body on the connection's link, holding its lock.
template <class F>
int32_t withLink(QmxCrateConnection* c, F&& body) {
    if (!c) return QMX_ERR_ARG;
    auto link = links().find(c->linkId, c->linkCheck);
    if (!link) return QMX_ERR_NOT_OPEN;
    std::lock_guard<std::mutex> lock(link->mutex);
    if (link->link.broken()) return QMX_ERR_DISCONNECTED;
    return body(*link);
}

int32_t call(CrateLink& l, MsgType type, const std::vector<uint8_t>& payload, std::vector<uint8_t>& reply) {
    int16_t status = 0;
    const auto r = l.link.request(type, payload, status, reply, QMX_REQUEST_TIMEOUT_MS);
    if (r != ClientLink::Result::Ok) return qmx::fromLink(r);
    return qmx::fromStatus(status);
}

int32_t crateInfo(CrateLink& l, qmx::wire::CrateInfoReply& info) {
    if (l.serial.empty()) return QMX_ERR_STATE;
    std::vector<uint8_t> req, reply;
    qmx::wire::encode(req, qmx::wire::SerialRequest{l.serial});
    const int32_t rc = call(l, MsgType::CrateInfo, req, reply);
    if (rc != QMX_OK) return rc;
    if (!qmx::wire::decode(reply.data(), reply.size(), info)) {
        l.link.close();
        return QMX_ERR_PROTOCOL;
    }
    return QMX_OK;
}

}  // namespace

extern "C" {

int32_t QMX_Init(QmxCrateConnection* c) {
    return qmx::guarded([&]() -> int32_t {
        if (!c) return QMX_ERR_ARG;
        if (auto link = links().remove(c->linkId, c->linkCheck)) {
            std::lock_guard<std::mutex> lock(link->mutex);
            link->link.close();
        }
        std::memset(c, 0, sizeof *c);
        return QMX_OK;
    });
}

int32_t QMX_Open(QmxCrateConnection* c) {
    return qmx::guarded([&]() -> int32_t {
        if (!c) return QMX_ERR_ARG;
        if (links().find(c->linkId, c->linkCheck)) return QMX_ERR_STATE;
        auto link = std::make_shared<CrateLink>();
        link->serial = qmx::serialFrom(c->serialNumber);
        const auto r = link->link.connect(kLoopback, qmx::net::serverPort(QMX_DEFAULT_PORT), QMX_CONNECT_TIMEOUT_MS);
        if (r != ClientLink::Result::Ok) return qmx::fromLink(r);
        if (!link->serial.empty()) {
            std::vector<uint8_t> req, reply;
            qmx::wire::encode(req, qmx::wire::SerialRequest{link->serial});
            const int32_t rc = call(*link, MsgType::CrateOpen, req, reply);
            if (rc != QMX_OK) return rc;
            if (!reply.empty()) return QMX_ERR_PROTOCOL;
        }
        uint32_t id = 0, check = 0;
        if (!links().add(link, id, check)) return QMX_ERR_NO_RESOURCES;
        c->linkId = id;
        c->linkCheck = check;
        return QMX_OK;
    });
}

int32_t QMX_Close(QmxCrateConnection* c) {
    return qmx::guarded([&]() -> int32_t {
        if (!c) return QMX_ERR_ARG;
        auto link = links().remove(c->linkId, c->linkCheck);
        if (!link) return QMX_ERR_NOT_OPEN;
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            link->link.close();
        }
        c->linkId = 0;
        c->linkCheck = 0;
        return QMX_OK;
    });
}

int32_t QMX_GetCrates(QmxCrateConnection* c, char serials[16][16]) {
    return qmx::guarded([&]() -> int32_t {
        if (!serials) return QMX_ERR_ARG;
        return withLink(c, [&](CrateLink& l) -> int32_t {
            std::vector<uint8_t> reply;
            const int32_t rc = call(l, MsgType::ListCrates, {}, reply);
            if (rc != QMX_OK) return rc;
            qmx::wire::CrateList list;
            if (!qmx::wire::decode(reply.data(), reply.size(), list)) {
                l.link.close();
                return QMX_ERR_PROTOCOL;
            }
            std::memset(serials, 0, QMX_MAX_CRATES * QMX_SERIAL_SIZE);
            std::size_t n = 0;
            for (const auto& s : list.serials) {
                // An empty serial would end the list early; it names no crate anyway.
                if (s.empty()) continue;
                if (n == QMX_MAX_CRATES) break;
                qmx::copyField(serials[n++], QMX_SERIAL_SIZE, s);
            }
            return QMX_OK;
        });
    });
}

int32_t QMX_GetCrateInfo(QmxCrateConnection* c, QmxCrateInfo* info) {
    return qmx::guarded([&]() -> int32_t {
        if (!info) return QMX_ERR_ARG;
        return withLink(c, [&](CrateLink& l) -> int32_t {
            qmx::wire::CrateInfoReply r;
            const int32_t rc = crateInfo(l, r);
            if (rc != QMX_OK) return rc;
            std::memset(info, 0, sizeof *info);
            info->crateType = r.crateType;
            return QMX_OK;
        });
    });
}

int32_t QMX_GetCrateModules(QmxCrateConnection* c, uint16_t ids[16]) {
    return qmx::guarded([&]() -> int32_t {
        if (!ids) return QMX_ERR_ARG;
        return withLink(c, [&](CrateLink& l) -> int32_t {
            qmx::wire::CrateInfoReply r;
            const int32_t rc = crateInfo(l, r);
            if (rc != QMX_OK) return rc;
            for (int i = 0; i < QMX_MAX_SLOTS; ++i) ids[i] = r.moduleIds[static_cast<std::size_t>(i)];
            return QMX_OK;
        });
    });
}

}  // extern "C"
