// Qmx58_Probe_User: the program entry. Checks the screen, creates the main window and runs.

#include "MainForm.h"
#include "QtDialogSeam.h"
#include "ScreenCheck.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include <exception>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("QMX58_Probe");
    QGuiApplication::setApplicationDisplayName("QMX58_Probe");
    qmx::QtDialogSeam dialogs;
    try {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const QSize size = screen ? screen->size() : QSize();
        if (!qmx::screenIsLargeEnough(size)) {
            dialogs.messageBox(nullptr, qmx::kScreenTooSmallText, qmx::kScreenTooSmallCaption, qmx::MsgIcon::None);
            return 0;
        }
        qmx::MainFormOptions options;
        options.programFolder = QCoreApplication::applicationDirPath();
        options.dialogs = &dialogs;
        qmx::TMainForm form(options);
        form.show();
        return QApplication::exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "QMX58_Probe", QString::fromUtf8(e.what()));
    }
    return 0;
}
