#pragma once
// Sections and keys of the settings file "Qmx58_Probe.ini", with their read defaults. Key
// texts are exact: the four blanks in "Top    основной панели", the three in
// "Left   основной панели", the Latin M (0x4D) in "АЦП. Mаксимальное время сбора данных, с".

#include <string>

namespace qmx::settings {

inline const std::string kFileName = "Qmx58_Probe.ini";

inline const std::string kApp = "Приложение. Общие";
inline const std::string kDiscovery = "Приложение. Обнаружение";
inline const std::string kModule = "Модуль QMX58";

// "Приложение. Общие"
inline const std::string kAutoSave = "Сохранение настроек";
inline const std::string kWindowTop = "Top    основной панели";
inline const std::string kWindowLeft = "Left   основной панели";
inline const std::string kCoefSource = "Источник загрузки корректировочных коэфф.";

// "Приложение. Обнаружение"
inline const std::string kCrateSerial = "Серийный номер QMX крейта";
inline const std::string kModuleSlot = "Слот модуля";

// "Модуль QMX58"
inline const std::string kComputationMethod = "АЦП. Метод расчёта измеряемых величин";
inline const std::string kAmplitudeType = "АЦП. Тип амплитуды";
inline const std::string kMaxAcquisitionTime = "АЦП. Mаксимальное время сбора данных, с";
inline const std::string kDataFormat = "АЦП. Разрядность данных";
inline const std::string kCurrentSource = "АЦП. Значение источника тока";
inline const std::string kAdcRate = "АЦП. Индекс частоты работы АЦП";
inline const std::string kReferenceChannel = "АЦП. Опорный фазовый канал";
inline const std::string kAllChannels = "АЦП. Групповое управление каналами";
inline const std::string kChannelEnabled = "АЦП. Управление каналом ";  // + N (1..4)
inline const std::string kGroupConnectionMode = "АЦП. Групповое управление типом входного подключения";
inline const std::string kChannelConnectionMode = "АЦП. Управление типом входного подключения канала ";
inline const std::string kGroupDiffRange = "АЦП. Групповое управление входным диапазоном дифф. каналов";
inline const std::string kChannelDiffRange = "АЦП. Управление входным диапазоном дифф. канала ";
inline const std::string kGroupIcpRange = "АЦП. Групповое управление входным диапазоном ICP каналов";
inline const std::string kChannelIcpRange = "АЦП. Управление входным диапазоном ICP канала ";
inline const std::string kGroupMethod = "АЦП. Групповое управление методом вычисления параметров";
inline const std::string kChannelMethod = "АЦП. Управление методом вычисления параметров для канала ";

// Per-channel key: the key text followed by the channel number 1..4.
inline std::string channelKey(const std::string& key, int channelIndex) { return key + std::to_string(channelIndex + 1); }

// Read defaults.
inline constexpr bool kAutoSaveDefault = false;
inline constexpr int kWindowPosDefault = -1;
inline constexpr int kModuleSlotDefault = -1;
inline const std::string kComputationMethodDefault = "fft";
inline const std::string kAmplitudeTypeDefault = "rms";
inline constexpr double kMaxAcquisitionTimeDefault = 1.0;
// The acquisition times the window's input and the command line's --time accept, seconds.
inline constexpr double kAcquisitionTimeMin = 0.001;
inline constexpr double kAcquisitionTimeMax = 100.0;
inline constexpr int kDataFormatDefault = 0;
inline constexpr int kCurrentSourceDefault = 0;
inline constexpr int kAdcRateDefault = 15;
inline constexpr int kReferenceChannelDefault = 0;
inline constexpr bool kAllChannelsDefault = true;
inline constexpr bool kChannelEnabledDefault = true;
inline constexpr int kConnectionModeDefault = 0;
inline constexpr int kDiffRangeDefault = 1;
inline constexpr int kIcpRangeDefault = 1;
inline constexpr int kMethodDefault = 1;

// The precision table: seven rows, each with one entry per range of its input kind.
enum PrecisionRow { DcDiff, AcDiff, FrDiff, PhDiff, AcIcp, FrIcp, PhIcp, PrecisionRowCount };
inline constexpr int kMaxPrecision = 10;

struct PrecisionRowInfo {
    bool icp;              // ranges of IcpRanges, else DiffRanges
    const char* suffix;    // " В. DC precision" ...
    int defaultDigits;
};

inline const PrecisionRowInfo kPrecisionRows[PrecisionRowCount] = {
    {false, " В. DC precision", 2}, {false, " В. AC precision", 2}, {false, " В. FR precision", 5},
    {false, " В. PH precision", 3}, {true, " В. AC precision", 2},  {true, " В. FR precision", 5},
    {true, " В. PH precision", 3},
};

// "АЦП. Диапазон дифф. входа " / "АЦП. Диапазон ICP входа " + "%5.2f" of the range + suffix.
std::string precisionKey(PrecisionRow row, double rangeVolts);

}  // namespace qmx::settings
