// The verification page, the generator and multimeter panels, the centring of the file
// dialogs, the context menu and the mouse-wheel rule over the channel panels.

#include "DialogCentring.h"
#include "FormFixture.h"
#include "LogView.h"
#include "RadioGroup.h"
#include "StringGrid.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>

namespace {

using namespace qmx;

class VerificationPage : public qmxtest::FormFixture {
protected:
    QLineEdit* amp() const { return form->SignalAmpltudeGeneratorLMDEdit; }
    QLineEdit* freq() const { return form->SignalFrequencyGeneratorLMDEdit; }
    static bool red(const QLineEdit* e) { return e->palette().color(QPalette::Text) == QColor(255, 0, 0); }
    // Types the values as the operator does and commits one of them with Enter.
    void commit(QLineEdit* which, const QString& amplitude, const QString& frequency)
    {
        amp()->setText(amplitude);
        freq()->setText(frequency);
        QTest::keyClick(which, Qt::Key_Return);
    }
};

TEST_F(VerificationPage, WidgetsOfThePage)
{
    QTabWidget* pages = form->MainLMDPageControl;
    EXPECT_FALSE(pages->isTabVisible(pages->indexOf(form->VerificationLMDTabSheet)));
    EXPECT_EQ(pages->tabText(pages->indexOf(form->VerificationLMDTabSheet)), "Поверка");
    TLogView* log = form->VerificationTextBox;
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(log->gutter()->objectName(), "VerificationTextBoxGutter");
    EXPECT_GT(log->gutter()->width(), 0);
    EXPECT_EQ(form->StartVerificationLMDSpeedButton->text(), "Старт  поверки");
    EXPECT_EQ(form->EnaWriteLogFileLMDCheckBox->toolTip(), "Управление записью  Log-файла");
    EXPECT_EQ(form->LoadFromFileVerifyTreeViewButton->toolTip(), "Считать настроки из файла");
    EXPECT_EQ(form->ProgressBarVerification->orientation(), Qt::Vertical);
    EXPECT_FALSE(form->ProgressBarVerification->isTextVisible());

    // The file dialogs go through the window's dialog seam.
    EXPECT_EQ(form->SaveFileLMDSaveDialog.defaultFileName, "test");
    EXPECT_TRUE(form->SaveFileLMDSaveDialog.confirmOverwrite);
    dialogs.fileAnswer = "/tmp/x.cfg";
    EXPECT_EQ(form->runFileDialog(form->SaveFileLMDSaveDialog), "/tmp/x.cfg");
    ASSERT_EQ(dialogs.count(), 1u);
    EXPECT_EQ(dialogs.shown[0].caption, "SaveFileLMDSaveDialog");
}

TEST_F(VerificationPage, LogKeywordColours)
{
    TLogView* log = form->VerificationTextBox;
    log->setPlainText("Итого: OK TOKEN Bad\n"
                      "СШНИ СШ КНИ !!! ОШИБКА !!! :((((((( :)))))))\n"
                      "приведённой Норма НОРМА поверка");
    QApplication::processEvents();
    EXPECT_EQ(log->colorAt(0, 0), QColor(255, 128, 0));
    EXPECT_EQ(log->colorAt(0, 7), QColor(0, 164, 82)) << "OK";
    EXPECT_FALSE(log->colorAt(0, 11).isValid()) << "the OK inside TOKEN is no keyword";
    EXPECT_EQ(log->colorAt(0, 17), QColor(255, 0, 0)) << "Bad";
    EXPECT_EQ(log->colorAt(1, 3), QColor(128, 0, 255)) << "the whole of СШНИ";
    EXPECT_EQ(log->colorAt(1, 14), QColor(255, 0, 0)) << "inside !!! ОШИБКА !!!";
    EXPECT_EQ(log->colorAt(1, 29), QColor(255, 0, 0)) << ":(((((((";
    EXPECT_EQ(log->colorAt(1, 38), QColor(0, 181, 90)) << ":)))))))";
    EXPECT_EQ(log->colorAt(2, 0), QColor(0, 128, 255));
    EXPECT_EQ(log->colorAt(2, 12), QColor(0, 128, 64));
    EXPECT_EQ(log->colorAt(2, 18), QColor(0, 128, 64));
    EXPECT_EQ(log->colorAt(2, 25), QColor(128, 0, 255));
    EXPECT_FALSE(log->colorAt(0, 5).isValid()) << "plain text stays plain";
}

TEST_F(VerificationPage, FileNameHintAndCaretRule)
{
    const QString name = "/very/long/folder/name/for/the/settings/of/the/verification/run.cfg";
    form->CfgFileNameEdit->setText(name);
    EXPECT_EQ(form->CfgFileNameEdit->toolTip(), name);
    form->CfgFileNameEdit->setSelection(0, 5);
    form->VerifySplitterMoved();
    EXPECT_EQ(form->CfgFileNameEdit->cursorPosition(), name.size());
    EXPECT_FALSE(form->CfgFileNameEdit->hasSelectedText());
}

TEST_F(VerificationPage, VerificationStartStartsNothing)
{
    form->StartMultimeterLMDSpeedButton->setChecked(true);
    form->StartVerificationLMDSpeedButton->click();
    EXPECT_EQ(form->acquisitionThread(), nullptr);
    EXPECT_EQ(form->UpdateGuard.load(), 0);
}

// The generator's commit rules: limits, the √2 reduction, the frequency cap and the sign rules.
TEST_F(VerificationPage, GeneratorCommit)
{
    commit(freq(), "-12", "");
    EXPECT_EQ(form->SignalAmpltudeGeneratorLabLMDLabel->text(), "Напряжение, В") << "no frequency: a DC setting";
    EXPECT_EQ(freq()->text(), "0.0000");
    EXPECT_EQ(amp()->text(), "-10.0000") << "limited to 10 V, the sign kept";

    commit(freq(), "1", "150");
    EXPECT_EQ(freq()->text(), "99.0000");
    EXPECT_EQ(form->SignalAmpltudeGeneratorLabLMDLabel->text(), "Напряжение (скз), В");
    EXPECT_EQ(amp()->text(), "1") << "an amplitude within the limit is left as typed";

    commit(freq(), "9", "1");
    EXPECT_EQ(amp()->text(), "7.0711") << "10 V / √2 on the frequency path";
    commit(amp(), "9", "1");
    EXPECT_EQ(amp()->text(), "9.0000") << "the amplitude path limits to 10 V";

    commit(amp(), "-3", "0.0005");
    EXPECT_EQ(amp()->text(), "-3.0000") << "at 0.0005 kHz the amplitude path keeps the sign";
    commit(freq(), "-9", "0.0005");
    EXPECT_EQ(freq()->text(), "0.0005");
    EXPECT_EQ(amp()->text(), "7.0711") << "the frequency path makes it positive";
    EXPECT_EQ(dialogs.count(), 0u);
}

TEST_F(VerificationPage, GeneratorEditsColourAndStart)
{
    form->StartMultimeterLMDSpeedButton->setEnabled(true);
    QTest::keyClicks(amp(), "2x,5");
    EXPECT_EQ(amp()->text(), "0.000025") << "letters and commas are discarded";
    EXPECT_TRUE(red(amp()));
    EXPECT_FALSE(form->StartMultimeterLMDSpeedButton->isEnabled());
    QTest::keyClicks(freq(), "1");
    amp()->setText("2.5");
    QTest::keyClick(amp(), Qt::Key_Return);
    EXPECT_FALSE(red(amp()));
    EXPECT_TRUE(red(freq()));
    EXPECT_FALSE(form->StartMultimeterLMDSpeedButton->isEnabled()) << "the frequency is not committed yet";
    QTest::keyClick(freq(), Qt::Key_Return);
    EXPECT_FALSE(red(freq()));
    EXPECT_TRUE(form->StartMultimeterLMDSpeedButton->isEnabled());

    commit(freq(), "1-2", "5");
    ASSERT_EQ(dialogs.count(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Обнаружена ошибка преобразования строки в число.");
    EXPECT_EQ(dialogs.shown[0].caption, "Ошибка CommonLMDEditKeyPress()!!!");
    EXPECT_EQ(dialogs.shown[0].icon, MsgIcon::Information);
    EXPECT_TRUE(red(freq()));
    EXPECT_FALSE(form->StartMultimeterLMDSpeedButton->isEnabled());
    EXPECT_EQ(form->UpdateGuard.load(), 0);
}

TEST_F(VerificationPage, MultimeterModes)
{
    TRadioGroup* mode = form->AcDcVoltmeterModeLMDRadioGroup;
    EXPECT_EQ(mode->items(), QStringList({"DC ", "AC ", "OFF"}));
    mode->setItemIndex(2);
    EXPECT_FALSE(form->VoltmeterValueLMDLabel->isEnabled());
    EXPECT_FALSE(form->VoltmeterValueUnitLMDLabel->isEnabled());
    EXPECT_FALSE(form->AcFilterVoltmeterLMDComboBox->isEnabled());
    mode->setItemIndex(1);
    EXPECT_TRUE(form->VoltmeterValueLMDLabel->isEnabled());
    EXPECT_TRUE(form->VoltmeterValueUnitLMDLabel->isEnabled());
    EXPECT_TRUE(form->AcFilterVoltmeterLMDComboBox->isEnabled());
    mode->setItemIndex(0);
    EXPECT_TRUE(form->VoltmeterValueLMDLabel->isEnabled());
    EXPECT_FALSE(form->AcFilterVoltmeterLMDComboBox->isEnabled());
    EXPECT_EQ(dialogs.count(), 0u);

    form->AcDcVoltmeterModeLMDRadioGroupChange(form->AcFilterVoltmeterLMDComboBox);
    ASSERT_EQ(dialogs.count(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Не могу привести тип!");
    EXPECT_EQ(dialogs.shown[0].caption, "Ошибка AcDcVoltmeterModeLMDRadioGroupChange()!!!");
}

TEST_F(VerificationPage, PopupMenu)
{
    QStringList items;
    for (QAction* a : form->PopupMenu->actions())
        items << (a->isSeparator() ? QString("-") : a->text() + " " + a->shortcut().toString());
    EXPECT_EQ(items.mid(0, 8), QStringList({"Перезагрузка Изделия Ctrl+R", "-", "Сохранение штатных настроек Ctrl+D",
                                  "Сохранение текущих настроек Ctrl+S", "-", "О программе ... Ctrl+A", "-", "Выход Ctrl+Q"}));
    EXPECT_EQ(form->PopupMenu->defaultAction(), form->RebootAction);
    EXPECT_EQ(form->ApplicationExit->statusTip(), "Спокойный выход из программы");
    for (QWidget* w : std::initializer_list<QWidget*>{form->AdcOffsetCoefsStringGrid, form->AdcScaleCoefsStringGrid,
                                                      form->PhaseCoefsStringGrid, form->VerificationTextBox->gutter()})
        EXPECT_EQ(w->contextMenuPolicy(), Qt::CustomContextMenu) << w->objectName().toStdString();
    form->RebootAction->trigger();
    form->AboutAction->trigger();
    EXPECT_EQ(dialogs.count(), 0u);
    EXPECT_FALSE(QFile::exists(form->settingsPath())) << "neither item writes anything";
}

// The wheel scrolls the channel panels only over the scroll box itself, never when a control
// inside a panel is under the cursor.
TEST_F(VerificationPage, WheelOverChannelPanels)
{
    QScrollArea* box = form->AdcIndividualParsLMDScrollBox;
    form->show();
    form->move(0, 0);  // the left part of the window on the (small) test screen
    box->resize(box->width(), 160);  // short enough to need its vertical scroll bar
    ASSERT_TRUE(QTest::qWaitFor([&] { return box->verticalScrollBar()->isVisible(); }, 3000));
    QScrollBar* bar = box->verticalScrollBar();
    bar->setValue(0);
    auto wheel = [](QWidget* w, const QPoint& local, int dy) {
        QWheelEvent e(QPointF(local), QPointF(w->mapToGlobal(local)), QPoint(), QPoint(0, dy), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
        QApplication::sendEvent(w, &e);
    };
    QComboBox* combo = form->Frames[0]->InputConnectionModeLMDComboBox;
    const QPoint onCombo = combo->rect().center();
    ASSERT_EQ(QApplication::widgetAt(combo->mapToGlobal(onCombo)), combo);
    wheel(combo, onCombo, -120);
    EXPECT_EQ(bar->value(), 0) << "a notch over a combo box does not scroll the panels";
    EXPECT_FALSE(form->FormMouseWheel(combo, 1));

    // The margin left of the channel panels belongs to the scroll box.
    const QPoint margin = box->viewport()->mapToGlobal(QPoint(3, 60));
    auto wheelAt = [&](int dy) {
        QWidget* under = QApplication::widgetAt(margin);
        ASSERT_EQ(under, box->widget());
        wheel(under, under->mapFromGlobal(margin), dy);
    };
    wheelAt(-120);
    EXPECT_EQ(bar->value(), bar->singleStep()) << "a notch down over the scroll box moves one step";
    wheelAt(120);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_TRUE(form->FormMouseWheel(bar, 1)) << "its scroll bar is part of it";
    EXPECT_EQ(bar->value(), bar->singleStep());
}

TEST(DialogCentring, CentresOnTheMainWindowWhileShown)
{
    QWidget main;
    main.setGeometry(100, 80, 800, 600);
    main.show();
    TDialogCentringHook hook(&main);
    QDialog d(&main);
    d.resize(200, 100);
    hook.watch(&d);
    d.show();
    EXPECT_EQ(hook.hooked(), &d);
    const QRect f = main.frameGeometry();
    EXPECT_EQ(d.frameGeometry().topLeft(), QPoint(f.left() + (f.width() - d.frameGeometry().width()) / 2,
                                                  f.top() + (f.height() - d.frameGeometry().height()) / 2));
    EXPECT_EQ(d.size(), QSize(200, 100)) << "not resized";
    d.hide();
    EXPECT_EQ(hook.hooked(), nullptr) << "the hook is released when the dialog closes";
}

}  // namespace
