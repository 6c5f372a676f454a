// The main window as construction leaves it: widget tree, names, captions, list items,
// hidden parts, channel panel placement; the locale-independent decimal separator; the hint
// rule and the screen check.

#include "FormFixture.h"
#include "TestMainForm.h"
#include "NumberFormat.h"
#include "RateTable.h"
#include "ScreenCheck.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QToolButton>

#include <clocale>

namespace {

using namespace qmx;
using qmxtest::FormFixture;

QStringList items(const QComboBox* c)
{
    QStringList out;
    for (int i = 0; i < c->count(); ++i)
        out << c->itemText(i);
    return out;
}

TEST_F(FormFixture, OneVisibleTabAndHiddenParts)
{
    auto* pages = child<QTabWidget>("MainLMDPageControl");
    ASSERT_NE(pages, nullptr);
    int visibleTabs = 0;
    for (int i = 0; i < pages->count(); ++i)
        visibleTabs += pages->isTabVisible(i) ? 1 : 0;
    EXPECT_EQ(visibleTabs, 1);
    EXPECT_EQ(pages->currentIndex(), 0);
    EXPECT_EQ(pages->tabText(0), "Мультиметр");
    EXPECT_EQ(pages->widget(0)->objectName(), "MultimeterLMDTabSheet");
    EXPECT_EQ(pages->widget(1)->objectName(), "CorrectionFactorsLMDTabSheet");
    EXPECT_EQ(pages->widget(2)->objectName(), "VerificationLMDTabSheet");
    for (const char* hidden : {"EquipmentLMDSimplePanel", "GeneratorLMDGroupBox", "VoltmeterLMDGroupBox", "GeneratorStatusLed",
                               "VoltmeterStatusLed", "Bevel3"}) {
        auto* w = child<QWidget>(hidden);
        ASSERT_NE(w, nullptr) << hidden;
        EXPECT_TRUE(w->isHidden()) << hidden;
    }
    // The acquisition-time and computation panels are shown, and cover none of the common
    // parameters' other controls.
    auto* pars = child<QWidget>("CommonParsLMDSimplePanel");
    ASSERT_NE(pars, nullptr);
    QList<QWidget*> shown;
    for (QWidget* w : pars->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (!w->isHidden() && !w->objectName().contains("Icp"))  // the two range lists share one place
            shown << w;
    for (const char* name : {"AcquisitionTimeLMDSimplePanel", "ComputationInfoLMDSimplePanel"}) {
        auto* w = child<QWidget>(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_FALSE(w->isHidden()) << name;
        EXPECT_TRUE(pars->rect().contains(w->geometry())) << name;
        for (QWidget* c : w->findChildren<QWidget*>())
            EXPECT_LE(c->sizeHint().width(), c->width()) << c->objectName().toStdString() << " is cut short: " << c->sizeHint().width();
        for (QWidget* other : shown) {
            if (other != w) {
                EXPECT_FALSE(w->geometry().intersects(other->geometry())) << name << " covers " << other->objectName().toStdString();
            }
        }
    }
    EXPECT_EQ(form->windowTitle(), "QMX58");
    EXPECT_EQ(form->size(), QSize(1254, 747));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "fixed border";
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form->UpdateGuard.load(), 0);
    EXPECT_EQ(form->ShowStage, 1);
    EXPECT_EQ(form->NeutralTitle, "QMX58_probe - ?.?.?");
}

TEST_F(FormFixture, NamedWidgetsWithTheirCaptions)
{
    struct Caption { const char* name; const char* text; };
    for (const Caption& c : {Caption{"FindDeviceLMDButton", "Обнаружить"}, Caption{"SaveSettingsButton", "Сохранить"}}) {
        auto* b = child<QPushButton>(c.name);
        ASSERT_NE(b, nullptr) << c.name;
        EXPECT_EQ(b->text(), QString::fromUtf8(c.text));
    }
    EXPECT_EQ(child<QToolButton>("StartMultimeterLMDSpeedButton")->text(), "С   Т   А   Р   Т");
    EXPECT_TRUE(child<QToolButton>("StartMultimeterLMDSpeedButton")->isCheckable());
    EXPECT_EQ(child<QCheckBox>("AutoSaveSettingsLMDCheckBox")->text(), "    Авто Сохранение");
    EXPECT_EQ(child<QGroupBox>("SaveIniSettingLMDGroupBox")->title(), "Настройки");
    EXPECT_EQ(child<QGroupBox>("AdcGroupParsLMDGroupBox")->title(), "Общие параметры");
    EXPECT_EQ(child<QGroupBox>("AdcIndividualParsLMDGroupBox")->title(), "Индивидуальные параметры");
    EXPECT_EQ(child<QCheckBox>("AllChannelsLMDCheckBox")->text(), "Все каналы");
    EXPECT_TRUE(child<QCheckBox>("AllChannelsLMDCheckBox")->isTristate());
    EXPECT_EQ(child<QCheckBox>("AllChannelsLMDCheckBox")->checkState(), Qt::Unchecked);
    EXPECT_EQ(child<QCheckBox>("PhaseCorrectionFilterMultimeterLMDCheckBox")->text(), "Фильтр коррекции фазы для ICP режима");
    EXPECT_EQ(child<QLabel>("CurrentValueLabLMDLabel")->text(), "Источник тока");

    // Initial texts.
    EXPECT_EQ(child<QLabel>("ModuleSerialNumberLMDLabel")->text(), "????????");
    EXPECT_EQ(child<QLabel>("ModuleFirmwareVersionLMDLabel")->text(), "??.??.??.??");
    EXPECT_EQ(child<QWidget>("ModuleStatusLed")->toolTip(), "Статус модуля -> ???");
    EXPECT_EQ(child<QWidget>("GeneratorStatusLed")->toolTip(), "Статус генератора -> ???");
    EXPECT_EQ(child<QWidget>("VoltmeterStatusLed")->toolTip(), "Статус мультиметра -> ???");
    EXPECT_EQ(child<QLabel>("AcquisitionTimeLMDLabel")->text(), "-----");
    EXPECT_EQ(child<QLabel>("ComputationModeLabLMDLabel")->text(), "---");
    EXPECT_EQ(child<QLabel>("AmplitudeTypeLabLMDLabel")->text(), "---");
    EXPECT_TRUE(child<QLabel>("ComputationModeLabLMDLabel")->autoFillBackground()) << "opaque";
    EXPECT_EQ(child<QLabel>("FreqForPhaseLMDLabel")->text(), "");

    // Containment.
    EXPECT_EQ(child<QWidget>("QmxCratesComboBox")->parent(), child<QWidget>("SelectedModuleLMDSimplePanel"));
    EXPECT_EQ(child<QWidget>("StartMultimeterLMDSpeedButton")->parent(), child<QWidget>("StartMultimeterLMDSimplePanel"));
    EXPECT_EQ(child<QWidget>("Qmx58AdcChannel2Frame")->parent(), child<QWidget>("AdcIndividualParsLMDSimplePanel"));
}

TEST_F(FormFixture, ListsHoldTheirItemsVerbatim)
{
    QStringList rates;
    for (const RateEntry& r : Qmx58RateTable)
        rates << QString::fromLatin1(r.text);
    EXPECT_EQ(rates.first(), "  610.352");
    EXPECT_EQ(rates.last(), "  117188");
    for (const char* name : {"AdcRateComboBox", "AdcRateCalibrPanelComboBox"}) {
        auto* c = child<QComboBox>(name);
        ASSERT_NE(c, nullptr) << name;
        EXPECT_EQ(items(c), rates) << name;
        EXPECT_EQ(c->maxVisibleItems(), 16);
        EXPECT_EQ(c->currentIndex(), -1);
    }
    for (std::size_t i = 0; i < Qmx58RateTable.size(); ++i)
        EXPECT_EQ(Qmx58RateTable[i].code, 15 - i);
    EXPECT_EQ(Qmx58RateTable[15].hz, 117187.5);

    EXPECT_EQ(items(child<QComboBox>("CommonDiffInputRangeLMDComboBox")), QStringList({"    2 \u0412", "  10 \u0412"}));
    EXPECT_EQ(items(child<QComboBox>("CommonIcpInputRangeLMDComboBox")), QStringList({"   1 \u0412", "   5 \u0412"}));
    EXPECT_EQ(items(child<QComboBox>("CommonComputationMethodLMDComboBox")), QStringList({"  DC", "  AC"}));
    EXPECT_EQ(items(child<QComboBox>("CommonInputConnectionModeLMDComboBox")),
              QStringList({"  Дифф. вход без отсечки (AC/DC)", "      Дифф. вход с отсечкой (AC)",
                           "            C\u043e\u0431ственный нуль", "                  ICP датчик"}));
    EXPECT_EQ(items(child<QComboBox>("DataFormatLMDComboBox")), QStringList({" 20 бит", "24 бита"}));
    EXPECT_EQ(items(child<QComboBox>("CurrentValueLMDComboBox")), QStringList({"  2.86 мА", " 10.0  мА"}));
    for (const char* name : {"CommonDiffInputRangeLMDComboBox", "CommonIcpInputRangeLMDComboBox",
                             "CommonComputationMethodLMDComboBox", "CommonInputConnectionModeLMDComboBox"})
        EXPECT_EQ(child<QComboBox>(name)->currentIndex(), -1) << name;
}

TEST_F(FormFixture, PopupMenuItemsAndShortcuts)
{
    auto* menu = child<QMenu>("PopupMenu");
    ASSERT_NE(menu, nullptr);
    QStringList texts;
    QStringList keys;
    for (QAction* a : menu->actions()) {
        texts << (a->isSeparator() ? "-" : a->text());
        keys << a->shortcut().toString();
    }
    // The program's own items first, as they always were; the tools beside the readings after
    // a separator at the end.
    EXPECT_EQ(texts.mid(0, 8), QStringList({"Перезагрузка Изделия", "-", "Сохранение штатных настроек",
                                            "Сохранение текущих настроек", "-", "О программе ...", "-", "Выход"}));
    EXPECT_EQ(keys.mid(0, 8), QStringList({"Ctrl+R", "", "Ctrl+D", "Ctrl+S", "", "Ctrl+A", "", "Ctrl+Q"}));
    EXPECT_EQ(texts.mid(8), QStringList({"-", "Метод расчёта", "Тип амплитуды", "Время сбора данных: 1 с ...", "-",
                                         "Запись показаний в файл ...", "Сигнал и спектр ..."}));
    EXPECT_EQ(keys.mid(8), QStringList({"", "", "", "Ctrl+T", "", "Ctrl+L", "Ctrl+G"}));
    EXPECT_EQ(form->ApplicationExit->toolTip(), "Спокойный выход из программы");
    for (QAction* a : menu->actions()) {
        if (a->menu()) {
            for (QAction* choice : a->menu()->actions()) {
                EXPECT_FALSE(choice->shortcut().isEmpty()) << choice->text().toStdString();
                EXPECT_TRUE(form->actions().contains(choice)) << choice->text().toStdString();
            }
        } else if (!a->isSeparator()) {
            EXPECT_TRUE(form->actions().contains(a)) << "short cut works without the menu: " << a->text().toStdString();
        }
    }
}

TEST_F(FormFixture, ChannelPanelsPlacedAndReset)
{
    auto* group = child<QGroupBox>("AdcIndividualParsLMDGroupBox");
    for (int ch = 0; ch < 4; ++ch) {
        auto* f = child<TQmx58AdcChannelFrame>(qPrintable(QString("Qmx58AdcChannel%1Frame").arg(ch)));
        ASSERT_NE(f, nullptr) << ch;
        EXPECT_EQ(f, form->Frames[static_cast<std::size_t>(ch)]);
        EXPECT_EQ(f->ChannelIndex, ch);
        const int h = f->Qmx58AdcChannelLMDSimplePanel->height();
        const int w = f->Qmx58AdcChannelLMDSimplePanel->width();
        EXPECT_EQ(f->geometry(), QRect((group->width() - w) / 2, ch * h + 2, w, h));
        EXPECT_EQ(f->ChannelNumberLMDCheckBox->text(), QString("Канал %1").arg(ch + 1));
        EXPECT_FALSE(f->ChannelNumberLMDCheckBox->isChecked());
        for (QObject* tagged : std::initializer_list<QObject*>{f->ChannelNumberLMDCheckBox, f->InputConnectionModeLMDComboBox,
                                                               f->DiffInputRangeLMDComboBox, f->IcpInputRangeLMDComboBox,
                                                               f->ComputationMethodLMDComboBox, f->BasePhaseChannelLMDRadioButton})
            EXPECT_EQ(controlTag(tagged), ch);
        for (QWidget* inner : f->Qmx58AdcChannelLMDSimplePanel->findChildren<QWidget*>())
            EXPECT_FALSE(inner->isEnabled()) << inner->objectName().toStdString();
        for (QLineEdit* box : {f->Value1LMDEdit, f->Value2LMDEdit, f->Value3LMDEdit}) {
            EXPECT_EQ(box->text(), "--------");
            EXPECT_TRUE(box->isReadOnly());
            EXPECT_EQ(box->palette().color(QPalette::Text), QColor(0, 255, 0));
        }
        EXPECT_EQ(f->Value1LabLMDLabel->text(), "Напряжение");
        EXPECT_EQ(f->Value2LabLMDLabel->text(), "Частота");
        EXPECT_EQ(f->Value3LabLMDLabel->text(), "Фаза");
        EXPECT_EQ(f->Value1LabUnitLMDLabel->text(), "мВ");
        EXPECT_EQ(f->Value2LabUnitLMDLabel->text(), "кГц");
        EXPECT_EQ(f->Value3LabUnitLMDLabel->text(), "Град");
        EXPECT_EQ(f->FlashLed->brushColor(), kColorButtonFace);
        EXPECT_EQ(items(f->DiffInputRangeLMDComboBox), QStringList({"    2 \u0412", "  10 \u0412"}));
        EXPECT_EQ(items(f->IcpInputRangeLMDComboBox), QStringList({" 1 \u0412", " 5 \u0412"}));
        EXPECT_EQ(items(f->ComputationMethodLMDComboBox), QStringList({" DC", " AC"}));
        EXPECT_EQ(f->BasePhaseChannelLMDRadioButton->text(), "Опорный канал фазы ");
        EXPECT_EQ(f->ChannelNumberLMDCheckBox->toolTip(), "Управление активностью канала");
        EXPECT_EQ(f->FlashLed->toolTip(), "Признак обновления канала");
        EXPECT_EQ(f->BasePhaseChannelLMDRadioButton->toolTip(), "Опорный канал для рассчёта сдвига фаз");
        EXPECT_EQ(f->ComputationMethodLMDLabel->toolTip(), "Метод расчёта");
    }
}

// Whatever the user's locale, numbers show "." as decimal separator.
TEST_F(FormFixture, DecimalSeparatorIsAlwaysADot)
{
    const char* ru = std::setlocale(LC_ALL, "ru_RU.UTF-8");
    form->FormActivate();
    EXPECT_EQ(QLocale().decimalPoint(), ".");
    EXPECT_EQ(QString::number(0.75), "0.75");
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", 1.5);
    EXPECT_STREQ(buf, "1.50");
    EXPECT_EQ(formatWithMask(1234.5678, "0.00"), "1234.57");
    EXPECT_EQ(formatWithMask(-0.004, "0.00"), "0.00");
    EXPECT_EQ(formatWithMask(0.125, "0.00"), "0.13") << "an exact half rounds away from zero";
    EXPECT_EQ(formatWithMask(-2.5, "0."), "-3");
    EXPECT_EQ(formatWithMask(0.1, "0.0000000000"), "0.1000000000");
    EXPECT_EQ(formatFixed(2.0, 5, 2), " 2.00");
    EXPECT_EQ(formatFixed(10.0, 5, 2), "10.00");
    std::setlocale(LC_ALL, "C");
    if (!ru)
        GTEST_SKIP() << "ru_RU.UTF-8 is not installed; checked under the C locale only";
}

TEST_F(FormFixture, HintRule)
{
    EXPECT_EQ(form->hintHideTimeout(form->FindDeviceLMDButton), 2000);
    EXPECT_EQ(form->hintHideTimeout(form->ModuleStatusLed), 2000);
    form->ModuleStatusLed->setToolTip("x\nНеобходимо обновить все QMX библиотеки до последней версии!!!");
    EXPECT_EQ(form->hintHideTimeout(form->ModuleStatusLed), 10000);
    EXPECT_EQ(form->hintHideTimeout(form->QmxCrateStatusLed), 2000);
    form->SelectedCrateTypeCode = 21;
    EXPECT_EQ(form->hintHideTimeout(form->QmxCrateStatusLed), 10000);
    form->SelectedCrateTypeCode = 10;
    form->QmxCrateStatusLed->setToolTip("обновить");
    EXPECT_EQ(form->hintHideTimeout(form->QmxCrateStatusLed), 10000);

    const QRect area(0, 0, 1280, 740);
    EXPECT_EQ(qmxtest::TestMainForm::placeHint(QRect(100, 100, 300, 50), area), QRect(100, 100, 300, 50));
    EXPECT_EQ(qmxtest::TestMainForm::placeHint(QRect(100, 700, 300, 50), area), QRect(100, 740 - 50 - 10, 300, 50));
    EXPECT_EQ(qmxtest::TestMainForm::placeHint(QRect(1100, 100, 300, 50), area), QRect(1280 - 300 - 10, 100, 300, 50));
    EXPECT_EQ(qmxtest::TestMainForm::placeHint(QRect(1100, 700, 300, 50), area), QRect(970, 680, 300, 50));
}

TEST(ScreenCheck, Boundary)
{
    EXPECT_TRUE(qmx::screenIsLargeEnough(QSize(1280, 768)));
    EXPECT_TRUE(qmx::screenIsLargeEnough(QSize(1920, 1080)));
    EXPECT_FALSE(qmx::screenIsLargeEnough(QSize(1279, 768)));
    EXPECT_FALSE(qmx::screenIsLargeEnough(QSize(1280, 767)));
    EXPECT_FALSE(qmx::screenIsLargeEnough(QSize()));
}

}  // namespace
