// Qmx58_Probe_User: the program entry. Checks the screen, creates the main window and runs.

#include "MainForm.h"
#include "QtDialogSeam.h"
#include "ScreenCheck.h"
#include "ProgramPath.h"
#include "SettingsLocation.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QScreen>

#include <exception>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("QMX58_Probe");
    QGuiApplication::setApplicationDisplayName("QMX58_Probe");
    // The menu entry the package installs: desktops match the window to it and take its icon.
    QGuiApplication::setDesktopFileName("qmx58-probe");
    qmx::QtDialogSeam dialogs;
    try {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const QSize size = screen ? screen->size() : QSize();
        if (!qmx::screenIsLargeEnough(size)) {
            dialogs.messageBox(nullptr, qmx::kScreenTooSmallText, qmx::kScreenTooSmallCaption, qmx::MsgIcon::None);
            return 0;
        }
        qmx::MainFormOptions options;
        // The folder of the settings file: beside the program, or the user's configuration
        // folder for an installed program or a folder the user may not write.
        // Kept as bytes end to end: the program may run from a folder whose name is no valid UTF-8.
        options.programFolderBytes =
            qmx::settings::settingsFolder(qmx::platform::folderOfBytes(qmx::platform::programFileBytes()));
        options.programFolder = QFile::decodeName(QByteArray::fromStdString(options.programFolderBytes));
        options.dialogs = &dialogs;
        qmx::TMainForm form(options);
        form.show();
        return QApplication::exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "QMX58_Probe", QString::fromUtf8(e.what()));
    }
    return 0;
}
