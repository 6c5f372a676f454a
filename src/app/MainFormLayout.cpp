// The main window's widget tree: every container and control with its name, caption, list
// items and place. Reads like a form description; behaviour lives in the other MainForm files.

#include "MainForm.h"

#include "FormBuilders.h"

#include "Led.h"
#include "RateTable.h"
#include "TriStateCheckBox.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QToolButton>

namespace qmx {
namespace {

using form::label;
using form::make;

QGroupBox* group(QWidget* parent, const char* name, const QString& title, const QRect& geometry)
{
    auto* g = make<QGroupBox>(parent, name, geometry);
    g->setTitle(title);
    return g;
}

QFrame* panel(QWidget* parent, const char* name, const QRect& geometry)
{
    return make<QFrame>(parent, name, geometry);
}

QComboBox* combo(QWidget* parent, const char* name, const QRect& geometry, const QStringList& items = {})
{
    auto* c = make<QComboBox>(parent, name, geometry);
    c->addItems(items);
    c->setCurrentIndex(-1);
    return c;
}

QCheckBox* check(QWidget* parent, const char* name, const QString& text, const QRect& geometry)
{
    auto* c = make<QCheckBox>(parent, name, geometry);
    c->setText(text);
    return c;
}

QPushButton* button(QWidget* parent, const char* name, const QString& text, const QRect& geometry)
{
    auto* b = make<QPushButton>(parent, name, geometry);
    b->setText(text);
    return b;
}

}  // namespace

void TMainForm::buildWidgetTree()
{
    auto* client = new QWidget(this);
    client->setObjectName("ClientArea");
    setCentralWidget(client);
    QFont formFont("Arial");
    formFont.setPixelSize(20);
    setFont(formFont);
    QFont body("Arial");
    body.setPixelSize(15);

    // ---- detection group
    ModuleDetectionLMDGroupBox = group(client, "ModuleDetectionLMDGroupBox", QString(), {2, 0, 1250, 100});
    ModuleDetectionLMDGroupBox->setFont(body);
    FindDeviceLMDButton = button(ModuleDetectionLMDGroupBox, "FindDeviceLMDButton", "Обнаружить", {10, 24, 140, 64});

    SaveIniSettingLMDGroupBox = group(ModuleDetectionLMDGroupBox, "SaveIniSettingLMDGroupBox", "Настройки", {160, 8, 190, 84});
    AutoSaveSettingsLMDCheckBox = check(SaveIniSettingLMDGroupBox, "AutoSaveSettingsLMDCheckBox", "    Авто Сохранение", {8, 24, 176, 24});
    SaveSettingsButton = button(SaveIniSettingLMDGroupBox, "SaveSettingsButton", "Сохранить", {8, 50, 176, 28});

    SelectedModuleLMDSimplePanel = panel(ModuleDetectionLMDGroupBox, "SelectedModuleLMDSimplePanel", {358, 10, 720, 84});
    QWidget* sm = SelectedModuleLMDSimplePanel;
    label(sm, "QmxCratesLabLMDLabel", "Крейт", {8, 4, 80, 22});
    QmxCratesComboBox = combo(sm, "QmxCratesComboBox", {8, 30, 170, 30});
    QmxCrateStatusLed = make<TLed>(sm, "QmxCrateStatusLed", {184, 35, 20, 20});
    label(sm, "ModulesLabLMDLabel", "Модуль", {214, 4, 80, 22});
    ModulesComboBox = combo(sm, "ModulesComboBox", {214, 30, 170, 30});
    ModuleStatusLed = make<TLed>(sm, "ModuleStatusLed", {390, 35, 20, 20});
    GeneratorStatusLed = make<TLed>(sm, "GeneratorStatusLed", {696, 8, 20, 20});
    VoltmeterStatusLed = make<TLed>(sm, "VoltmeterStatusLed", {696, 40, 20, 20});
    auto* bevel = make<QFrame>(sm, "Bevel3", {690, 2, 2, 78});
    bevel->setFrameShape(QFrame::VLine);
    label(sm, "ModuleSerialNumberLabLMDLabel", "Серийный номер", {420, 4, 130, 22});
    ModuleSerialNumberLMDLabel = label(sm, "ModuleSerialNumberLMDLabel", QString(), {420, 33, 130, 24});
    label(sm, "ModuleFirmwareVersionLabLMDLabel", "Версия микропрограммы", {556, 4, 132, 44})->setWordWrap(true);
    ModuleFirmwareVersionLMDLabel = label(sm, "ModuleFirmwareVersionLMDLabel", QString(), {556, 52, 132, 24});
    ModuleFirmwareVersionLMDLabel->setAutoFillBackground(true);

    StartMultimeterLMDSimplePanel = panel(ModuleDetectionLMDGroupBox, "StartMultimeterLMDSimplePanel", {1086, 8, 158, 86});
    StartMultimeterLMDSpeedButton = make<QToolButton>(StartMultimeterLMDSimplePanel, "StartMultimeterLMDSpeedButton", {4, 4, 150, 78});
    StartMultimeterLMDSpeedButton->setText("С   Т   А   Р   Т");
    StartMultimeterLMDSpeedButton->setCheckable(true);  // latching: stays down until released
    QFont startFont("Arial");
    startFont.setPixelSize(18);
    startFont.setBold(true);
    StartMultimeterLMDSpeedButton->setFont(startFont);

    // ---- main panel and pages
    MainLMDSimplePanel = panel(client, "MainLMDSimplePanel", {2, 102, 1250, 643});
    MainLMDSimplePanel->setFont(body);
    MainLMDPageControl = make<QTabWidget>(MainLMDSimplePanel, "MainLMDPageControl", {0, 0, 1250, 643});

    MultimeterLMDTabSheet = new QWidget;
    MultimeterLMDTabSheet->setObjectName("MultimeterLMDTabSheet");
    MainLMDPageControl->addTab(MultimeterLMDTabSheet, "Мультиметр");
    MultimeterLMDSimplePanel = panel(MultimeterLMDTabSheet, "MultimeterLMDSimplePanel", {0, 0, 1244, 610});

    EquipmentLMDSimplePanel = panel(MultimeterLMDSimplePanel, "EquipmentLMDSimplePanel", {0, 0, 1244, 120});
    GeneratorLMDGroupBox = group(EquipmentLMDSimplePanel, "GeneratorLMDGroupBox", "Генератор 3407", {4, 0, 600, 116});
    VoltmeterLMDGroupBox = group(EquipmentLMDSimplePanel, "VoltmeterLMDGroupBox", "Мультиметр 34465A", {610, 0, 600, 116});
    VoltmeterValueLMDLabel = label(VoltmeterLMDGroupBox, "VoltmeterValueLMDLabel", QString(), {10, 30, 300, 30});
    FreqForPhaseLMDLabel = label(VoltmeterLMDGroupBox, "FreqForPhaseLMDLabel", QString(), {10, 70, 300, 30});
    panel(EquipmentLMDSimplePanel, "EmptyLMDSimplePanel", {1214, 0, 26, 116});

    QWidget* stream = panel(MultimeterLMDSimplePanel, "AdcStreamLMDSimplePanel", {0, 0, 1244, 610});
    AdcGroupParsLMDGroupBox = group(stream, "AdcGroupParsLMDGroupBox", "Общие параметры", {4, 0, 1232, 160});
    QWidget* common = panel(AdcGroupParsLMDGroupBox, "ChannelCommonParsLMDSimplePanel", {8, 24, 700, 130});
    AllChannelsLMDCheckBox = make<TriStateCheckBox>(common, "AllChannelsLMDCheckBox", {8, 46, 122, 26});
    AllChannelsLMDCheckBox->setText("Все каналы");
    AllChannelsLMDCheckBox->setTristate(true);
    label(common, "CommonInputConnectionModeLabLMDLabel", "Режим работы", {135, 2, 200, 22});
    CommonInputConnectionModeLMDComboBox = combo(common, "CommonInputConnectionModeLMDComboBox", {135, 26, 405, 30},
                                                 {"  Дифф. вход без отсечки (AC/DC)", "      Дифф. вход с отсечкой (AC)",
                                                  "            Cобственный нуль", "                  ICP датчик"});
    label(common, "CommonInputRangeLabLMDLabel", "Предел измерений", {135, 66, 135, 22});
    CommonDiffInputRangeLMDComboBox = combo(common, "CommonDiffInputRangeLMDComboBox", {272, 64, 90, 30}, {"   10 B ", "    2 B"});
    CommonIcpInputRangeLMDComboBox = combo(common, "CommonIcpInputRangeLMDComboBox", {272, 64, 90, 30}, {"   5 B ", "   1 B"});
    label(common, "CommonComputationMethodLabLMDLabel", "Режим измерений", {372, 66, 128, 22});
    CommonComputationMethodLMDComboBox = combo(common, "CommonComputationMethodLMDComboBox", {500, 64, 72, 30}, {"  DC", "  AC"});
    ComputationModeLMDLabel = label(common, "ComputationModeLMDLabel", QString(), {500, 64, 72, 30});
    ComputationModeLMDLabel->setAlignment(Qt::AlignCenter);

    QWidget* pars = panel(AdcGroupParsLMDGroupBox, "CommonParsLMDSimplePanel", {714, 24, 510, 130});
    label(pars, "AdcRateLabLMDLabel", "Частота преобра- зований АЦП, Гц", {8, 2, 150, 44})->setWordWrap(true);
    AdcRateComboBox = combo(pars, "AdcRateComboBox", {8, 52, 130, 30});
    label(pars, "DataFormatLabLMDLabel", "Разрядность данных", {172, 2, 120, 44})->setWordWrap(true);
    DataFormatLMDComboBox = combo(pars, "DataFormatLMDComboBox", {172, 52, 110, 30}, {" 20 бит", "24 бита"});
    CurrentValueLabLMDLabel = label(pars, "CurrentValueLabLMDLabel", "Источник тока", {316, 2, 130, 44});
    CurrentValueLMDComboBox = combo(pars, "CurrentValueLMDComboBox", {316, 52, 120, 30}, {"  2.86 мА", " 10.0  мА"});

    AcquisitionTimeLMDSimplePanel = panel(pars, "AcquisitionTimeLMDSimplePanel", {4, 88, 504, 38});
    label(AcquisitionTimeLMDSimplePanel, "AcquisitionTimeLabLMDLabel", "Время сбора, мс", {4, 8, 118, 22});
    AcquisitionTimeLMDLabel = label(AcquisitionTimeLMDSimplePanel, "AcquisitionTimeLMDLabel", "-----", {124, 8, 64, 22});
    PhaseCorrectionFilterMultimeterLMDCheckBox = check(AcquisitionTimeLMDSimplePanel, "PhaseCorrectionFilterMultimeterLMDCheckBox",
                                                       "Фильтр коррекции фазы для ICP режима", {190, 6, 312, 26});

    // Right of the current-source list and above the acquisition-time panel, so the two
    // information panels cover no other control.
    ComputationInfoLMDSimplePanel = panel(pars, "ComputationInfoLMDSimplePanel", {446, 22, 60, 60});
    ComputationModeLabLMDLabel = label(ComputationInfoLMDSimplePanel, "ComputationModeLabLMDLabel", "---", {2, 2, 56, 26});
    AmplitudeTypeLabLMDLabel = label(ComputationInfoLMDSimplePanel, "AmplitudeTypeLabLMDLabel", "---", {2, 30, 56, 26});
    for (QLabel* l : {ComputationModeLabLMDLabel, AmplitudeTypeLabLMDLabel}) {
        l->setAutoFillBackground(true);  // opaque
        l->setAlignment(Qt::AlignCenter);
        l->setFrameShape(QFrame::Panel);
        l->setFrameShadow(QFrame::Sunken);
    }

    AdcIndividualParsLMDGroupBox = group(stream, "AdcIndividualParsLMDGroupBox", "Индивидуальные параметры", {4, 162, 1232, 440});
    AdcIndividualParsLMDScrollBox = make<QScrollArea>(AdcIndividualParsLMDGroupBox, "AdcIndividualParsLMDScrollBox", {6, 24, 1220, 410});
    AdcIndividualParsLMDScrollBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    AdcIndividualParsLMDScrollBox->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    AdcIndividualParsLMDScrollBox->setFrameShape(QFrame::NoFrame);
    AdcIndividualParsLMDSimplePanel = new QWidget;
    AdcIndividualParsLMDSimplePanel->setObjectName("AdcIndividualParsLMDSimplePanel");
    AdcIndividualParsLMDSimplePanel->resize(1216, 4 * TQmx58AdcChannelFrame::kPanelHeight + 4);
    AdcIndividualParsLMDScrollBox->setWidget(AdcIndividualParsLMDSimplePanel);

    CorrectionFactorsLMDTabSheet = new QWidget;
    CorrectionFactorsLMDTabSheet->setObjectName("CorrectionFactorsLMDTabSheet");
    MainLMDPageControl->addTab(CorrectionFactorsLMDTabSheet, "Коэффициенты");
    AdcRateCalibrPanelComboBox = combo(CorrectionFactorsLMDTabSheet, "AdcRateCalibrPanelComboBox", {10, 10, 130, 30});

    VerificationLMDTabSheet = new QWidget;
    VerificationLMDTabSheet->setObjectName("VerificationLMDTabSheet");
    MainLMDPageControl->addTab(VerificationLMDTabSheet, "Поверка");

    // ---- context menu; its short cuts work through the window whether or not it pops up
    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName("PopupMenu");
    auto item = [this](const char* name, const QString& text, const QKeySequence& keys) {
        auto* a = new QAction(text, this);
        a->setObjectName(name);
        a->setShortcut(keys);
        a->setShortcutContext(Qt::WindowShortcut);
        PopupMenu->addAction(a);
        addAction(a);
        return a;
    };
    RebootAction = item("Reboot", "Перезагрузка Изделия", QKeySequence("Ctrl+R"));
    PopupMenu->addSeparator();
    SaveDefaultSettings = item("SaveDefaultSettings", "Сохранение штатных настроек", QKeySequence("Ctrl+D"));
    SaveCurrentSettings = item("SaveCurrentSettings", "Сохранение текущих настроек", QKeySequence("Ctrl+S"));
    PopupMenu->addSeparator();
    AboutAction = item("About", "О программе ...", QKeySequence("Ctrl+A"));
    PopupMenu->addSeparator();
    ApplicationExit = item("ApplicationExit", "Выход", QKeySequence("Ctrl+Q"));
    ApplicationExit->setStatusTip("Спокойный выход из программы");
    ApplicationExit->setToolTip("Спокойный выход из программы");
    buildSignalMenu();  // MainFormSignal.cpp: the tools beside the readings

    buildHiddenPages();  // MainFormCoefficients.cpp
}

void TMainForm::fillRateLists()
{
    for (QComboBox* list : {AdcRateComboBox, AdcRateCalibrPanelComboBox}) {
        list->clear();
        for (const RateEntry& r : Qmx58RateTable)
            list->addItem(QString::fromUtf8(r.text));
        list->setMaxVisibleItems(16);
        list->setCurrentIndex(-1);
    }
}

}  // namespace qmx
