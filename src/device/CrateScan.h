#pragma once
// The device side of discovery, free of widgets: the scan of the crate server's crates and of
// the QMX58 modules in their slots, the choice of the crate and module to use, and opening
// that module. The window's discovery thread and the command-line program both drive the
// crate-system and module libraries through these routines only.

#include "DiscoveryTable.h"
#include "qmx58api.h"

#include <QString>

#include <cstdint>

namespace qmx {

// Where the crate server listens: the IPv4 loopback address as a number and the TCP port (the
// libraries let QMX_SERVER_PORT replace the port).
struct ServerAddress {
    std::uint32_t address = 0x7F000001;
    std::uint16_t port = 11111;
};

enum class ScanResult {
    Ok,              // at least one crate holds a usable QMX58
    NoCrateList,     // the crate server gave no crate list
    CrateUnreadable, // a listed crate could not be read
    NoModule,        // no listed crate holds a QMX58 that opens
};

// The crate server's list with each crate's type and module IDs (the raw part of the table),
// then every QMX58 that opens, crate by crate, in list order (the compact part): serial,
// firmware, ICP capability and slot. Modules are opened with `handle`, which is left closed.
ScanResult scanCrates(DiscoveryTable& table, Qmx58Handle& handle, const ServerAddress& server);

// The operator's message for a failed scan (the system's own words); empty for Ok and for
// an unreadable crate, which is not reported.
QString scanFailureMessage(ScanResult result);

// Selects the crate whose serial is `serial` (else the first) and in it the module in `slot`
// (else its first); every other crate's module selection goes back to its first module. A
// slot means nothing in a crate other than the one named.
void selectTarget(DiscoveryTable& table, const QString& serial, int slot);

// Closes the handle if open, resets it, opens the selected module of the selected crate and
// reads its configuration. False when there is nothing selected or a call fails.
bool openSelectedModule(const DiscoveryTable& table, Qmx58Handle& handle, const ServerAddress& server);

// The zero-terminated text of a 16-byte serial field.
QString serialText(const char* bytes);
// "QMX58-2" for the ICP-capable variant, "QMX58-1" otherwise, from the library's module name.
QString moduleVariantName(const char* libraryName, bool icpCapable);

}  // namespace qmx
