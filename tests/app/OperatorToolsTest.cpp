// What an operator finds on the window without the manual, end to end against the simulated
// server: the method, amplitude type and frame length shown beside the controls, the tools
// button that opens the window's menu at any time, the hints, the reading boxes as a screen
// reader reads them, and the signal view's place and options kept between starts.

#include "AcquisitionFixture.h"
#include "SignalView.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QHelpEvent>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <QToolTip>

#include <cmath>

namespace {

using namespace qmx;
using namespace qmxtest;

class OperatorTools : public AcquisitionFixture {
protected:
    QString described(int ch, int n) const
    {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(box(ch, n));
        return a ? a->text(QAccessible::Description) : QString("(no interface)");
    }
    QString accessibleName(int ch, int n) const
    {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(box(ch, n));
        return a ? a->text(QAccessible::Name) : QString("(no interface)");
    }
    // The item `action` picked from the menu the tools button opens, as a pointer click does.
    // Returns whether the menu that opened was the window's menu and held the item.
    bool pickFromToolsMenu(QAction* action)
    {
        bool found = false;
        QTimer::singleShot(50, form.get(), [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu)
                return;
            if (menu == form->PopupMenu && menu->actions().contains(action) && action->isEnabled()) {
                found = true;
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
            } else {
                menu->close();
            }
        });
        QTest::mouseClick(form->ToolsMenuButton, Qt::LeftButton);
        QTest::qWait(100);
        return found;
    }
};

// The two information panels show what the readings are made with, and change with the menu;
// the reading boxes say the same to a screen reader, held when the run ends.
TEST_F(OperatorTools, InformationPanelsAndReadingsAsAScreenReaderReadsThem)
{
    setUpModule({}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{true, 0, 1, 0}, ChannelSetup{false}});
    ASSERT_TRUE(child<QWidget>("ComputationInfoLMDSimplePanel")->isVisibleTo(form.get()));
    ASSERT_TRUE(child<QWidget>("AcquisitionTimeLMDSimplePanel")->isVisibleTo(form.get()));
    auto* method = child<QLabel>("ComputationModeLabLMDLabel");
    auto* amplitude = child<QLabel>("AmplitudeTypeLabLMDLabel");
    EXPECT_EQ(method->text(), "fft");
    EXPECT_EQ(amplitude->text(), "rms");
    EXPECT_EQ(form->size(), QSize(TMainForm::kClientWidth, std::min(TMainForm::kClientHeight, TestMainForm::workArea(form.get()).height())));

    runFrames(1);
    // 0.1 s at 117187.5 Hz: the "fft" frame is 2^14 conversions, 139.8 ms.
    EXPECT_EQ(thread()->SamplesPerChannel, 16384);
    EXPECT_EQ(form->AcquisitionTimeLMDLabel->text(), "139.8");
    EXPECT_EQ(accessibleName(0, 1), "Канал 1, напряжение");
    EXPECT_EQ(described(0, 1), "Канал 1, напряжение, " + box(0, 1)->text() + " мВ");
    EXPECT_EQ(box(0, 1)->text(), "707.11");
    EXPECT_EQ(described(0, 2), "Канал 1, частота, " + box(0, 2)->text() + " кГц");
    EXPECT_EQ(described(1, 3), "Канал 2, фаза, " + box(1, 3)->text() + " Град");
    EXPECT_EQ(described(2, 1), "Канал 3, напряжение, " + box(2, 1)->text() + " мВ");  // DC
    EXPECT_EQ(described(2, 2), "Канал 3, частота, нет показания");
    EXPECT_EQ(described(3, 1), "Канал 4, напряжение, нет показания");  // off

    // The method from the menu: the panel says so at once, and the restarted run's frame is
    // the "sum" frame of 0.1 s (11718 conversions, 100.0 ms).
    form->MethodSumAction->trigger();
    EXPECT_EQ(method->text(), "sum");
    const long before = frames();
    ASSERT_TRUE(QTest::qWaitFor([&] { return thread() && thread()->Settings.ComputationMethod == "sum" && frames() >= 1 &&
                                             form->AcquisitionTimeLMDLabel->text() == "100.0"; },
                                10000))
        << form->AcquisitionTimeLMDLabel->text().toStdString() << " " << before;
    form->AmplitudeAmpAction->trigger();
    EXPECT_EQ(amplitude->text(), "amp");
    ASSERT_TRUE(QTest::qWaitFor([&] { return box(0, 1)->text() == "1000.00"; }, 10000)) << box(0, 1)->text().toStdString();
    EXPECT_EQ(described(0, 1), "Канал 1, напряжение, 1000.00 мВ");

    form->StopThread();
    EXPECT_EQ(described(0, 1), "Канал 1, напряжение, 1000.00 мВ; показание последнего кадра, измерение остановлено");
}

// After a discovery the right click no longer opens the menu; the tools button at the end of
// the tab row opens it at any time, with every item's short cut, and shows the recording.
// The voltage boxes' hint lists the short cuts in the window's font, beside the pointer.
TEST_F(OperatorTools, ToolsButtonReachesEveryItemAfterADiscovery)
{
    form->requestDiscovery(3, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->DiscoveryRunning == 0 && form->DiscoveryMayBeRequested == 1; }, 30000));
    EXPECT_FALSE(form->contextMenuEnabled());
    ASSERT_NE(form->ToolsMenuButton, nullptr);
    EXPECT_TRUE(form->ToolsMenuButton->isVisibleTo(form.get()));
    EXPECT_TRUE(form->ToolsMenuButton->isEnabled());
    const QAccessibleInterface* button = QAccessible::queryAccessibleInterface(form->ToolsMenuButton);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(QAccessible::Name), "Инструменты");

    // Every added item is in the menu, with its short cut shown.
    QList<QAction*> all;
    for (QAction* a : form->PopupMenu->actions()) {
        all << a;
        if (a->menu())
            all << a->menu()->actions();
    }
    for (QAction* a : {form->MethodFftAction, form->MethodSumAction, form->AmplitudeRmsAction, form->AmplitudeAmpAction,
                       form->AcquisitionTimeAction, form->RecordReadingsAction, form->ShowSignalViewAction}) {
        EXPECT_TRUE(all.contains(a)) << a->objectName().toStdString();
        EXPECT_FALSE(a->shortcut().isEmpty()) << a->objectName().toStdString();
        EXPECT_TRUE(a->isShortcutVisibleInContextMenu()) << a->objectName().toStdString();
    }

    // One click on the button and one on the item open the view.
    ASSERT_TRUE(pickFromToolsMenu(form->ShowSignalViewAction));
    ASSERT_NE(form->signalView(), nullptr);
    EXPECT_TRUE(form->signalView()->isVisible());
    form->signalView()->close();

    // The recording, picked the same way, is marked beside the button.
    setUpModule({}, {ChannelSetup{}, ChannelSetup{false}, ChannelSetup{false}, ChannelSetup{false}});
    dialogs.fileAnswer = folder.filePath("tools.csv");
    ASSERT_TRUE(pickFromToolsMenu(form->RecordReadingsAction));
    ASSERT_TRUE(form->recording());
    EXPECT_TRUE(form->RecordingMarkLabel->isVisibleTo(form.get()));
    EXPECT_TRUE(form->RecordingMarkLabel->text().startsWith("● Запись"));
    EXPECT_EQ(form->RecordingMarkLabel->parentWidget(), form->ToolsMenuButton->parentWidget());
    ASSERT_TRUE(pickFromToolsMenu(form->RecordReadingsAction));
    EXPECT_FALSE(form->recording());

    // The hint: narrow lines in the window's font, opened beside the pointer.
    QLineEdit* voltage = box(0, 1);
    const QString hint = voltage->toolTip();
    EXPECT_TRUE(hint.contains(form->font().family())) << hint.toStdString();
    for (const char* keys : {"Ctrl+Shift+F", "Ctrl+Shift+S", "Ctrl+Shift+R", "Ctrl+Shift+A", "Ctrl+T", "Ctrl+L", "Ctrl+G"})
        EXPECT_TRUE(hint.contains(keys)) << keys;
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const QPoint local(10, 5);
    const QPoint global = voltage->mapToGlobal(local);
    QHelpEvent help(QEvent::ToolTip, local, global);
    QApplication::sendEvent(voltage, &help);
    ASSERT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 2000));
    QWidget* tip = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits("QTipLabel") && w->isVisible())
            tip = w;
    ASSERT_NE(tip, nullptr);
    const QRect area = TestMainForm::workArea(form.get());
    EXPECT_LT(tip->width(), area.width() / 2) << "the hint's lines are short";
    EXPECT_TRUE(area.contains(tip->geometry())) << "inside the work area";
    // Beside the pointer: below-right of it, or pushed up or left just enough to fit.
    const QRect near(global - QPoint(tip->width() + 40, tip->height() + 40), QSize(2 * tip->width() + 80, 2 * tip->height() + 80));
    EXPECT_TRUE(near.contains(tip->geometry())) << tip->geometry().x() << "," << tip->geometry().y() << " pointer " << global.x()
                                                << "," << global.y();
    QToolTip::hideText();
}

}  // namespace
