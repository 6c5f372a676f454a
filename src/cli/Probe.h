#pragma once
// The commands of qmx58-probe. All run on the thread that owns the QCoreApplication and
// return the program's exit code (CliOptions.h).

#include "CliOptions.h"
#include "CrateScan.h"

#include <QString>

namespace qmx::cli {

// "major.minor.release" of the program file, or empty when it carries no version.
QString programVersion();

// Lists every crate and the module of every occupied slot, as a table or as JSON.
int runScan(bool json);

// Configures the selected QMX58 and writes the readings of each frame.
int runMeasure(const MeasureOptions& options);

// Configures the selected QMX58 and records its calibrated samples without a gap.
int runRecord(const RunOptions& options);

// A message of the program itself on standard error: "qmx58-probe: " + text.
void complain(const QString& text);
// A message in the system's own words, as it stands.
void tell(const QString& text);

// Reports a failed scan on standard error (the system's message, or the program's own for a
// crate that could not be read); true when the scan found a usable module.
bool reportScan(ScanResult result);

}  // namespace qmx::cli
