#pragma once
// The status display: what the crate and module LEDs, their hints, the serial and firmware
// labels and the window title show, worked out from the discovery run's findings. Pure: the
// window applies the result to its widgets.

#include "Colors.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace qmx {

struct StatusInput {
    bool undetermined = true;        // the form shown while a discovery run prepares
    int mode = 3;                    // DiscoveryMode: 3 find devices, 2 crate changed, 1 module changed
    bool crateOk = false;
    std::uint8_t crateTypeCode = 0;
    QString crateTypeName;
    QString moduleName;              // library name + "-2" or "-1"
    std::uint8_t moduleState = 0;    // 0 none, 1 opened by the scan, 2 usable
    bool librariesOk = true;
    QString moduleSerial;
    std::uint8_t firmwareVersion = 0;
    // The program's own file version as "major.minor.release"; nullopt: no version record.
    std::optional<QString> programVersion;
};

struct StatusView {
    QString title;
    bool clearCrateList = false;
    bool clearModuleList = false;
    bool showCrate = false;          // modes 2 and 3 paint the crate LED
    ColorRef crateColor = kColorButtonFace;
    QString crateHint;
    ColorRef moduleColor = kColorButtonFace;
    QString moduleHint;
    QString serialText;
    QString firmwareText;
    bool firmwareNeutral = false;    // button-face background, black font
};

inline const QString kLibrariesUpdateLine = "\nНеобходимо обновить все QMX библиотеки до последней версии!!!";

StatusView computeStatus(const StatusInput& in);

}  // namespace qmx
