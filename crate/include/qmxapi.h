/* Crate-system library: the crate list, crate type codes and module IDs, obtained from the
 * crate server on the local machine (IPv4 loopback, TCP port 11111, or the port given in the
 * environment variable QMX_SERVER_PORT).
 *
 * Every call returns a signed 32-bit code: 0 on success, a negative QMX_ERR_* value on
 * failure. No call blocks longer than its time-out (QMX_CONNECT_TIMEOUT_MS to reach the
 * server, QMX_REQUEST_TIMEOUT_MS per request). */
#ifndef QMXAPI_H
#define QMXAPI_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  define QMXAPI_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#  define QMXAPI_EXPORT __attribute__((visibility("default")))
#else
#  define QMXAPI_EXPORT
#endif

#ifdef __cplusplus
#  define QMXAPI_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#  define QMXAPI_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

enum {
    QMX_OK = 0,
    QMX_ERR_ARG = -1,          /* null pointer or field out of range */
    QMX_ERR_NOT_OPEN = -2,     /* the connection record holds no open connection */
    QMX_ERR_CONNECT = -3,      /* the crate server cannot be reached */
    QMX_ERR_TIMEOUT = -4,      /* the server did not answer in time */
    QMX_ERR_DISCONNECTED = -5, /* the server closed the connection */
    QMX_ERR_PROTOCOL = -6,     /* the server sent something malformed */
    QMX_ERR_REFUSED = -7,      /* the server refused the request */
    QMX_ERR_NOT_FOUND = -8,    /* no crate with that serial number */
    QMX_ERR_STATE = -9,        /* the call does not fit the connection's state */
    QMX_ERR_INTERNAL = -11,    /* unexpected failure inside the library */
    QMX_ERR_NO_RESOURCES = -12 /* out of memory or out of connection slots */
};

#define QMX_DEFAULT_PORT 11111
#define QMX_CONNECT_TIMEOUT_MS 2000
#define QMX_REQUEST_TIMEOUT_MS 3000
#define QMX_MAX_CRATES 16
#define QMX_MAX_SLOTS 16
#define QMX_SERIAL_SIZE 16

/* One connection to the crate server, or to one crate of it (36 bytes). All-zero means
 * "no connection"; the library validates the private fields, so a record that was never
 * given to QMX_Init also counts as closed. */
typedef struct QmxCrateConnection {
    uint32_t linkId;                 /*  0: library-private */
    uint8_t reserved4[2];            /*  4 */
    char serialNumber[QMX_SERIAL_SIZE]; /*  6: crate to address; empty = the server itself */
    uint16_t channel;                /* 22: channel number, 0 */
    uint32_t linkCheck;              /* 24: library-private */
    uint8_t reserved28[8];           /* 28 */
} QmxCrateConnection;

/* What QMX_GetCrateInfo reports about the addressed crate (8 bytes). */
typedef struct QmxCrateInfo {
    uint8_t crateType; /* 0: crate type code (21, 10, 30, 31, 40, 41, ...) */
    uint8_t reserved1[7];
} QmxCrateInfo;

QMXAPI_STATIC_ASSERT(sizeof(QmxCrateConnection) == 36, "QmxCrateConnection is 36 bytes");
QMXAPI_STATIC_ASSERT(offsetof(QmxCrateConnection, serialNumber) == 6, "crate serial at 6");
QMXAPI_STATIC_ASSERT(offsetof(QmxCrateConnection, channel) == 22, "channel at 22");
QMXAPI_STATIC_ASSERT(sizeof(QmxCrateInfo) == 8, "QmxCrateInfo is 8 bytes");

/* Module ID of a QMX58 in QMX_GetCrateModules' list. */
#define QMX_MODULE_ID_QMX58 0x1818

/* Resets the record to "no connection" (closing a connection it still held). */
QMXAPI_EXPORT int32_t QMX_Init(QmxCrateConnection* connection);
/* Connects to the crate server; when serialNumber is not empty, also selects that crate
 * (fails with QMX_ERR_NOT_FOUND or QMX_ERR_REFUSED when the server has no usable crate of
 * that serial). */
QMXAPI_EXPORT int32_t QMX_Open(QmxCrateConnection* connection);
QMXAPI_EXPORT int32_t QMX_Close(QmxCrateConnection* connection);
/* Fills up to 16 NUL-terminated serial numbers; the entry after the last crate, and every
 * unused entry, is set to all NUL. */
QMXAPI_EXPORT int32_t QMX_GetCrates(QmxCrateConnection* connection, char serials[16][16]);
/* For a connection opened on a crate: its type code in byte 0 of the 8-byte record. */
QMXAPI_EXPORT int32_t QMX_GetCrateInfo(QmxCrateConnection* connection, QmxCrateInfo* info);
/* For a connection opened on a crate: module ID per slot, index 0..15 for slots 1..16
 * (0 for an empty slot). */
QMXAPI_EXPORT int32_t QMX_GetCrateModules(QmxCrateConnection* connection, uint16_t ids[16]);

#ifdef __cplusplus
}
#endif

#endif
