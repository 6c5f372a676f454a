// The correction-coefficient page: the amplitude offset and scale grids for one conversion
// rate, the ICP phase grid, the five copy buttons and the editing rules of the three grids.
// The page's tab is never shown; its tables are loaded at every module configuration.
//
// Arrangement of the tables. The module reports its factory coefficients as
// [channel 0..3][range index 0..1][rate-list index 0..15]. The configuration block and the
// displayed table keep exactly that order, so an amplitude grid's row r is channel r and its
// column c is range index c - 1 (2 V differential / 1 V ICP, then 10 V / 5 V), always for the
// rate chosen in the page's rate list. Only this order fits four data rows and two data columns
// without folding two channels into one row, and it leaves the coefficients where the module
// keeps them. The row captions therefore name the channels, and the column headers the ranges.

#include "MainForm.h"

#include "WorkerThread.h"

#include <atomic>
#include <thread>

#include "DecimalText.h"
#include "FormBuilders.h"
#include "LogView.h"
#include "NumberFormat.h"
#include "RateTable.h"
#include "StringGrid.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace qmx {
namespace {

const QString kOffsetFormat = "0.000";
const QString kScaleFormat = "0.000000";
const QString kPhaseFormat = "0.00000000";
const QString kCaptionFormat = "0.0";
constexpr int kChannels = 4;
constexpr int kRanges = 2;
constexpr int kRates = 16;

// The factory-flash write. The module library offers no such operation, so nothing is
// written and the step reports success.
bool writeFactoryFlash() { return true; }

// The state step of the two save buttons: whether each is to be disabled. No flash image is
// held to compare the shown tables with, so both buttons stay disabled.
struct SaveButtonsState {
    bool factoryDisabled = true;
    bool userDisabled = true;
};
SaveButtonsState saveButtonsStateStep() { return {}; }

TStringGrid* coefGrid(QWidget* parent, const char* name, int cols, int rows, const QList<int>& widths)
{
    auto* g = new TStringGrid(parent);
    g->setObjectName(name);
    QFont f("Tahoma");
    f.setPointSize(12);
    g->setFont(f);
    g->setGridSize(cols, rows, 1, 1);
    g->setCellSizes(widths, 34);
    return g;
}

}  // namespace

void TMainForm::buildHiddenPages()
{
    GetIcpPhaseCoefs = [](Qmx58Handle* h, double* table) { return QMX58_GetICPPhaseCoefs(h, table); };
    QWidget* page = CorrectionFactorsLMDTabSheet;

    auto* amplitude = new QGroupBox("Корректировочные коэффициенты амплитуды", page);
    amplitude->setObjectName("AmplitudeCoefsLMDGroupBox");
    amplitude->setGeometry(8, 6, 860, 300);
    form::label(amplitude, "AdcRateCalibrPanelLabLMDLabel", "Частота преобразований АЦП, Гц", {14, 30, 260, 24});
    AdcRateCalibrPanelComboBox->setParent(amplitude);
    AdcRateCalibrPanelComboBox->setGeometry(280, 27, 130, 30);
    AdcRateCalibrPanelComboBox->show();

    const QList<int> widths{110, 150};
    form::label(amplitude, "AdcOffsetCoefsLabLMDLabel", "Смещение, мВ", {14, 72, 300, 24});
    AdcOffsetCoefsStringGrid = coefGrid(amplitude, "AdcOffsetCoefsStringGrid", 1 + kRanges, 1 + kChannels, widths);
    AdcOffsetCoefsStringGrid->move(14, 100);
    form::label(amplitude, "AdcScaleCoefsLabLMDLabel", "Масштаб", {440, 72, 300, 24});
    AdcScaleCoefsStringGrid = coefGrid(amplitude, "AdcScaleCoefsStringGrid", 1 + kRanges, 1 + kChannels, widths);
    AdcScaleCoefsStringGrid->move(440, 100);
    AmplitudeGrids = {AdcOffsetCoefsStringGrid, AdcScaleCoefsStringGrid};
    for (TStringGrid* g : AmplitudeGrids) {
        g->setCell(0, 0, "Канал");
        g->setCell(1, 0, "2 В (ICP 1 В)");
        g->setCell(2, 0, "10 В (ICP 5 В)");
    }

    auto* phase = new QGroupBox("Сдвиг фазы для ICP режима, Град", page);
    phase->setObjectName("PhaseCoefsLMDGroupBox");
    phase->setGeometry(8, 316, 860, 170);
    form::label(phase, "FreqForPhaseLabLMDLabel", "Частота, на которой измерен сдвиг фаз, Гц", {14, 30, 340, 24});
    FreqForPhaseLMDLabel->setParent(phase);
    FreqForPhaseLMDLabel->setGeometry(360, 28, 160, 28);
    FreqForPhaseLMDLabel->setFrameShape(QFrame::Panel);
    FreqForPhaseLMDLabel->setFrameShadow(QFrame::Sunken);
    FreqForPhaseLMDLabel->setAlignment(Qt::AlignCenter);
    FreqForPhaseLMDLabel->show();
    PhaseCoefsStringGrid = coefGrid(phase, "PhaseCoefsStringGrid", 1 + kChannels, 2, {190, 150});
    PhaseCoefsStringGrid->move(14, 70);
    for (int c = 1; c <= kChannels; ++c)
        PhaseCoefsStringGrid->setCell(c, 0, QString("Канал %1").arg(c));

    const int bx = 884;
    SaveCalibrCoefsGridToFactoryFlashLMDButton = form::button(page, "SaveCalibrCoefsGridToFactoryFlashLMDButton",
                                                            "Сохранить таблицы в заводском ППЗУ", {bx, 16, 350, 50});
    RefreshCalibrCoefsGridFromFactoryFlashLMDButton = form::button(page, "RefreshCalibrCoefsGridFromFactoryFlashLMDButton",
                                                                 "Обновить таблицы из заводского ППЗУ", {bx, 76, 350, 50});
    SaveCalibrCoefsGridToUserFlashLMDButton = form::button(page, "SaveCalibrCoefsGridToUserFlashLMDButton",
                                                         "Сохранить таблицы в пользов. ППЗУ", {bx, 166, 350, 50});
    RefreshCalibrCoefsGridFromUserFlashLMDButton = form::button(page, "RefreshCalibrCoefsGridFromUserFlashLMDButton",
                                                              "Обновить таблицы из пользов. ППЗУ", {bx, 226, 350, 50});
    ResetCalibrCoefsGridInUserFlashLMDButton = form::button(page, "ResetCalibrCoefsGridInUserFlashLMDButton",
                                                          "Сбросить таблицы в пользов. ППЗУ", {bx, 286, 350, 50});

    for (TStringGrid* g : {AdcOffsetCoefsStringGrid, AdcScaleCoefsStringGrid, PhaseCoefsStringGrid}) {
        g->OnDrawCell = [this](TStringGrid* grid, QPainter& p, int c, int r, const QRect& rect, GridDrawState s) {
            CorrectionCoefsStringGridDrawCell(grid, p, c, r, rect, s);
        };
        g->OnDblClick = [this](TStringGrid* grid) { CorrectionCoefsStringGridDblClick(grid); };
        g->OnKeyDown = [this](TStringGrid* grid, int& key, Qt::KeyboardModifiers) { CorrectionCoefsStringGridKeyDown(grid, key); };
        g->OnKeyUp = [this](TStringGrid* grid, int& key, Qt::KeyboardModifiers) { CorrectionCoefsStringGridKeyUp(grid, key); };
        g->OnKeyPress = [this](TStringGrid* grid, QChar& key) { CorrectionCoefsStringGridKeyPress(grid, key); };
        g->OnSelectCell = [this](TStringGrid* grid, int c, int r) { CorrectionCoefsStringGridSelectCell(grid, c, r); };
        g->OnGetEditText = [this](TStringGrid* grid, int c, int r, QString& t) { CorrectionCoefsStringGridGetEditText(grid, c, r, t); };
        g->OnSetEditText = [this](TStringGrid* grid, int c, int r, const QString& t) {
            CorrectionCoefsStringGridSetEditText(grid, c, r, t);
        };
    }

    buildVerificationPage();
}

// ---- loading and the copy buttons

int TMainForm::selectedCalibrRate() const
{
    const int i = AdcRateCalibrPanelComboBox->currentIndex();
    return i >= 0 && i < kRates ? i : -1;
}

// The ICP step: the phase array and the frequency label.
void TMainForm::readIcpPhase()
{
    if (!moduleIcpCapable()) {
        FreqForPhaseLMDLabel->setText(QString());
        return;
    }
    // The read that is under way fills the table for this request too.
    if (_icpPhaseReading)
        return;
    // The module call runs on a thread of its own while the window serves its events: a crate
    // server that stops answering costs the library's time-out there, never a frozen window.
    // The close of the window waits for it (closeEvent), so the handle outlives the call.
    _icpPhaseReading = true;
    double table[5] = {};
    std::atomic<bool> done{false};
    std::thread reader([this, &table, &done] {
        GetIcpPhaseCoefs(&ModuleHandle, table);  // its result is not examined
        done.store(true);
    });
    WaitWhileServing([&done] { return done.load(); });
    reader.join();
    _icpPhaseReading = false;
    std::memcpy(DisplayedCoefs.phase, table, sizeof DisplayedCoefs.phase);
    FreqForPhaseLMDLabel->setText(formatWithMask(DisplayedCoefs.phase[0], kCaptionFormat));
    if (_closePending)
        QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
}

void TMainForm::fillConfigurationFromFactory()
{
    static_assert(sizeof(ConfigurationCoefs) == sizeof(ModuleHandle.moduleInfo.factoryCoefs), "same arrangement");
    std::memset(ConfigurationCoefs, 0, sizeof(ConfigurationCoefs));
    std::memcpy(ConfigurationCoefs, ModuleHandle.moduleInfo.factoryCoefs, sizeof(ConfigurationCoefs));
}


void TMainForm::LoadCorrectionCoefs(bool readPhase)
{
    {
        const QSignalBlocker quiet(AdcRateCalibrPanelComboBox);  // a chosen rate, not an operator's change
        AdcRateCalibrPanelComboBox->setCurrentIndex(0);
    }
    DisplayedCoefs = CorrectionTables{};
    std::memset(ConfigurationCoefs, 0, sizeof(ConfigurationCoefs));
    UserFlashCoefs = CorrectionTables{};
    if (readPhase)
        readIcpPhase();
    else
        showIcpPhase(DisplayedCoefs.phase);  // empty until the table is read
    fillConfigurationFromFactory();
    std::memcpy(DisplayedCoefs.coefs, ConfigurationCoefs, sizeof(DisplayedCoefs.coefs));
}

void TMainForm::showIcpPhase(const double* table)
{
    if (moduleIcpCapable()) {
        std::memcpy(DisplayedCoefs.phase, table, sizeof DisplayedCoefs.phase);
        FreqForPhaseLMDLabel->setText(formatWithMask(DisplayedCoefs.phase[0], kCaptionFormat));
    } else {
        FreqForPhaseLMDLabel->setText(QString());
    }
}

void TMainForm::RefreshCalibrCoefsGridFromFactoryFlashLMDButtonClick()
{
    readIcpPhase();
    fillConfigurationFromFactory();
    std::memcpy(DisplayedCoefs.coefs, ConfigurationCoefs, sizeof(DisplayedCoefs.coefs));
    RedrawCorrectionGrids();
    UpdateSaveCoefsButtons();
}

void TMainForm::AdcRateCalibrPanelComboBoxChange() { RefreshCalibrCoefsGridFromFactoryFlashLMDButtonClick(); }

void TMainForm::SaveCalibrCoefsGridToFactoryFlashLMDButtonClick()
{
    if (!dialogs().question(this, "Вы уверены в том, что хотите перезаписать корректировочные коэффициенты в заводском ППЗУ?",
                            "Внимание!!!"))
        return;
    if (!writeFactoryFlash())
        dialogs().messageBox(this, "Не могу сохранить корректировочные коэффициенты в заводском ППЗУ!!!",
                             "Ошибка SaveAdcCalibrCoefsGridToFactoryFlashLMDButtonClick()!", MsgIcon::None);
}

void TMainForm::SaveCalibrCoefsGridToUserFlashLMDButtonClick()
{
    UserFlashCoefs = DisplayedCoefs;
    UpdateSaveCoefsButtons();
}

void TMainForm::RefreshCalibrCoefsGridFromUserFlashLMDButtonClick()
{
    DisplayedCoefs = CorrectionTables{};
    DisplayedCoefs = UserFlashCoefs;
    RedrawCorrectionGrids();
    UpdateSaveCoefsButtons();
}

void TMainForm::ResetCalibrCoefsGridInUserFlashLMDButtonClick() {}

void TMainForm::UpdateSaveCoefsButtons()
{
    const SaveButtonsState s = saveButtonsStateStep();
    SaveCalibrCoefsGridToFactoryFlashLMDButton->setEnabled(!s.factoryDisabled);
    SaveCalibrCoefsGridToUserFlashLMDButton->setEnabled(!s.userDisabled);
}

// ---- the grids

int TMainForm::amplitudeIndex(const TStringGrid* g) const
{
    for (int i = 0; i < 2; ++i)
        if (AmplitudeGrids[static_cast<std::size_t>(i)] == g)
            return i;
    return -1;
}

// The displayed element under an amplitude grid's cell, for the chosen rate; null when the
// cell has none or no rate is chosen.
Qmx58FactoryCoef* TMainForm::elementAt(int col, int row)
{
    const int rate = selectedCalibrRate();
    if (rate < 0 || row < 1 || row > kChannels || col < 1 || col > kRanges)
        return nullptr;
    return &DisplayedCoefs.coefs[row - 1][col - 1][rate];
}

// The stored value of a cell in the grid's format ("" when the cell has none).
QString TMainForm::storedText(TStringGrid* g, int col, int row)
{
    if (g == PhaseCoefsStringGrid)
        return row == 1 && col >= 1 && col <= kChannels ? formatWithMask(DisplayedCoefs.phase[col], kPhaseFormat) : QString();
    const int a = amplitudeIndex(g);
    const Qmx58FactoryCoef* e = elementAt(col, row);
    if (a < 0 || !e)
        return QString();
    return a == 0 ? formatWithMask(e->offset, kOffsetFormat) : formatWithMask(e->scale, kScaleFormat);
}

namespace {

// A typed number that a coefficient can hold: finite, and within a 32-bit float's range for
// the amplitude tables (a longer run of digits would turn into infinity there).
bool acceptable(const QString& text, bool amplitude, double& v)
{
    if (!parseDecimal(text, v))
        return false;
    return !amplitude || std::fabs(v) <= static_cast<double>(FLT_MAX);
}

}  // namespace

void TMainForm::RedrawCorrectionGrids()
{
    for (std::size_t g = 0; g < AmplitudeGrids.size(); ++g) {
        TStringGrid* grid = AmplitudeGrids[g];
        for (int r = 1; r < grid->rowCount(); ++r) {
            grid->setCell(0, r, QString::number(r));
            for (int c = 1; c < grid->columnCount(); ++c)
                grid->setCell(c, r, storedText(grid, c, r));
        }
    }
    PhaseCoefsStringGrid->setCell(0, 1, "Сдвиг фаз, Град");
    for (int c = 1; c < PhaseCoefsStringGrid->columnCount(); ++c)
        PhaseCoefsStringGrid->setCell(c, 1, storedText(PhaseCoefsStringGrid, c, 1));
}

GridCellStyle TMainForm::correctionCellStyle(TStringGrid* grid, int col, int row, const GridDrawState& state) const
{
    const bool enabled = grid->isEnabled();
    const QColor grey(128, 128, 128);
    GridCellStyle s;
    s.shownText = grid->cell(col, row);
    if (row == 0) {
        s.font = QFont("Arial");
        s.font.setPointSize(14);
        s.text = enabled ? grid->FontColor : grey;
        s.background = grid->FixedColor;
        return s;
    }
    if (col == 0) {
        s.font = QFont("Courier New");
        s.font.setPointSize(13);
        s.font.setBold(true);
        s.text = enabled ? QColor(128, 0, 0) : grey;
        s.background = QColor(255, 255, 208);
    } else {
        s.font = QFont("Tahoma");
        s.font.setPointSize(12);
        s.text = enabled ? grid->FontColor : grey;
        s.background = grid->Color;
        if (!enabled)
            s.shownText = "-----";
    }
    s.framed = true;
    s.frame = state.focused ? QColor(0, 0, 255) : s.background;
    return s;
}

void TMainForm::CorrectionCoefsStringGridDrawCell(TStringGrid* grid, QPainter& p, int col, int row, const QRect& rect,
                                                  const GridDrawState& state)
{
    paintGridCell(p, rect, correctionCellStyle(grid, col, row, state));
}

void TMainForm::CorrectionCoefsStringGridDblClick(TStringGrid* grid)
{
    if (grid->col() == 0 || grid->editorMode())
        return;
    grid->setEditingAllowed(true);
    grid->showEditor();
    if (grid->editor())
        grid->editor()->selectAll();
}

void TMainForm::CorrectionCoefsStringGridGetEditText(TStringGrid*, int, int, QString& text) { SavedEditText = text; }

void TMainForm::CorrectionCoefsStringGridSetEditText(TStringGrid* grid, int col, int row, const QString& text)
{
    double v = 0;
    if (text.isEmpty() || text == "-" || parseDecimal(text, v))
        return;
    if (grid != PhaseCoefsStringGrid && amplitudeIndex(grid) < 0) {
        dialogs().messageBox(this, "Не могу опознать таблицу коэффициентов!", "Ошибка CorrectionCoefsStringGridSelectCell()!",
                             MsgIcon::None);
        return;
    }
    grid->setCell(col, row, storedText(grid, col, row));
    dialogs().messageBox(this, "Введеное значение не совсем корректно!", "Внимание!!!", MsgIcon::Information);
}

void TMainForm::CorrectionCoefsStringGridKeyDown(TStringGrid* grid, int& key)
{
    const bool move = key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp || key == Qt::Key_PageDown;
    if (move && grid->editorMode() && grid->col() != 0)
        grid->setCell(grid->col(), grid->row(), SavedEditText);
}

void TMainForm::CorrectionCoefsStringGridKeyUp(TStringGrid* grid, int& key)
{
    if (key != Qt::Key_Escape || !grid->editingAllowed())
        return;
    if (grid->editorMode()) {
        grid->setCell(grid->col(), grid->row(), SavedEditText);
        grid->setEditingAllowed(false);
    }
    grid->hideEditor();
}

void TMainForm::CorrectionCoefsStringGridKeyPress(TStringGrid* grid, QChar& key)
{
    if (key.isDigit() || key == QChar('\b') || key == QChar('.') || key == QChar('-'))
        return;
    if (key != QChar('\r')) {
        key = QChar();
        return;
    }
    key = QChar();
    const int col = grid->col();
    const int row = grid->row();
    if (col == 0)
        return;
    if (!grid->editorMode()) {
        grid->setEditingAllowed(true);
        return;
    }
    const int a = amplitudeIndex(grid);
    if (grid != PhaseCoefsStringGrid && a < 0) {
        dialogs().messageBox(this, "Не могу опознать таблицу коэффициентов!", "Ошибка CorrectionCoefsStringGridKeyPress()!",
                             MsgIcon::None);
        return;
    }
    double v = 0;
    Qmx58FactoryCoef* e = a >= 0 ? elementAt(col, row) : nullptr;
    const bool target = a >= 0 ? e != nullptr : row == 1 && col >= 1 && col <= kChannels;
    if (!target || !acceptable(grid->cell(col, row), a >= 0, v)) {
        grid->setCell(col, row, storedText(grid, col, row));
        grid->setEditingAllowed(false);
        dialogs().messageBox(this, "Введеное значение не совсем корекктно!", "Внимание!!!", MsgIcon::Information);
        return;
    }
    if (a == 0)
        e->offset = static_cast<float>(v);
    else if (a == 1)
        e->scale = static_cast<float>(v);
    else
        DisplayedCoefs.phase[col] = v;  // the phase grid keeps its entries in the phase array
    UpdateSaveCoefsButtons();
    grid->setEditingAllowed(false);
}

void TMainForm::CorrectionCoefsStringGridSelectCell(TStringGrid* grid, int, int) { grid->setEditingAllowed(false); }

}  // namespace qmx
