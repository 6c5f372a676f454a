// The correction-coefficient page: loading at module configuration, the copy buttons, the
// grids' texts and cell styles, and the editing rules of the three grids.

#include "FormFixture.h"
#include "TestMainForm.h"
#include "SimulatedServer.h"
#include "StringGrid.h"

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {

using namespace qmx;

class CoefficientPage : public qmxtest::FormFixture {
protected:
    void SetUp() override
    {
        FormFixture::SetUp();
        // A module whose every coefficient tells where it stands.
        auto& k = form->ModuleHandle.moduleInfo.factoryCoefs;
        for (int ch = 0; ch < 4; ++ch)
            for (int r = 0; r < 2; ++r)
                for (int rate = 0; rate < 16; ++rate) {
                    k[ch][r][rate].offset = static_cast<float>(ch * 100 + r * 10 + rate) + 0.25f;
                    k[ch][r][rate].scale = 1.0f + static_cast<float>(ch * 100 + r * 10 + rate) / 1000.0f;
                }
        form->ModuleHandle.moduleInfo.icpCapable = 1;
        form->GetIcpPhaseCoefs = [this](Qmx58Handle*, double* t) {
            ++phaseCalls;
            const double v[5] = {1000.0, 0.35, 0.42, 0.28, 0.5};
            std::memcpy(t, v, sizeof v);
            return 0;
        };
        offset = form->AdcOffsetCoefsStringGrid;
        scale = form->AdcScaleCoefsStringGrid;
        phase = form->PhaseCoefsStringGrid;
    }

    // Types keys into the grid, or into its editor once that is open.
    void type(TStringGrid* g, const QString& keys)
    {
        for (QChar c : keys)
            QTest::keyClick(g->editor() ? static_cast<QWidget*>(g->editor()) : g, c.toLatin1());
    }
    void key(TStringGrid* g, Qt::Key k) { QTest::keyClick(g->editor() ? static_cast<QWidget*>(g->editor()) : g, k); }
    // Opens the editor on a cell as the operator does: select it, Enter, then type.
    void startEdit(TStringGrid* g, int col, int row, const QString& keys)
    {
        g->focusCell(col, row);
        key(g, Qt::Key_Return);
        type(g, keys);
    }
    int messages() { return static_cast<int>(dialogs.count()); }

    int phaseCalls = 0;
    TStringGrid* offset = nullptr;
    TStringGrid* scale = nullptr;
    TStringGrid* phase = nullptr;
};

TEST_F(CoefficientPage, GridsAreSizedToTheTables)
{
    for (TStringGrid* g : {offset, scale}) {
        EXPECT_EQ(g->rowCount(), 5) << "a header row and one row per channel";
        EXPECT_EQ(g->columnCount(), 3) << "a caption column and one column per range";
    }
    EXPECT_EQ(phase->rowCount(), 2);
    EXPECT_EQ(phase->columnCount(), 5);
    EXPECT_EQ(child<QPushButton>("SaveCalibrCoefsGridToFactoryFlashLMDButton")->text(), "Сохранить таблицы в заводском ППЗУ");
    EXPECT_EQ(child<QPushButton>("ResetCalibrCoefsGridInUserFlashLMDButton")->text(), "Сбросить таблицы в пользов. ППЗУ");
    EXPECT_EQ(form->FreqForPhaseLMDLabel->parentWidget()->parentWidget(), form->CorrectionFactorsLMDTabSheet);
}

// Loading fills the shown table from the factory block without drawing; a rate change then
// draws both amplitude grids for that rate from the factory data, dropping edits.
TEST_F(CoefficientPage, LoadThenRateChangeRedrawsFromFactory)
{
    {
        const QSignalBlocker quiet(form->AdcRateCalibrPanelComboBox);
        form->AdcRateCalibrPanelComboBox->setCurrentIndex(7);
    }
    form->UserFlashCoefs.coefs[0][0][0].offset = 5.0f;
    const int callsBefore = phaseCalls;
    form->LoadCorrectionCoefs();
    EXPECT_EQ(phaseCalls, callsBefore + 1);
    EXPECT_EQ(form->AdcRateCalibrPanelComboBox->currentIndex(), 0);
    EXPECT_EQ(form->FreqForPhaseLMDLabel->text(), "1000.0");
    EXPECT_EQ(std::memcmp(form->DisplayedCoefs.coefs, form->ModuleHandle.moduleInfo.factoryCoefs, 1024), 0);
    EXPECT_EQ(form->UserFlashCoefs.coefs[0][0][0].offset, 0.0f) << "the user block is zeroed";
    EXPECT_EQ(offset->cell(1, 1), "") << "not drawn at loading";

    form->DisplayedCoefs.coefs[2][1][5].offset = -42.0f;  // an edit
    form->AdcRateCalibrPanelComboBox->setCurrentIndex(5);
    EXPECT_EQ(offset->cell(2, 3), "215.250") << "channel 3, range index 1, rate 5";
    EXPECT_EQ(scale->cell(2, 3), "1.215000");
    EXPECT_EQ(offset->cell(1, 1), "5.250");
    EXPECT_EQ(offset->cell(0, 4), "4") << "rows are channels";
    EXPECT_EQ(phase->cell(0, 1), "Сдвиг фаз, Град");
    EXPECT_EQ(phase->cell(2, 1), "0.42000000");
    EXPECT_EQ(form->DisplayedCoefs.coefs[2][1][5].offset, 215.25f) << "the edit is gone";
    EXPECT_FALSE(form->SaveCalibrCoefsGridToFactoryFlashLMDButton->isEnabled());
    EXPECT_FALSE(form->SaveCalibrCoefsGridToUserFlashLMDButton->isEnabled());
}

TEST_F(CoefficientPage, ModuleWithoutIcpIsNeverAskedForPhases)
{
    form->ModuleHandle.moduleInfo.icpCapable = 0;
    form->FreqForPhaseLMDLabel->setText("x");
    form->LoadCorrectionCoefs();
    form->RefreshCalibrCoefsGridFromFactoryFlashLMDButton->click();
    form->AdcRateCalibrPanelComboBox->setCurrentIndex(3);
    EXPECT_EQ(phaseCalls, 0);
    EXPECT_EQ(form->FreqForPhaseLMDLabel->text(), "");
    EXPECT_EQ(phase->cell(1, 1), "0.00000000");
}

TEST_F(CoefficientPage, UserCopyIsZeroAfterConfigurationAndKeepsWhatWasSaved)
{
    form->LoadCorrectionCoefs();
    form->RefreshCalibrCoefsGridFromUserFlashLMDButton->click();
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 2; ++c) {
            EXPECT_EQ(offset->cell(c, r), "0.000");
            EXPECT_EQ(scale->cell(c, r), "0.000000");
        }
    EXPECT_EQ(phase->cell(4, 1), "0.00000000");

    form->RefreshCalibrCoefsGridFromFactoryFlashLMDButton->click();
    form->DisplayedCoefs.coefs[1][0][0].scale = 2.5f;
    form->DisplayedCoefs.phase[3] = 7.0;
    // After a refresh the save buttons are disabled for good; their handler still works.
    EXPECT_FALSE(form->SaveCalibrCoefsGridToUserFlashLMDButton->isEnabled());
    form->SaveCalibrCoefsGridToUserFlashLMDButtonClick();
    form->RefreshCalibrCoefsGridFromFactoryFlashLMDButton->click();
    EXPECT_EQ(scale->cell(1, 2), "1.100000");
    form->RefreshCalibrCoefsGridFromUserFlashLMDButton->click();
    EXPECT_EQ(scale->cell(1, 2), "2.500000");
    EXPECT_EQ(phase->cell(3, 1), "7.00000000");
    EXPECT_EQ(messages(), 0);
}

TEST_F(CoefficientPage, FactoryFlashSaveAsksFirst)
{
    dialogs.questionAnswer = false;
    form->SaveCalibrCoefsGridToFactoryFlashLMDButtonClick();
    dialogs.questionAnswer = true;
    form->SaveCalibrCoefsGridToFactoryFlashLMDButtonClick();
    ASSERT_EQ(messages(), 2) << "two questions, and no failure reported";
    EXPECT_EQ(dialogs.shown[0].text, "Вы уверены в том, что хотите перезаписать корректировочные коэффициенты в заводском ППЗУ?");
    EXPECT_EQ(dialogs.shown[0].caption, "Внимание!!!");
    EXPECT_EQ(dialogs.shown[0].buttons, QStringList({"Yes", "No"}));
}

// Enter allows editing, typing opens the editor, Enter stores the number as a 32-bit float at
// (row - 1, column - 1, rate) and closes the editor.
TEST_F(CoefficientPage, AcceptedEditLandsInTheShownTable)
{
    form->LoadCorrectionCoefs();
    form->AdcRateCalibrPanelComboBox->setCurrentIndex(9);
    startEdit(offset, 2, 3, "-12.3");
    ASSERT_TRUE(offset->editorMode());
    EXPECT_EQ(form->SavedEditText, "219.250");
    EXPECT_EQ(offset->cell(2, 3), "-12.3");
    key(offset, Qt::Key_Return);
    EXPECT_FALSE(offset->editorMode());
    EXPECT_FALSE(offset->editingAllowed());
    EXPECT_EQ(form->DisplayedCoefs.coefs[2][1][9].offset, -12.3f);
    EXPECT_EQ(form->DisplayedCoefs.coefs[2][1][9].scale, 1.219f) << "the other member is untouched";
    EXPECT_EQ(form->DisplayedCoefs.coefs[2][1][8].offset, 218.25f) << "the other rates are untouched";

    startEdit(scale, 1, 4, "0.5");
    key(scale, Qt::Key_Return);
    EXPECT_EQ(form->DisplayedCoefs.coefs[3][0][9].scale, 0.5f);

    startEdit(phase, 2, 1, "1.25");
    key(phase, Qt::Key_Return);
    EXPECT_EQ(form->DisplayedCoefs.phase[2], 1.25) << "the phase grid keeps its entries in the phase array";
    EXPECT_EQ(messages(), 0);
}

TEST_F(CoefficientPage, DashAndEmptyWaitForEnterThenAreRejected)
{
    form->LoadCorrectionCoefs();
    form->RefreshCalibrCoefsGridFromFactoryFlashLMDButton->click();
    startEdit(offset, 1, 1, "-");
    EXPECT_EQ(messages(), 0) << "a lone minus is accepted while typing";
    key(offset, Qt::Key_Return);
    ASSERT_EQ(messages(), 1);
    EXPECT_EQ(dialogs.shown[0].text, "Введеное значение не совсем корекктно!");
    EXPECT_EQ(dialogs.shown[0].caption, "Внимание!!!");
    EXPECT_EQ(dialogs.shown[0].icon, MsgIcon::Information);
    EXPECT_EQ(offset->cell(1, 1), "0.250");
    EXPECT_FALSE(offset->editingAllowed());

    startEdit(scale, 2, 2, "7");
    key(scale, Qt::Key_Backspace);
    EXPECT_EQ(scale->cell(2, 2), "");
    EXPECT_EQ(messages(), 1) << "an empty text is accepted while typing";
    key(scale, Qt::Key_Return);
    EXPECT_EQ(messages(), 2);
    EXPECT_EQ(scale->cell(2, 2), "1.110000");
    EXPECT_EQ(form->DisplayedCoefs.coefs[1][1][0].scale, 1.11f);
}

TEST_F(CoefficientPage, TypingRulesWhileEditing)
{
    form->LoadCorrectionCoefs();
    form->RefreshCalibrCoefsGridFromFactoryFlashLMDButton->click();
    startEdit(offset, 1, 2, "1a,b");
    EXPECT_EQ(offset->cell(1, 2), "1") << "only digits, '.', '-' and backspace get through";
    type(offset, "-");
    ASSERT_EQ(messages(), 1) << "'1-' is no number";
    EXPECT_EQ(dialogs.shown[0].text, "Введеное значение не совсем корректно!");
    EXPECT_EQ(dialogs.shown[0].caption, "Внимание!!!");
    EXPECT_EQ(offset->cell(1, 2), "100.250") << "the stored value is shown again";

    // Escape puts back the text the cell had when the editor opened and ends editing.
    startEdit(offset, 2, 2, "55");
    EXPECT_EQ(form->SavedEditText, "110.250");
    key(offset, Qt::Key_Escape);
    EXPECT_FALSE(offset->editorMode());
    EXPECT_FALSE(offset->editingAllowed());
    EXPECT_EQ(offset->cell(2, 2), "110.250");

    // Moving up while editing puts the saved text back before the move.
    startEdit(offset, 2, 3, "66");
    key(offset, Qt::Key_Up);
    EXPECT_EQ(offset->cell(2, 3), "210.250");
    EXPECT_EQ(offset->row(), 2);
    EXPECT_FALSE(offset->editorMode());
    EXPECT_FALSE(offset->editingAllowed()) << "selecting a cell ends editing";
    type(offset, "9");
    EXPECT_FALSE(offset->editorMode()) << "typing alone opens no editor";
    EXPECT_EQ(form->DisplayedCoefs.coefs[1][1][0].offset, 110.25f);
}

TEST_F(CoefficientPage, DoubleClickOpensTheEditorWithAllSelected)
{
    form->LoadCorrectionCoefs();
    form->RefreshCalibrCoefsGridFromFactoryFlashLMDButton->click();
    scale->focusCell(1, 3);
    form->CorrectionCoefsStringGridDblClick(scale);
    ASSERT_TRUE(scale->editorMode());
    EXPECT_EQ(scale->editor()->selectedText(), "1.200000");
    type(scale, "2");
    EXPECT_EQ(scale->cell(1, 3), "2");
    key(scale, Qt::Key_Home);
    key(scale, Qt::Key_Delete);
    EXPECT_EQ(scale->cell(1, 3), "") << "Delete is the editor's own key";
    EXPECT_EQ(messages(), 0);
}

// A run of digits beyond a 32-bit float's range would be stored as infinity: it is refused
// like any other text that is no coefficient.
TEST_F(CoefficientPage, NumberBeyondFloatRangeIsRefused)
{
    form->LoadCorrectionCoefs();
    form->RefreshCalibrCoefsGridFromFactoryFlashLMDButton->click();
    startEdit(scale, 1, 1, QString(40, '9'));
    key(scale, Qt::Key_Return);
    ASSERT_EQ(messages(), 1);
    EXPECT_EQ(dialogs.shown[0].text, "Введеное значение не совсем корекктно!");
    EXPECT_EQ(form->DisplayedCoefs.coefs[0][0][0].scale, 1.0f);
    EXPECT_EQ(scale->cell(1, 1), "1.000000");
}

TEST_F(CoefficientPage, CellStyles)
{
    form->LoadCorrectionCoefs();
    form->RefreshCalibrCoefsGridFromFactoryFlashLMDButton->click();
    GridDrawState plain;
    GridDrawState focused;
    focused.focused = true;

    const GridCellStyle header = form->correctionCellStyle(offset, 1, 0, plain);
    EXPECT_EQ(header.font.family(), "Arial");
    EXPECT_EQ(header.font.pointSize(), 14);
    EXPECT_FALSE(header.framed);
    EXPECT_EQ(header.background, offset->FixedColor);

    const GridCellStyle caption = form->correctionCellStyle(offset, 0, 2, focused);
    EXPECT_EQ(caption.font.family(), "Courier New");
    EXPECT_TRUE(caption.font.bold());
    EXPECT_EQ(caption.text, QColor(128, 0, 0));
    EXPECT_EQ(caption.background, QColor(255, 255, 208));
    EXPECT_EQ(caption.frame, QColor(0, 0, 255));

    const GridCellStyle value = form->correctionCellStyle(scale, 2, 1, plain);
    EXPECT_EQ(value.font.family(), "Tahoma");
    EXPECT_EQ(value.font.pointSize(), 12);
    EXPECT_EQ(value.shownText, "1.010000");
    EXPECT_TRUE(value.framed);
    EXPECT_EQ(value.frame, value.background) << "no focus, no visible frame";

    scale->setEnabled(false);
    const GridCellStyle off = form->correctionCellStyle(scale, 2, 1, plain);
    EXPECT_EQ(off.shownText, "-----");
    EXPECT_EQ(off.text, QColor(128, 128, 128));
    EXPECT_EQ(form->correctionCellStyle(scale, 0, 1, plain).text, QColor(128, 128, 128));

    // The focus frame reaches the screen: blue one pixel inside the cell.
    QImage img(40, 20, QImage::Format_RGB32);
    QPainter p(&img);
    paintGridCell(p, QRect(0, 0, 40, 20), caption);
    p.end();
    EXPECT_EQ(img.pixelColor(1, 10), QColor(0, 0, 255));
    EXPECT_EQ(img.pixelColor(0, 10), QColor(255, 255, 208));
}

// A configuration by discovery loads the tables of the opened module.
TEST(CoefficientPageDiscovery, ConfigurationLoadsTheModuleTables)
{
    qmxtest::SimulatedServer server;
    ASSERT_TRUE(server.start("crate C1 type 10\n  slot 3 qmx58 S-3 firmware 12 icp yes\n    icp-phase 875 0.1 0.2 0.3 0.4\n"));
    QTemporaryDir folder;
    qmxtest::RecordingDialogSeam dialogs;
    MainFormOptions o;
    o.programFolder = folder.path();
    o.dialogs = &dialogs;
    o.programFile = QMX_TEST_PROGRAM_FILE;
    auto form = std::make_unique<qmxtest::TestMainForm>(o);
    form->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->ShowStage == 3; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->DiscoveryRunning == 0 && form->DiscoveryMayBeRequested == 1; }, 15000));
    ASSERT_EQ(form->Discovery.moduleState, 2);
    EXPECT_EQ(form->FreqForPhaseLMDLabel->text(), "875.0");
    EXPECT_DOUBLE_EQ(form->DisplayedCoefs.phase[4], 0.4);
    EXPECT_EQ(std::memcmp(form->DisplayedCoefs.coefs, form->ModuleHandle.moduleInfo.factoryCoefs, 1024), 0);
    EXPECT_NE(form->DisplayedCoefs.coefs[1][1][4].scale, 0.0f);
    EXPECT_EQ(form->AdcRateCalibrPanelComboBox->currentIndex(), 0);
    form.reset();
}

}  // namespace
