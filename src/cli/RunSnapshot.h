#pragma once
// What the acquisition thread asks its host for at the start of a run, taken from the
// operator settings the way the window takes it from its controls after loading the same
// settings file: the per-channel snapshot, the data width, ICP current and phase correction,
// the method texts and time, and what the configuration step reads.

#include "MainThread.h"
#include "OperatorSettings.h"

namespace qmx::cli {

void takeRunSettings(const OperatorSettings& settings, bool icpCapable, RunSettings& run);
void takeConfiguration(const OperatorSettings& settings, ConfigurationInputs& inputs);

}  // namespace qmx::cli
