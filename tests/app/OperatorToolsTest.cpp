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
#include <QGuiApplication>
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

namespace {

// Where the signal view opens with no remembered place: beside the window where a screen has
// room for it, else over as little of the reading boxes as the work area allows.
TEST(SignalViewPlace, BesideTheWindowOrOverTheLeastOfTheReadings)
{
    const QRect main(100, 50, 1254, 747), readings(650, 400, 420, 330);
    const QSize view(900, 700);
    // A wide screen: right of the window; with the window at its right end: left of it.
    const QRect wide(0, 0, 2560, 1400);
    EXPECT_EQ(TestMainForm::placeBeside(main, view, {wide}, wide, readings), QRect(QPoint(1354, 50), view));
    const QRect atRight = main.translated(1200, 0);
    EXPECT_EQ(TestMainForm::placeBeside(atRight, view, {wide}, wide, readings.translated(1200, 0)),
              QRect(QPoint(400, 50), view));
    // Two monitors side by side: on the second one.
    const QRect left(0, 0, 1366, 768), right(1366, 0, 1920, 1080);
    EXPECT_EQ(TestMainForm::placeBeside(QRect(60, 10, 1254, 747), view, {left, right}, left, readings),
              QRect(QPoint(1314, 10), view));
    // A laptop screen with no room beside: inside it, away from the reading boxes at the right.
    const QRect small(0, 0, 1366, 740);
    const QRect placed = TestMainForm::placeBeside(QRect(56, 0, 1254, 740), view, {small}, small, readings);
    EXPECT_TRUE(small.contains(placed));
    EXPECT_EQ(placed.topLeft(), QPoint(0, 0)) << "the left side covers the least of the readings";
    EXPECT_EQ(placed.intersected(readings).width(), 900 - 650);
}

// The signal view opens beside the window, clear of the readings where the screen has room; its
// place, size, channels and options come back at the next start, from a section of its own in
// the settings file. A hand-edited section with garbage opens it as new.
TEST_F(OperatorTools, SignalViewPlaceAndOptionsSurviveARestart)
{
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    form->ShowSignalViewAction->trigger();
    SignalView* view = form->signalView();
    ASSERT_NE(view, nullptr);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(view->pos(), TestMainForm::placeBeside(form->frameGeometry(), view->size(), {screen}, screen, form->readingsRect())
                               .topLeft());

    // The operator's place and options.
    const QMap<QString, QString> chosen{{"channels", "1 3"},       {"log_frequency", "1"}, {"spectrum_unit", "V"},
                                        {"averaging", "rms"},      {"average_count", "8"}, {"trigger", "1"},
                                        {"trigger_channel", "3"},  {"trigger_level", "0.25"},
                                        {"trigger_edge", "falling"}, {"cursors", "1"}};
    view->restoreOptions(chosen);
    const QMap<QString, QString> options = view->saveOptions();
    for (auto it = chosen.begin(); it != chosen.end(); ++it)
        EXPECT_EQ(options.value(it.key()), it.value()) << it.key().toStdString();
    const QSize size = view->minimumSizeHint().expandedTo(QSize(700, 500)) + QSize(13, 17);
    view->resize(size);
    view->move(screen.topLeft() + QPoint(30, 40));
    QTest::keyClick(view, Qt::Key_Escape);
    ASSERT_FALSE(view->isVisible());

    // A new start of the program with the same settings file.
    qmx::MainFormOptions o;
    o.programFolder = folder.path();
    o.serverPort = 0;
    o.dialogs = &dialogs;
    form.reset();
    form = std::make_unique<TestMainForm>(o);
    form->ShowSignalViewAction->trigger();
    view = form->signalView();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->pos(), screen.topLeft() + QPoint(30, 40));
    EXPECT_EQ(view->size(), size);
    EXPECT_EQ(view->saveOptions(), options);
    {
        IniFile f(form->settingsFile());
        EXPECT_EQ(f.ReadString("SignalView", "averaging", "?"), "rms");
    }

    // Garbage in the section: the view opens as new, beside the window, with its defaults.
    view->close();
    {
        IniFile f(form->settingsFile());
        IniFile::Update update(f);
        for (const char* key : {"Width", "Height", "Left", "Top"})
            f.WriteString("SignalView", key, "x\x01-99999999999");
        for (auto it = options.begin(); it != options.end(); ++it)
            f.WriteString("SignalView", it.key().toStdString(), "\xff garbage");
        update.commit();
    }
    form.reset();
    form = std::make_unique<TestMainForm>(o);
    form->ShowSignalViewAction->trigger();
    view = form->signalView();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->pos(), TestMainForm::placeBeside(form->frameGeometry(), view->size(), {screen}, screen, form->readingsRect())
                               .topLeft());
    EXPECT_EQ(view->saveOptions(), SignalView(dialogs, nullptr).saveOptions()) << "the defaults";
}

}  // namespace
