// The status display and the discovery thread's message, applied to the window's widgets.

#include "MainForm.h"

#include "Led.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QWindow>

namespace qmx {

void TMainForm::ShowStatus(const StatusInput& in)
{
    const std::uint8_t savedGuard = UpdateGuard;
    UpdateGuard = 1;
    const StatusView v = computeStatus(in);
    // The window system shows the caption followed by the application title unless the two
    // are equal, and it takes them when the caption is set: so the application title goes
    // first, and the caption is handed over again even when its text did not change.
    QGuiApplication::setApplicationDisplayName(v.title);
    setWindowTitle(v.title);
    if (QWindow* w = windowHandle())
        w->setTitle(v.title);
    if (v.clearCrateList)
        QmxCratesComboBox->clear();
    if (v.showCrate) {
        QmxCrateStatusLed->setBrushColor(v.crateColor);
        QmxCrateStatusLed->setToolTip(v.crateHint);
    }
    if (v.clearModuleList)
        ModulesComboBox->clear();
    ModuleStatusLed->setBrushColor(v.moduleColor);
    ModuleStatusLed->setToolTip(v.moduleHint);
    ModuleSerialNumberLMDLabel->setText(v.serialText);
    ModuleFirmwareVersionLMDLabel->setText(v.firmwareText);
    if (v.firmwareNeutral) {
        QPalette pal = ModuleFirmwareVersionLMDLabel->palette();
        pal.setColor(QPalette::Window, toQColor(kColorButtonFace, palette()));
        pal.setColor(QPalette::WindowText, Qt::black);
        ModuleFirmwareVersionLMDLabel->setPalette(pal);
    }
    ModuleFirmwareVersionLMDLabel->repaint();
    UpdateGuard = savedGuard;
}

void TMainForm::ShowDiscoveryMessage(bool& messageShown, const QString& text)
{
    if (messageShown)
        return;
    messageShown = true;
    dialogs().sizedMessageDialog(this, "Сообщение TInitAndConfigThread::Execute()!!!", DialogKind::Error, {"Принято"}, text);
}

}  // namespace qmx
