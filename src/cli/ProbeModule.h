#pragma once
// What measure and record share before a run: the settings file, the crate scan, the choice
// of the module as the window's discovery makes it, the module opened, and the operator
// settings with the options over them. The module is closed when the session ends.

#include "CliOptions.h"
#include "CliOutput.h"
#include "CrateScan.h"
#include "IniFile.h"
#include "OperatorSettings.h"
#include "qmx58api.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace qmx::cli {

struct ModuleSession {
    DiscoveryTable table;
    Qmx58Handle handle{};
    std::unique_ptr<IniFile> file;
    int crateIndex = -1;  // in the compact part of the table
    QString crateSerial;
    int slot = 0;
    std::uint8_t crateType = 0;
    bool icp = false;
    OperatorSettings settings;

    ModuleSession() = default;
    ModuleSession(const ModuleSession&) = delete;
    ModuleSession& operator=(const ModuleSession&) = delete;
    ~ModuleSession();

    QString moduleSerial() const;
    QString moduleName() const;  // the library's name ("QMX58")
};

// Reads the settings file, scans, chooses and opens the module and applies the options
// (exit codes 3 and 2 with their messages given). kExitDone to go on; a signal or the
// deadline between the steps gives kExitInterrupted or kExitTimedOut.
int openModule(const RunOptions& options, ModuleSession& session);

// The exit code for a signal caught or the deadline passed, or kExitDone for neither.
int endedByOutside();

// Opens the run's output, --output FILE or standard output, before the module is opened (a
// FIFO waited for here keeps no module open meanwhile). 0 when it is open, else the exit code
// to end with (a refusal is said on standard error).
int openRunOutput(const std::optional<QString>& file, Output& out);

}  // namespace qmx::cli
