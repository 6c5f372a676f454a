#include "StatusDisplay.h"

#include "NumberFormat.h"

namespace qmx {

StatusView computeStatus(const StatusInput& in)
{
    StatusView v;
    const bool result = !in.undetermined;
    if (result)
        v.title = in.programVersion ? "QMX58_probe - " + *in.programVersion : QString();
    else
        v.title = "QMX58_probe - ?.?.?";

    v.clearCrateList = in.undetermined && in.mode == 3;
    v.clearModuleList = in.undetermined && in.mode == 3;

    const QString crateName = in.crateTypeName.isEmpty() ? "???" : in.crateTypeName;
    const QString moduleName = in.moduleName.isEmpty() ? "???" : in.moduleName;
    const ColorRef okColor = in.librariesOk ? kColorGreen : kColorOrange;

    v.showCrate = in.mode == 2 || in.mode == 3;
    if (v.showCrate) {
        if (in.undetermined) {
            v.crateColor = kColorButtonFace;
            v.crateHint = "Статус '" + crateName + "' крейта -> ???";
        } else if (in.crateOk && in.crateTypeCode == 21) {
            v.crateColor = kColorLightOrange;
            v.crateHint = "Статус '" + crateName + "' крейта -> OK\nДля крейта '" + crateName +
                          "' максимальная скорость передачи данных составляет 800 Кбайт/с.\nПоэтому для модуля '" +
                          moduleName +
                          "', например, при 4-х канальном сборе 20-ти битных данных\nчастота АЦП не должна "
                          "превышать 50.0 кГц!!!";
        } else if (in.crateOk) {
            v.crateColor = okColor;
            v.crateHint = "Статус '" + crateName + "' крейта -> OK";
        } else {
            v.crateColor = kColorRed;
            v.crateHint = "Статус QMX крейта -> BAD";
        }
        if (!in.librariesOk)
            v.crateHint += kLibrariesUpdateLine;
    }

    QString suffix;
    if (in.undetermined) {
        suffix = "'-> ???";
        v.moduleColor = kColorButtonFace;
    } else if (in.moduleState == 2) {
        suffix = "' -> OK";
        v.moduleColor = okColor;
    } else {
        suffix = "' -> BAD";
        v.moduleColor = kColorRed;
    }
    v.moduleHint = "Статус модуля '" + moduleName + suffix;
    if (!in.librariesOk)
        v.moduleHint += kLibrariesUpdateLine;

    const bool usable = result && in.moduleState == 2;
    v.serialText = usable ? in.moduleSerial : QString("????????");
    if (usable) {
        v.firmwareText = formatWithMask(in.firmwareVersion, "0.");
    } else {
        v.firmwareText = "????????";
        v.firmwareNeutral = true;
    }
    return v;
}

}  // namespace qmx
