// The status display (every case of crate and module status), the discovery message shown
// once per step sequence, and the sized message dialog's layout.

#include "FormFixture.h"
#include "TestMainForm.h"
#include "Led.h"
#include "SizedMessageDialog.h"
#include "StatusDisplay.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

namespace {

using namespace qmx;

const QString kUpdate = "\nНеобходимо обновить все QMX библиотеки до последней версии!!!";

StatusInput result(bool crateOk, std::uint8_t type, std::uint8_t moduleState, bool libsOk, int mode = 3)
{
    StatusInput in;
    in.undetermined = false;
    in.mode = mode;
    in.crateOk = crateOk;
    in.crateTypeCode = type;
    in.crateTypeName = type == 21 ? "QMX-A1" : "QMX-A8";
    in.moduleName = "QMX58-2";
    in.moduleState = moduleState;
    in.librariesOk = libsOk;
    in.moduleSerial = "5812345";
    in.firmwareVersion = 17;
    in.programVersion = QString("1.0.3");
    return in;
}

TEST(StatusDisplay, CrateStatusCases)
{
    StatusView v = computeStatus(result(true, 10, 2, true));
    EXPECT_EQ(v.crateColor, 0x00FF00u);
    EXPECT_EQ(v.crateHint, "Статус 'QMX-A8' крейта -> OK");
    EXPECT_EQ(v.title, "QMX58_probe - 1.0.3");

    v = computeStatus(result(true, 21, 2, true));
    EXPECT_EQ(v.crateColor, 0x3E9EFFu);
    EXPECT_EQ(v.crateHint,
              "Статус 'QMX-A1' крейта -> OK\nДля крейта 'QMX-A1' максимальная скорость передачи данных составляет "
              "800 Кбайт/с.\nПоэтому для модуля 'QMX58-2', например, при 4-х канальном сборе 20-ти битных данных\n"
              "частота АЦП не должна превышать 50.0 кГц!!!");

    v = computeStatus(result(true, 10, 2, false));
    EXPECT_EQ(v.crateColor, 0x4080FFu) << "a too-old library turns green into orange";
    EXPECT_EQ(v.moduleColor, 0x4080FFu);
    EXPECT_TRUE(v.crateHint.endsWith(kUpdate));
    EXPECT_TRUE(v.moduleHint.endsWith(kUpdate));

    v = computeStatus(result(false, 10, 0, true));
    EXPECT_EQ(v.crateColor, 0x0000FFu);
    EXPECT_EQ(v.crateHint, "Статус QMX крейта -> BAD");

    StatusInput noName = result(true, 10, 2, true);
    noName.crateTypeName.clear();
    noName.moduleName.clear();
    v = computeStatus(noName);
    EXPECT_EQ(v.crateHint, "Статус '\?\?\?' крейта -> OK");
    EXPECT_EQ(v.moduleHint, "Статус модуля '\?\?\?' -> OK");

    EXPECT_FALSE(computeStatus(result(true, 10, 2, true, 1)).showCrate) << "mode 1 leaves the crate LED";
    EXPECT_TRUE(computeStatus(result(true, 10, 2, true, 2)).showCrate);
}

TEST(StatusDisplay, ModuleStatusLabelsAndTitle)
{
    StatusView v = computeStatus(result(true, 10, 2, true));
    EXPECT_EQ(v.moduleHint, "Статус модуля 'QMX58-2' -> OK");
    EXPECT_EQ(v.moduleColor, 0x00FF00u);
    EXPECT_EQ(v.serialText, "5812345");
    EXPECT_EQ(v.firmwareText, "17");
    EXPECT_FALSE(v.firmwareNeutral);

    for (std::uint8_t state : {0, 1}) {
        v = computeStatus(result(true, 10, state, true));
        EXPECT_EQ(v.moduleHint, "Статус модуля 'QMX58-2' -> BAD");
        EXPECT_EQ(v.moduleColor, 0x0000FFu);
        EXPECT_EQ(v.serialText, "????????");
        EXPECT_EQ(v.firmwareText, "????????");
        EXPECT_TRUE(v.firmwareNeutral);
    }

    StatusInput und = result(true, 10, 2, false, 3);
    und.undetermined = true;
    v = computeStatus(und);
    EXPECT_EQ(v.title, "QMX58_probe - ?.?.?");
    EXPECT_TRUE(v.clearCrateList);
    EXPECT_TRUE(v.clearModuleList);
    EXPECT_EQ(v.crateColor, kColorButtonFace);
    EXPECT_EQ(v.crateHint, "Статус 'QMX-A8' крейта -> ???" + kUpdate);
    EXPECT_EQ(v.moduleHint, "Статус модуля 'QMX58-2'-> ???" + kUpdate);
    EXPECT_EQ(v.serialText, "????????");
    und.mode = 2;
    EXPECT_FALSE(computeStatus(und).clearCrateList);

    StatusInput unversioned = result(true, 10, 2, true);
    unversioned.programVersion.reset();
    EXPECT_EQ(computeStatus(unversioned).title, "");
}

class StatusOnForm : public qmxtest::FormFixture {};

TEST_F(StatusOnForm, ShowStatusPaintsTheWidgets)
{
    form->QmxCratesComboBox->addItem("1: SIM-A");
    StatusInput in = result(true, 21, 2, true);
    form->ShowStatus(in);
    EXPECT_EQ(form->windowTitle(), "QMX58_probe - 1.0.3");
    EXPECT_EQ(form->QmxCrateStatusLed->brushColor(), 0x3E9EFFu);
    EXPECT_TRUE(form->QmxCrateStatusLed->toolTip().contains("800 Кбайт/с"));
    EXPECT_EQ(form->ModuleStatusLed->brushColor(), 0x00FF00u);
    EXPECT_EQ(form->ModuleSerialNumberLMDLabel->text(), "5812345");
    EXPECT_EQ(form->ModuleFirmwareVersionLMDLabel->text(), "17");
    EXPECT_EQ(form->QmxCratesComboBox->count(), 1);
    EXPECT_EQ(form->UpdateGuard.load(), 0);

    in.undetermined = true;
    form->ShowStatus(in);
    EXPECT_EQ(form->QmxCratesComboBox->count(), 0) << "mode 3 clears the lists while undetermined";
    EXPECT_EQ(form->windowTitle(), "QMX58_probe - ?.?.?");
    EXPECT_EQ(form->ModuleFirmwareVersionLMDLabel->palette().color(QPalette::WindowText), QColor(Qt::black));
}

TEST_F(StatusOnForm, DiscoveryMessageOncePerSequence)
{
    bool shown = false;
    form->ShowDiscoveryMessage(shown, "Первая");
    form->ShowDiscoveryMessage(shown, "Вторая");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    const qmxtest::RecordedDialog& d = dialogs.shown[0];
    EXPECT_TRUE(d.sized);
    EXPECT_EQ(d.caption, "Сообщение TInitAndConfigThread::Execute()!!!");
    EXPECT_EQ(d.kind, DialogKind::Error);
    EXPECT_EQ(d.buttons, QStringList{"Принято"});
    EXPECT_EQ(d.text, "Первая");
}

TEST(SizedMessageDialog, SizesFollowTheRules)
{
    const QString text = QString("Очень длинное сообщение об ошибке, которое не помещается в одну строку. ").repeated(6);
    SizedMessageDialog dlg(nullptr, "Сообщение TMainThread::Execute()!!!", DialogKind::Error, {"Принято"}, text);
    EXPECT_EQ(dlg.windowTitle(), "Сообщение TMainThread::Execute()!!!");
    EXPECT_EQ(dlg.width(), 570);
    EXPECT_EQ(dlg.font().pointSize(), 12);
    EXPECT_TRUE(dlg.textLabel()->wordWrap());
    ASSERT_EQ(dlg.buttons().size(), 1);
    QPushButton* b = dlg.buttons()[0];
    const QFontMetrics fm(dlg.font());
    EXPECT_EQ(b->text(), "Принято");
    EXPECT_EQ(b->height(), fm.height() + 15);
    EXPECT_EQ(b->width(), fm.horizontalAdvance("Принято") + 20);
    EXPECT_EQ(b->y(), dlg.textLabel()->geometry().bottom() + 1 + 10);
    EXPECT_NEAR(b->x() + b->width() / 2.0, 570 / 2.0, 1.0) << "centred";
    EXPECT_EQ(dlg.height(), b->y() + b->height() + 10);
    EXPECT_GT(dlg.textLabel()->height(), fm.height() * 2) << "the long text wraps";
    EXPECT_EQ(dlg.palette().color(QPalette::Window), QColor(0xFF, 0x80, 0x20));
    EXPECT_EQ(dlg.palette().color(QPalette::WindowText), QColor(Qt::white));

    SizedMessageDialog info(nullptr, "c", DialogKind::Information, {"Да", "Нет"}, "t");
    ASSERT_EQ(info.buttons().size(), 2);
    EXPECT_EQ(info.buttons()[0]->y(), info.buttons()[1]->y());
    EXPECT_LT(info.buttons()[0]->x() + info.buttons()[0]->width(), info.buttons()[1]->x());
    info.buttons()[1]->click();
    EXPECT_EQ(info.clickedIndex(), 1);
}

}  // namespace

namespace {

// The title carries the program's own file version, read from the program file; a file
// without a version record gives an empty title.
TEST(StatusTitle, ProgramVersionFromItsFile)
{
    qmxtest::RecordingDialogSeam seam;
    qmx::MainFormOptions o;
    o.dialogs = &seam;
    o.programFile = QMX_TEST_PROGRAM_FILE;
    {
        qmxtest::TestMainForm form(o);
        ASSERT_TRUE(form.programVersion().has_value());
        EXPECT_EQ(*form.programVersion(), QMX_TEST_PROGRAM_VERSION);
        qmx::StatusInput in;
        in.undetermined = false;
        in.programVersion = form.programVersion();
        form.ShowStatus(in);
        EXPECT_EQ(form.windowTitle(), QString("QMX58_probe - ") + QMX_TEST_PROGRAM_VERSION);
    }
    o.programFile = QMX_TEST_UNVERSIONED_FILE;
    qmxtest::TestMainForm form(o);
    EXPECT_FALSE(form.programVersion().has_value());
    qmx::StatusInput in;
    in.undetermined = false;
    in.programVersion = form.programVersion();
    form.ShowStatus(in);
    EXPECT_EQ(form.windowTitle(), "");
}

}  // namespace
