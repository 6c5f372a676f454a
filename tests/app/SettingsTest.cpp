// The settings file through the window: the factory file byte for byte, saving and loading
// round trips, the read defaults and clamps, hostile files and refused writes.

#include "Cp1251.h"
#include "TestMainForm.h"
#include "FormFixture.h"
#include "RateTable.h"
#include "SettingsKeys.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGuiApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <functional>
#include <iterator>
#include <random>

namespace {

using namespace qmx;
namespace S = qmx::settings;

// The factory file, written out from the key table: sections, keys in the order the
// factory writer uses, values, then Windows-1251 with CR LF.
const char* const kFactoryFileUtf8 =
    "[Приложение. Общие]\r\n"
    "Сохранение настроек=0\r\n"
    "Top    основной панели=-1\r\n"
    "Left   основной панели=-1\r\n"
    "Источник загрузки корректировочных коэфф.=0\r\n"
    "[Приложение. Обнаружение]\r\n"
    "Серийный номер QMX крейта=\r\n"
    "Слот модуля=-1\r\n"
    "[Модуль QMX58]\r\n"
    "АЦП. Метод расчёта измеряемых величин=fft\r\n"
    "АЦП. Тип амплитуды=rms\r\n"
    "АЦП. Mаксимальное время сбора данных, с=0.75\r\n"
    "АЦП. Разрядность данных=0\r\n"
    "АЦП. Значение источника тока=0\r\n"
    "АЦП. Индекс частоты работы АЦП=15\r\n"
    "АЦП. Групповое управление каналами=0\r\n"
    "АЦП. Управление каналом 1=1\r\n"
    "АЦП. Управление каналом 2=1\r\n"
    "АЦП. Управление каналом 3=1\r\n"
    "АЦП. Управление каналом 4=1\r\n"
    "АЦП. Групповое управление типом входного подключения=0\r\n"
    "АЦП. Управление типом входного подключения канала 1=0\r\n"
    "АЦП. Управление типом входного подключения канала 2=0\r\n"
    "АЦП. Управление типом входного подключения канала 3=0\r\n"
    "АЦП. Управление типом входного подключения канала 4=0\r\n"
    "АЦП. Групповое управление входным диапазоном дифф. каналов=1\r\n"
    "АЦП. Управление входным диапазоном дифф. канала 1=1\r\n"
    "АЦП. Управление входным диапазоном дифф. канала 2=1\r\n"
    "АЦП. Управление входным диапазоном дифф. канала 3=1\r\n"
    "АЦП. Управление входным диапазоном дифф. канала 4=1\r\n"
    "АЦП. Групповое управление входным диапазоном ICP каналов=1\r\n"
    "АЦП. Управление входным диапазоном ICP канала 1=1\r\n"
    "АЦП. Управление входным диапазоном ICP канала 2=1\r\n"
    "АЦП. Управление входным диапазоном ICP канала 3=1\r\n"
    "АЦП. Управление входным диапазоном ICP канала 4=1\r\n"
    "АЦП. Групповое управление методом вычисления параметров=1\r\n"
    "АЦП. Управление методом вычисления параметров для канала 1=1\r\n"
    "АЦП. Управление методом вычисления параметров для канала 2=1\r\n"
    "АЦП. Управление методом вычисления параметров для канала 3=1\r\n"
    "АЦП. Управление методом вычисления параметров для канала 4=1\r\n"
    "АЦП. Диапазон дифф. входа  2.00 В. DC precision=2\r\n"
    "АЦП. Диапазон дифф. входа  2.00 В. AC precision=2\r\n"
    "АЦП. Диапазон дифф. входа  2.00 В. FR precision=5\r\n"
    "АЦП. Диапазон дифф. входа  2.00 В. PH precision=3\r\n"
    "АЦП. Диапазон дифф. входа 10.00 В. DC precision=2\r\n"
    "АЦП. Диапазон дифф. входа 10.00 В. AC precision=2\r\n"
    "АЦП. Диапазон дифф. входа 10.00 В. FR precision=5\r\n"
    "АЦП. Диапазон дифф. входа 10.00 В. PH precision=3\r\n"
    "АЦП. Диапазон ICP входа  1.00 В. AC precision=2\r\n"
    "АЦП. Диапазон ICP входа  1.00 В. FR precision=5\r\n"
    "АЦП. Диапазон ICP входа  1.00 В. PH precision=3\r\n"
    "АЦП. Диапазон ICP входа  5.00 В. AC precision=2\r\n"
    "АЦП. Диапазон ICP входа  5.00 В. FR precision=5\r\n"
    "АЦП. Диапазон ICP входа  5.00 В. PH precision=3\r\n";

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray cp1251(const std::string& utf8)
{
    const std::string b = qmx::utf8ToCp1251(utf8);
    return QByteArray(b.data(), static_cast<int>(b.size()));
}

class Settings : public qmxtest::FormFixture {
protected:
    QString path() const { return form->settingsPath(); }
    std::unique_ptr<IniFile> ensure()
    {
        QString message;
        auto f = form->EnsureSettingsFile(message);
        EXPECT_TRUE(message.isEmpty()) << message.toStdString();
        return f;
    }
    void load(qmxtest::TestMainForm& w)
    {
        QString message;
        auto f = w.EnsureSettingsFile(message);
        ASSERT_TRUE(f);
        ASSERT_TRUE(w.LoadSettings(f.get(), true));
    }
    std::unique_ptr<qmxtest::TestMainForm> freshForm()
    {
        MainFormOptions o;
        o.programFolder = folder.path();
        o.dialogs = &dialogs;
        return std::make_unique<qmxtest::TestMainForm>(o);
    }
    TQmx58AdcChannelFrame* frame(int ch) const { return form->Frames[static_cast<std::size_t>(ch)]; }
};

TEST_F(Settings, FactoryFileByteForByte)
{
    ASSERT_FALSE(QFile::exists(path()));
    auto f = ensure();
    ASSERT_TRUE(f);
    EXPECT_EQ(readAll(path()), cp1251(kFactoryFileUtf8));
    EXPECT_TRUE(form->holdsSettingsFile());
    // The factory writer again over an existing file changes nothing.
    form->SaveDefaultSettingsClick();
    EXPECT_EQ(readAll(path()), cp1251(kFactoryFileUtf8));
    EXPECT_TRUE(dialogs.shown.empty());
}

// Each operation on the settings file replaces it once: the factory file at the first
// discovery, the factory settings from the menu, the current settings from the Save button,
// from the menu and at closing with auto-save on.
TEST_F(Settings, EachOperationReplacesTheFileOnce)
{
    long before = IniFile::replacements();
    auto f = ensure();
    EXPECT_EQ(IniFile::replacements() - before, 1) << "factory file";
    ASSERT_TRUE(form->LoadSettings(f.get(), true));
    const std::function<void()> operations[] = {
        [&] { form->SaveDefaultSettings->trigger(); },
        [&] { form->SaveSettingsButton->click(); },
        [&] { form->SaveCurrentSettings->trigger(); },
        [&] {
            form->AutoSaveSettingsLMDCheckBox->setChecked(true);
            form->close();
        },
    };
    for (std::size_t i = 0; i < std::size(operations); ++i) {
        before = IniFile::replacements();
        operations[i]();
        EXPECT_EQ(IniFile::replacements() - before, 1) << i;
    }
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(IniFile(path().toStdString()).ReadBool(S::kApp, S::kAutoSave, false));
}

// No file: it is created with the factory values and read: all four channels on, the group
// box checked, mode 0, 10 V, 5 V and AC from the group keys.
TEST_F(Settings, NoFileGivesTheFactorySettings)
{
    form->ModuleHandle.moduleInfo.icpCapable = 1;
    load(*form);
    EXPECT_EQ(form->AllChannelsLMDCheckBox->checkState(), Qt::Checked);
    EXPECT_EQ(form->CommonInputConnectionModeLMDComboBox->count(), 3);
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_TRUE(frame(ch)->ChannelNumberLMDCheckBox->isChecked());
        EXPECT_EQ(frame(ch)->InputConnectionModeLMDComboBox->currentIndex(), 0);
        EXPECT_EQ(frame(ch)->DiffInputRangeLMDComboBox->currentIndex(), 1);
        EXPECT_EQ(frame(ch)->IcpInputRangeLMDComboBox->currentIndex(), 1);
        EXPECT_EQ(frame(ch)->ComputationMethodLMDComboBox->currentIndex(), 1);
    }
    EXPECT_EQ(form->AdcRateComboBox->currentIndex(), 15);
    EXPECT_EQ(form->DataFormatLMDComboBox->currentIndex(), 0);
    EXPECT_EQ(form->CurrentValueLMDComboBox->currentIndex(), 0);
    EXPECT_EQ(form->MaxAcquisitionTime, 0.75);
    EXPECT_EQ(form->ComputationModeLabLMDLabel->text(), "fft");
    EXPECT_EQ(form->AmplitudeTypeLabLMDLabel->text(), "rms");
    EXPECT_TRUE(frame(0)->BasePhaseChannelLMDRadioButton->isChecked());
    EXPECT_TRUE(form->PhaseCorrectionFilterMultimeterLMDCheckBox->isChecked());
    EXPECT_EQ(form->DisplayMask[S::FrDiff][0], "0.00000");
    EXPECT_EQ(form->DisplayMask[S::PhIcp][1], "0.000");
    EXPECT_EQ(form->UpdateGuard.load(), 0);
}

// An empty file, or one without the module section: every setting takes its read default.
TEST_F(Settings, EmptyFileReadsDefaults)
{
    for (const QByteArray& content : {QByteArray(), cp1251("[Приложение. Общие]\r\nСохранение настроек=1\r\n")}) {
        writeAll(path(), content);
        load(*form);
        EXPECT_EQ(form->MaxAcquisitionTime, 1.0);
        EXPECT_EQ(form->AllChannelsLMDCheckBox->checkState(), Qt::Checked) << "AllChannels reads true";
        EXPECT_EQ(form->AdcRateComboBox->currentIndex(), 15);
        EXPECT_EQ(form->CommonInputConnectionModeLMDComboBox->count(), 2) << "no ICP module: two modes";
        EXPECT_EQ(form->CurrentValueLMDComboBox->currentIndex(), -1);
        EXPECT_FALSE(form->PhaseCorrectionFilterMultimeterLMDCheckBox->isChecked());
    }
    EXPECT_TRUE(form->AutoSaveSettingsLMDCheckBox->isChecked());
    EXPECT_FALSE(form->SaveSettingsButton->isEnabled()) << "auto-save on disables the Save button";
}

TEST_F(Settings, PrecisionsAreClampedToTenDigits)
{
    auto f = ensure();
    struct Case { S::PrecisionRow row; int range; int written; int expected; };
    const Case cases[] = {{S::DcDiff, 0, 11, 10}, {S::AcDiff, 1, 65535, 10}, {S::FrDiff, 0, -1, 10},
                          {S::PhDiff, 1, 65538, 2}, {S::AcIcp, 0, 0, 0}, {S::PhIcp, 1, 7, 7}};
    for (const Case& c : cases) {
        const double range = S::kPrecisionRows[c.row].icp ? IcpRanges[c.range] : DiffRanges[c.range];
        f->WriteInteger(S::kModule, S::precisionKey(c.row, range), c.written);
    }
    form->LoadSettings(f.get(), false);
    for (const Case& c : cases) {
        EXPECT_EQ(form->Precision[c.row][c.range], c.expected) << c.written;
        EXPECT_EQ(form->DisplayMask[c.row][c.range], "0." + QString(c.expected, '0')) << c.written;
    }
}

// Group and channel indices outside their lists leave the selector blank, and a blank group
// selector makes the channels read their own keys; mode 2 without ICP falls back or blanks.
TEST_F(Settings, IndicesOutsideTheListsAndModesWithoutIcp)
{
    auto f = ensure();
    f->WriteInteger(S::kModule, S::kGroupConnectionMode, 7);
    f->WriteInteger(S::kModule, S::channelKey(S::kChannelConnectionMode, 0), 1);
    f->WriteInteger(S::kModule, S::channelKey(S::kChannelConnectionMode, 1), 2);
    f->WriteInteger(S::kModule, S::channelKey(S::kChannelConnectionMode, 2), 9);
    f->WriteInteger(S::kModule, S::kGroupDiffRange, -1);
    f->WriteInteger(S::kModule, S::channelKey(S::kChannelDiffRange, 3), 0);
    f->WriteInteger(S::kModule, S::channelKey(S::kChannelDiffRange, 2), 5);
    f->WriteInteger(S::kModule, S::kAdcRate, 16);
    f->WriteInteger(S::kModule, S::kReferenceChannel, 7);
    form->LoadSettings(f.get(), false);
    EXPECT_EQ(form->CommonInputConnectionModeLMDComboBox->currentIndex(), -1);
    EXPECT_EQ(frame(0)->InputConnectionModeLMDComboBox->currentIndex(), 1);
    EXPECT_EQ(frame(1)->InputConnectionModeLMDComboBox->currentIndex(), -1) << "mode 2 on a module without ICP";
    EXPECT_EQ(frame(2)->InputConnectionModeLMDComboBox->currentIndex(), -1);
    EXPECT_EQ(frame(3)->InputConnectionModeLMDComboBox->currentIndex(), 0);
    EXPECT_EQ(frame(3)->DiffInputRangeLMDComboBox->currentIndex(), 0);
    EXPECT_EQ(frame(2)->DiffInputRangeLMDComboBox->currentIndex(), -1);
    EXPECT_EQ(frame(0)->DiffInputRangeLMDComboBox->currentIndex(), 1);
    EXPECT_EQ(form->AdcRateComboBox->currentIndex(), -1);
    EXPECT_EQ(form->ReferenceChannel, 7);
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_FALSE(frame(ch)->BasePhaseChannelLMDRadioButton->isChecked()) << "a reference outside 0..3 checks nothing";

    f->WriteInteger(S::kModule, S::kGroupConnectionMode, 2);
    form->LoadSettings(f.get(), false);
    EXPECT_EQ(form->CommonInputConnectionModeLMDComboBox->currentIndex(), 0) << "group mode 2 without ICP reads as 0";
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_EQ(frame(ch)->InputConnectionModeLMDComboBox->currentIndex(), 0);
}

// Settings changed in the window, saved, and loaded into a fresh window come back equal;
// the keys the current writer does not know keep their bytes; without a selected crate the
// serial and slot stay as they were.
TEST_F(Settings, SaveAndLoadRoundTrip)
{
    form->ModuleHandle.moduleInfo.icpCapable = 1;
    auto f = ensure();
    f->WriteString(S::kModule, S::kComputationMethod, "sum");
    f->WriteString(S::kDiscovery, S::kCrateSerial, "SIM-A8-0001");
    f->WriteInteger(S::kDiscovery, S::kModuleSlot, 7);
    f->WriteString("Чужая секция", "ключ", "значение");
    form->LoadSettings(f.get(), false);

    form->UpdateGuard = 1;
    form->AutoSaveSettingsLMDCheckBox->setChecked(true);
    form->DataFormatLMDComboBox->setCurrentIndex(1);
    form->CurrentValueLMDComboBox->setCurrentIndex(1);
    form->AdcRateComboBox->setCurrentIndex(3);
    form->CommonInputConnectionModeLMDComboBox->setCurrentIndex(-1);
    form->CommonDiffInputRangeLMDComboBox->setCurrentIndex(-1);
    form->CommonComputationMethodLMDComboBox->setCurrentIndex(-1);
    const int modes[4] = {0, 1, 2, 0}, diff[4] = {0, 1, 0, 1}, icp[4] = {1, 0, 0, 1}, method[4] = {0, 1, 1, 1};
    for (int ch = 0; ch < 4; ++ch) {
        frame(ch)->ChannelNumberLMDCheckBox->setChecked(ch != 2);
        frame(ch)->InputConnectionModeLMDComboBox->setCurrentIndex(modes[ch]);
        frame(ch)->DiffInputRangeLMDComboBox->setCurrentIndex(diff[ch]);
        frame(ch)->IcpInputRangeLMDComboBox->setCurrentIndex(icp[ch]);
        frame(ch)->ComputationMethodLMDComboBox->setCurrentIndex(method[ch]);
    }
    form->CommonIcpInputRangeLMDComboBox->setCurrentIndex(-1);
    form->AllChannelsLMDCheckBox->setCheckState(Qt::PartiallyChecked);
    form->UpdateGuard = 0;
    form->SaveIniFile(path());
    const QByteArray after = readAll(path());
    EXPECT_NE(after.indexOf(cp1251("АЦП. Метод расчёта измеряемых величин=sum\r\n")), -1);
    EXPECT_NE(after.indexOf(cp1251("Серийный номер QMX крейта=SIM-A8-0001\r\n")), -1);
    EXPECT_NE(after.indexOf(cp1251("Слот модуля=7\r\n")), -1);
    EXPECT_NE(after.indexOf(cp1251("[Чужая секция]\r\nключ=значение\r\n")), -1);

    auto other = freshForm();
    other->ModuleHandle.moduleInfo.icpCapable = 1;
    load(*other);
    EXPECT_TRUE(other->AutoSaveSettingsLMDCheckBox->isChecked());
    EXPECT_EQ(other->DataFormatLMDComboBox->currentIndex(), 1);
    EXPECT_EQ(other->CurrentValueLMDComboBox->currentIndex(), 1);
    EXPECT_EQ(other->AdcRateComboBox->currentIndex(), 3);
    EXPECT_EQ(other->ComputationMethod, "sum");
    EXPECT_EQ(other->AllChannelsLMDCheckBox->checkState(), Qt::PartiallyChecked);
    for (int ch = 0; ch < 4; ++ch) {
        TQmx58AdcChannelFrame* fr = other->Frames[static_cast<std::size_t>(ch)];
        EXPECT_EQ(fr->ChannelNumberLMDCheckBox->isChecked(), ch != 2) << ch;
        EXPECT_EQ(fr->InputConnectionModeLMDComboBox->currentIndex(), modes[ch]) << ch;
        EXPECT_EQ(fr->DiffInputRangeLMDComboBox->currentIndex(), diff[ch]) << ch;
        EXPECT_EQ(fr->IcpInputRangeLMDComboBox->currentIndex(), icp[ch]) << ch;
        EXPECT_EQ(fr->ComputationMethodLMDComboBox->currentIndex(), method[ch]) << ch;
    }
}

TEST_F(Settings, CurrentSourceKeyIsLeftAloneWithoutIcp)
{
    auto f = ensure();
    f->WriteInteger(S::kModule, S::kCurrentSource, 1);
    form->LoadSettings(f.get(), false);
    EXPECT_EQ(form->CurrentValueLMDComboBox->currentIndex(), -1);
    form->SaveIniFile(path());
    EXPECT_EQ(IniFile(path().toStdString()).ReadInteger(S::kModule, S::kCurrentSource, 9), 1);
}

TEST_F(Settings, HostileFilesLoadWithDefaults)
{
    std::mt19937 rng(99);
    QByteArray junk(200000, '\0');
    for (char& c : junk)
        c = static_cast<char>(rng());
    const QByteArray hostile[] = {
        junk,
        QByteArray(10 * 1024 * 1024, 'z'),
        cp1251("[Модуль QMX58]\rАЦП. Индекс частоты работы АЦП=3\r"),
        cp1251("[Модуль QMX58]\nАЦП. Индекс частоты работы АЦП=4\n"),
        QByteArray("\xEF\xBB\xBF") + cp1251("[Модуль QMX58]\r\nАЦП. Индекс частоты работы АЦП=5"),
        cp1251("[Модуль QMX58]\r\nАЦП. Индекс частоты работы АЦП=12abc\r\n[Модуль QMX58]\r\nАЦП. Индекс частоты работы АЦП=2\r\n"),
        cp1251("[Модуль QMX58]\r\nАЦП. Индекс частоты работы АЦП=0x1F\r\nАЦП. Разрядность данных=2147483648\r\n"),
        cp1251("[Модуль QMX58]\r\n  АЦП. Тип амплитуды  =  \"a m p\"  \r\n"),
    };
    const int expectedRate[] = {15, 15, 3, 4, 5, 15, -1, 15};
    for (std::size_t i = 0; i < std::size(hostile); ++i) {
        writeAll(path(), hostile[i]);
        IniFile f(path().toStdString());
        ASSERT_TRUE(form->LoadSettings(&f, false)) << i;
        EXPECT_EQ(form->AdcRateComboBox->currentIndex(), expectedRate[i]) << i;
        EXPECT_EQ(form->DataFormatLMDComboBox->currentIndex(), 0) << i;
        // Saving keeps every byte that was there before the first written key's section.
        form->SaveIniFile(path());
        const QByteArray after = readAll(path());
        if (i < 2) {
            EXPECT_TRUE(after.startsWith(hostile[i])) << i;
        }
    }
    EXPECT_EQ(form->AmplitudeType, "a m p");
    EXPECT_TRUE(dialogs.shown.empty());
}

// A write the file system refuses: each part of the routine shows its own message (the
// current settings try the module part too), then the write error with the file's path; the
// window stays usable: the Save button is enabled again and the guard is clear; closing with
// auto-save on keeps the window open so that nothing is lost silently.
TEST_F(Settings, RefusedWritesLeaveTheWindowUsable)
{
    ASSERT_TRUE(QDir(folder.path()).mkdir("Qmx58_Probe.ini"));
    auto texts = [&](std::size_t from) {
        QStringList out;
        for (std::size_t i = from; i < dialogs.shown.size(); ++i)
            out << dialogs.shown[i].caption + ": " + dialogs.shown[i].text;
        return out;
    };
    const QString unable = "Unable to write to " + path();
    form->SaveSettingsButton->click();
    EXPECT_EQ(texts(0), QStringList({"ОШИБКА SaveIniFile()!!!: Не могу сохранить файл настроек приложения!",
                                     "ОШИБКА SaveIniFile()!!!: Не могу сохранить файл настроек модуля!",
                                     QGuiApplication::applicationDisplayName() + ": " + unable}));
    EXPECT_EQ(dialogs.shown[0].icon, MsgIcon::Information);
    EXPECT_TRUE(form->SaveSettingsButton->isEnabled());
    EXPECT_EQ(form->UpdateGuard.load(), 0);

    std::size_t before = dialogs.shown.size();
    form->SaveDefaultSettingsClick();
    EXPECT_EQ(texts(before), QStringList({"ОШИБКА CreateDefaultIniFile()!: Не могу создать файл обычных настроек для приложения!",
                                          QGuiApplication::applicationDisplayName() + ": " + unable}));

    form->AutoSaveSettingsLMDCheckBox->setChecked(true);
    EXPECT_FALSE(form->SaveSettingsButton->isEnabled());
    before = dialogs.shown.size();
    EXPECT_FALSE(form->close());
    EXPECT_EQ(form->UpdateGuard.load(), 0);
    ASSERT_EQ(dialogs.shown.size(), before + 3);
    EXPECT_EQ(dialogs.shown.back().text, unable);

    // Once the file can be written, closing saves and closes.
    ASSERT_TRUE(QDir(folder.path()).rmdir("Qmx58_Probe.ini"));
    EXPECT_TRUE(form->close());
    EXPECT_TRUE(IniFile(path().toStdString()).ReadBool(S::kApp, S::kAutoSave, false));
}

TEST_F(Settings, SaveButtonAndMenuItems)
{
    auto f = ensure();
    form->AutoSaveSettingsLMDCheckBox->setChecked(true);
    EXPECT_FALSE(form->SaveSettingsButton->isEnabled());
    form->SaveCurrentSettings->trigger();
    EXPECT_TRUE(form->SaveSettingsButton->isEnabled()) << "saving through the menu enables the button again";
    EXPECT_TRUE(IniFile(path().toStdString()).ReadBool(S::kApp, S::kAutoSave, false));
    form->AutoSaveSettingsLMDCheckBox->setChecked(false);
    EXPECT_TRUE(form->SaveSettingsButton->isEnabled());

    // The factory writer leaves the window as it is.
    form->UpdateGuard = 1;
    form->AdcRateComboBox->setCurrentIndex(4);
    form->UpdateGuard = 0;
    form->SaveDefaultSettings->trigger();
    EXPECT_EQ(form->AdcRateComboBox->currentIndex(), 4);
    EXPECT_EQ(IniFile(path().toStdString()).ReadInteger(S::kModule, S::kAdcRate, 0), 15);

    // Closing with auto-save off writes nothing.
    const QByteArray before = readAll(path());
    form->close();
    EXPECT_EQ(readAll(path()), before);
    EXPECT_FALSE(form->holdsSettingsFile());
}

}  // namespace
