// Construction, placement, hints, the Escape rule, closing and the worker-thread hand-shakes.

#include "MainForm.h"

#include "SignalView.h"

#include "ApplicationIcon.h"
#include "FileVersionInfo.h"
#include "ProgramPath.h"
#include "SettingsLocation.h"
#include "NumberFormat.h"
#include "Led.h"
#include "RateTable.h"
#include "WindowMessages.h"
#include "WorkerThread.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QToolButton>
#include <QTextDocument>
#include <QToolTip>
#include <QtMath>

#include <cmath>

namespace qmx {
namespace {

constexpr int kHintPauseMs = 200;
constexpr int kHintShortMs = 2000;
constexpr int kHintLongMs = 10000;

// The hint pause of the application.
class HintTimingStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_ToolTip_WakeUpDelay)
            return kHintPauseMs;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

}  // namespace

QRect TMainForm::workArea(const QWidget* w)
{
    const QScreen* s = w && w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    return s ? s->availableGeometry() : QRect(0, 0, 1280, 768);
}

TMainForm::TMainForm(const MainFormOptions& options)
    : QMainWindow(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                               Qt::MSWindowsFixedSizeDialogHint),
      _options(options)
{
    Q_ASSERT(_options.dialogs);
    UpdateGuard = 1;
    TThread::installDispatcher();
    setObjectName("MainForm");
    setWindowTitle("QMX58");
    setContextMenuPolicy(Qt::CustomContextMenu);
    buildWidgetTree();
    FormCreate();

    // Hints: pause, colour, font.
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) {
        if (!dynamic_cast<HintTimingStyle*>(app->style()))
            app->setStyle(new HintTimingStyle);
        QPalette tip = QToolTip::palette();
        tip.setColor(QPalette::ToolTipBase, toQColor(kColorHint));
        tip.setColor(QPalette::ToolTipText, Qt::black);
        QToolTip::setPalette(tip);
        QFont tipFont("Courier New");
        tipFont.setStyleHint(QFont::Monospace);
        tipFont.setPointSize(12);
        tipFont.setBold(true);
        QToolTip::setFont(tipFont);
        // Application events: short cuts, activation, hints.
        app->installEventFilter(this);
        connect(app, &QGuiApplication::applicationStateChanged, this,
                [this](Qt::ApplicationState s) { setApplicationActive(s == Qt::ApplicationActive); });
    }
    // Icon.
    setWindowIcon(applicationIcon());
    QGuiApplication::setWindowIcon(windowIcon());

    // Initial texts.
    ModuleSerialNumberLMDLabel->setText("????????");
    ModuleFirmwareVersionLMDLabel->setText("??.??.??.??");
    ModuleStatusLed->setToolTip("Статус модуля -> ???");
    GeneratorStatusLed->setToolTip("Статус генератора -> ???");
    VoltmeterStatusLed->setToolTip("Статус мультиметра -> ???");
    NeutralTitle = "QMX58_probe - ?.?.?";

    // Rate lists, range selectors, channel panels.
    fillRateLists();
    CommonDiffInputRangeLMDComboBox->clear();
    CommonDiffInputRangeLMDComboBox->addItems({"    2 В", "  10 В"});
    CommonIcpInputRangeLMDComboBox->clear();
    CommonIcpInputRangeLMDComboBox->addItems({"   1 В", "   5 В"});
    for (QComboBox* c : {CommonDiffInputRangeLMDComboBox, CommonIcpInputRangeLMDComboBox}) {
        c->setMaxVisibleItems(2);
        c->setCurrentIndex(-1);
    }
    placeChannelPanels();
    showMeasurementSettings();
    describeReadings(false);

    // Active page, border, hidden pages and panels.
    _pageTable = {MultimeterLMDTabSheet};
    MainLMDPageControl->setCurrentIndex(0);
    const QRect area = workArea(this);
    const int clientHeight = qMin(kClientHeight, area.height());
    setFixedSize(kClientWidth, clientHeight);
    MainLMDPageControl->setTabVisible(MainLMDPageControl->indexOf(CorrectionFactorsLMDTabSheet), false);
    MainLMDPageControl->setTabVisible(MainLMDPageControl->indexOf(VerificationLMDTabSheet), false);
    for (QWidget* w : std::initializer_list<QWidget*>{EquipmentLMDSimplePanel, GeneratorLMDGroupBox, VoltmeterLMDGroupBox,
                                                      GeneratorStatusLed, VoltmeterStatusLed,
                                                      SelectedModuleLMDSimplePanel->findChild<QWidget*>("Bevel3")})
        w->setVisible(false);
    if (AdcIndividualParsLMDSimplePanel->height() > AdcIndividualParsLMDScrollBox->viewport()->height()) {
        const int sb = AdcIndividualParsLMDScrollBox->verticalScrollBar()->sizeHint().width();
        setFixedSize(width() + sb, height());
        MultimeterLMDSimplePanel->resize(MultimeterLMDSimplePanel->width() + sb, MultimeterLMDSimplePanel->height());
    }
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);

    // Handlers of the window's own controls.
    connect(ApplicationExit, &QAction::triggered, this, [this] { ApplicationExitClick(); });
    connect(SaveCurrentSettings, &QAction::triggered, this, [this] { SaveCurrentSettingsClick(); });
    connect(SaveDefaultSettings, &QAction::triggered, this, [this] { SaveDefaultSettingsClick(); });
    connect(AutoSaveSettingsLMDCheckBox, &QCheckBox::stateChanged, this, [this] { AutoSaveSettingsLMDCheckBoxChange(); });
    connect(SaveSettingsButton, &QPushButton::clicked, this, [this] { SaveSettingsButtonClick(); });
    connect(FindDeviceLMDButton, &QPushButton::clicked, this, [this] { FindDeviceLMDButtonClick(); });
    // Any way of pressing the latching button (mouse, keyboard, assistive technology) changes its
    // state; the handler follows the state, not the click.
    connect(StartMultimeterLMDSpeedButton, &QToolButton::toggled, this, [this] { StartMultimeterLMDSpeedButtonClick(); });
    connect(QmxCratesComboBox, &QComboBox::currentIndexChanged, this, [this] { QmxCratesComboBoxChange(); });
    connect(ModulesComboBox, &QComboBox::currentIndexChanged, this, [this] { ModulesComboBoxChange(); });
    for (QComboBox* c : {AdcRateComboBox, DataFormatLMDComboBox, CurrentValueLMDComboBox})
        connect(c, &QComboBox::currentIndexChanged, this, [this] { AcquisitionParameterChange(); });
    connect(PhaseCorrectionFilterMultimeterLMDCheckBox, &QCheckBox::stateChanged, this, [this] { AcquisitionParameterChange(); });
    connect(AllChannelsLMDCheckBox, &QCheckBox::stateChanged, this, [this] { AllChannelsLMDCheckBoxChange(); });
    connect(CommonInputConnectionModeLMDComboBox, &QComboBox::currentIndexChanged, this,
            [this] { CommonInputConnectionModeLMDComboBoxChange(); });
    for (QComboBox* c : {CommonDiffInputRangeLMDComboBox, CommonIcpInputRangeLMDComboBox})
        connect(c, &QComboBox::currentIndexChanged, this, [this] { CommonInputRangeChange(); });
    connect(CommonComputationMethodLMDComboBox, &QComboBox::currentIndexChanged, this,
            [this] { CommonComputationMethodLMDComboBoxChange(); });
    // The page control has no veto before a switch: a refused switch goes back at once.
    connect(MainLMDPageControl, &QTabWidget::currentChanged, this, [this](int page) {
        if (UpdateGuard || page == _shownPage) {
            _shownPage = page;  // programmatic switches are taken as they are
            return;
        }
        if (MainLMDPageControlChangingEx(page)) {
            _shownPage = page;
        } else {
            const std::uint8_t guard = UpdateGuard;
            UpdateGuard = 1;
            MainLMDPageControl->setCurrentIndex(_shownPage);
            UpdateGuard = guard;
        }
    });
    connect(this, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (_contextMenuEnabled)
            PopupMenu->popup(mapToGlobal(pos));
    });
    connectHiddenPages();  // MainFormVerification.cpp

    // Ready.
    UpdateGuard = 0;
    ShowStage = 1;
    WindowsVersionCode = 0;  // no operating-system version query here
}

TMainForm::~TMainForm()
{
    endWorkers();
    if (auto* app = QCoreApplication::instance())
        app->removeEventFilter(this);
}

void TMainForm::endWorkers()
{
    // Neither worker may outlive the window it calls back into.
    _closing = true;
    if (_mainThread) {
        const std::unique_ptr<TMainThread> t(std::exchange(_mainThread, nullptr));
        t->TerminateAndWait();
    }
    WaitWhileServing([this] { return _discoveryObjects == 0 || !TThread::dispatcherInstalled(); });
}

void TMainForm::placeChannelPanels()
{
    for (int ch = 0; ch < 4; ++ch) {
        auto* f = new TQmx58AdcChannelFrame(AdcIndividualParsLMDSimplePanel, 2, IcpRanges, 2, DiffRanges,
                                            static_cast<std::uint16_t>(ch));
        Frames[static_cast<std::size_t>(ch)] = f;
        f->setObjectName(QString("Qmx58AdcChannel%1Frame").arg(ch));
        const int h = f->Qmx58AdcChannelLMDSimplePanel->y() + f->Qmx58AdcChannelLMDSimplePanel->height();
        const int w = f->Qmx58AdcChannelLMDSimplePanel->x() + f->Qmx58AdcChannelLMDSimplePanel->width();
        f->setFixedSize(w, h);
        f->move(static_cast<int>((AdcIndividualParsLMDGroupBox->width() - w) * 0.5), ch * h + 2);

        for (QWidget* v : std::initializer_list<QWidget*>{f->Value1LMDEdit, f->Value2LMDEdit, f->Value3LMDEdit,
                                                          f->Value1LabLMDLabel, f->Value2LabLMDLabel, f->Value3LabLMDLabel,
                                                          f->Value1LabUnitLMDLabel, f->Value2LabUnitLMDLabel,
                                                          f->Value3LabUnitLMDLabel})
            v->setEnabled(true);
        f->Value1LabLMDLabel->setText("Напряжение");
        f->Value2LabLMDLabel->setText("Частота");
        f->Value3LabLMDLabel->setText("Фаза");
        f->Value1LabUnitLMDLabel->setText("мВ");
        f->Value2LabUnitLMDLabel->setText("кГц");
        f->Value3LabUnitLMDLabel->setText("Град");

        QCheckBox* box = f->ChannelNumberLMDCheckBox;
        connect(box, &QCheckBox::stateChanged, this, [this, box] { EnaChannelLMDCheckBoxChange(box); });
        QComboBox* mode = f->InputConnectionModeLMDComboBox;
        connect(mode, &QComboBox::currentIndexChanged, this, [this, mode] { ChannelInputConnectionModeChange(mode); });
        for (QComboBox* range : {f->DiffInputRangeLMDComboBox, f->IcpInputRangeLMDComboBox})
            connect(range, &QComboBox::currentIndexChanged, this, [this, range] { ChannelInputRangeChange(range); });
        QComboBox* method = f->ComputationMethodLMDComboBox;
        connect(method, &QComboBox::currentIndexChanged, this, [this, method] { ComputationMethodLMDComboBoxChange(method); });
        QRadioButton* radio = f->BasePhaseChannelLMDRadioButton;
        connect(radio, &QRadioButton::clicked, this, [this, radio] { BasePhaseChannelLMDRadioButtonClick(radio); });

        disableTree(f->Qmx58AdcChannelLMDSimplePanel);
        ResetChannelValues(ch);
        f->setVisible(true);
    }
}

void TMainForm::disableTree(QWidget* root)
{
    for (QWidget* w : root->findChildren<QWidget*>())
        w->setEnabled(false);
}

std::string TMainForm::settingsFile() const
{
    if (!_options.programFolderBytes.empty())
        return _options.programFolderBytes + "/" + settings::kSettingsFileName;
    return QFile::encodeName(QDir(_options.programFolder).filePath(settings::kSettingsFileName)).toStdString();
}

QString TMainForm::settingsPath() const { return QFile::decodeName(QByteArray::fromStdString(settingsFile())); }

std::string TMainForm::fileBytes(const QString& path) const
{
    return path == settingsPath() ? settingsFile() : QFile::encodeName(path).toStdString();
}

bool TMainForm::multimeterPageActive() { return MainLMDPageControl->currentIndex() == 0; }

void TMainForm::FormCreate() { setDecimalSeparatorDot(); }

void TMainForm::FormActivate() { setDecimalSeparatorDot(); }

void TMainForm::ApplicationExitClick()
{
    UpdateGuard = 0;
    close();
}

// ---- placement and the first discovery

void TMainForm::showEvent(QShowEvent* e)
{
    QMainWindow::showEvent(e);
    FormShow();
    // The window gets its size when it is shown; that first resize after the show places it.
    QMetaObject::invokeMethod(this, [this] { FormResize(); }, Qt::QueuedConnection);
}

void TMainForm::resizeEvent(QResizeEvent* e)
{
    QMainWindow::resizeEvent(e);
    FormResize();
}

void TMainForm::FormShow()
{
    if (UpdateGuard)
        return;
    UpdateGuard = 1;
    if (ShowStage == 1)
        ShowStage = 2;
    UpdateGuard = 0;
}

void TMainForm::FormResize()
{
    if (UpdateGuard || ShowStage != 2)
        return;
    UpdateGuard = 1;
    const QRect area = workArea(this);
    const int top = (area.bottom() + 1 - area.top() - frameGeometry().height()) / 2;
    move(x(), top);
    ShowStage = 3;
    UpdateGuard = 0;
    requestDiscovery(3, true);
}

// ---- hand-shakes

bool TMainForm::event(QEvent* e)
{
    if (e->type() == WindowMessageEvent::eventType()) {
        const auto* m = static_cast<WindowMessageEvent*>(e);
        if (m->message == WM_START_INIT_DEVICES)
            OnStartInitDevicesThread(static_cast<int>(m->wParam), m->lParam != 0);
        else if (m->message == WM_START_MAIN_THREAD)
            OnStartMainThread();
        return true;
    }
    if (e->type() == QEvent::WindowActivate)
        FormActivate();
    return QMainWindow::event(e);
}

void TMainForm::requestDiscovery(int mode, bool fromSettings)
{
    if (DiscoveryRunning || !DiscoveryMayBeRequested || _closing)
        return;
    DiscoveryMayBeRequested = 0;
    PostWindowMessage(this, WM_START_INIT_DEVICES, mode, fromSettings ? 1 : 0);
}

void TMainForm::discoveryStarted()
{
    if (discoveryProbe)
        discoveryProbe();
}

void TMainForm::OnStartInitDevicesThread(int mode, bool fromSettings)
{
    // The discovery reopens the module the acquisition thread uses: the two never overlap.
    StopThread();
    DiscoveryRunning = 0;
    TInitAndConfigThread* thread = nullptr;
    try {
        thread = new TInitAndConfigThread(*this, fromSettings, static_cast<std::int16_t>(mode));
    } catch (...) {
        DiscoveryMayBeRequested = 1;
        dialogs().messageBox(this, "Не могу открыть поток 'InitAndConfigThread'!", "Ошибка OnStartInitDevicesThread()!",
                             MsgIcon::None);
        return;
    }
    ++_discoveryObjects;
    _discoveryEnded = false;
    thread->setFreeOnTerminate(true);
    thread->OnTerminate = [this] {
        DiscoveryRunning = 0;
        _discoveryEnded = true;
    };
    // The thread object is gone only when the dispatcher has deleted it (on this thread):
    // until then the window neither closes nor goes, so no worker object outlives it.
    connect(thread, &QObject::destroyed, this, [this] {
        --_discoveryObjects;
        if (_closePending)
            QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
    });
    thread->start();
    // A thread that ends within one poll has run too: its termination handler tells.
    WaitWhileServing([this] { return DiscoveryRunning == 1 || _discoveryEnded; });
    DiscoveryMayBeRequested = 1;
}

void TMainForm::StartThread()
{
    // A stop in progress still has its thread at work on the module: no second one beside it.
    if (MeasurementRunning || !MeasurementMayBeStarted || _stopsInProgress > 0 || _mainThread)
        return;
    // A discovery requested or running owns the module until it has finished (its work is
    // over when its termination handler has cleared the running flag).
    if (DiscoveryRunning || !DiscoveryMayBeRequested)
        return;
    const int page = static_cast<int>(_pageTable.indexOf(MainLMDPageControl->currentWidget()));
    if (page < 0) {
        dialogs().messageBox(this, "Неизвестный номер страницы приложения!", "Ошибка StartThread()!!!", MsgIcon::Information);
        return;
    }
    RunningPageNumber = static_cast<std::uint16_t>(page);
    if (_pageTable[page] == MultimeterLMDTabSheet) {
        MeasurementMayBeStarted = 0;
        PostWindowMessage(this, WM_START_MAIN_THREAD, 0, 0);
        WaitWhileServing([this] { return MeasurementMayBeStarted == 1; });
    }
}

void TMainForm::OnStartMainThread()
{
    MeasurementRunning = 0;
    try {
        _mainThread = new TMainThread(*this, RunningPageNumber);
    } catch (...) {
        _mainThread = nullptr;
        MeasurementMayBeStarted = 1;
        dialogs().messageBox(this, "Не могу открыть поток 'MainThread'!", "Ошибка OnStartMainThread()!", MsgIcon::None);
        close();
        return;
    }
    _mainThread->OnTerminate = [this] { MeasurementRunning = 0; };
    _mainThread->start();
    TMainThread* t = _mainThread;
    WaitWhileServing([this, t] { return MeasurementRunning == 1 || t->runDone(); });
    MeasurementMayBeStarted = 1;
}

void TMainForm::StopThread()
{
    ++_stopCalls;
    if (!_mainThread || !MeasurementMayBeStarted)
        return;
    // This stop owns the thread from here on: a handler served inside the waits below (a
    // second short cut, Escape) sees no thread and returns, and nothing else deletes it.
    const std::unique_ptr<TMainThread> t(std::exchange(_mainThread, nullptr));
    ++_stopsInProgress;
    struct Done {
        int& n;
        ~Done() { --n; }
    } done{_stopsInProgress};
    TMainThread* running = t.get();
    WaitWhileServing([this, running] { return MeasurementRunning == 1 || running->runDone(); });
    t->TerminateAndWait();
    WaitWhileServing([this] { return MeasurementRunning == 0; });
}

// ---- Escape, hints, activation

bool TMainForm::ApplicationShortCut(int key)
{
    if (key != Qt::Key_Escape)
        return false;
    if (UpdateGuard || DiscoveryRunning) {
        UpdateGuard = 0;
        return true;
    }
    if (MainLMDPageControl->currentIndex() == 0 && MeasurementIdle == 0)
        StopThread();
    return false;
}

int TMainForm::hintHideTimeout(const QWidget* control) const
{
    if (control == QmxCrateStatusLed)
        return control->toolTip().contains("обновить") || SelectedCrateTypeCode == 21 ? kHintLongMs : kHintShortMs;
    if (control == ModuleStatusLed)
        return control->toolTip().contains("обновить") ? kHintLongMs : kHintShortMs;
    return kHintShortMs;
}

QRect TMainForm::placeHint(const QRect& hint, const QRect& area)
{
    QRect r = hint;
    if (r.bottom() > area.bottom())
        r.moveTop(area.bottom() + 1 - r.height() - 10);
    if (r.right() > area.right())
        r.moveLeft(area.right() + 1 - r.width() - 10);
    return r;
}

// The hint's rectangle at the origin, laid out for at most `width` pixels: plain text in the
// hint font, rich text (the tools' hints) as the hint window lays it out.
static QRect hintRect(const QString& text, int width)
{
    if (Qt::mightBeRichText(text)) {
        QTextDocument doc;
        doc.setDefaultFont(QToolTip::font());
        doc.setHtml(text);
        doc.setTextWidth(width);
        const QSizeF ideal(doc.idealWidth(), doc.size().height());
        return QRect(0, 0, qCeil(ideal.width()), qCeil(ideal.height())).adjusted(-4, -4, 4, 4);
    }
    const QFontMetrics fm(QToolTip::font());
    return fm.boundingRect(QRect(0, 0, width, 100000), Qt::TextWordWrap, text).adjusted(-4, -4, 4, 4);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* e)
{
    switch (e->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress: {
        auto* k = static_cast<QKeyEvent*>(e);
        if (e->type() == QEvent::KeyPress && k->key() == Qt::Key_Escape && _shortcutsAttached && isActiveWindow() &&
            QApplication::activeModalWidget() == nullptr) {
            if (ApplicationShortCut(k->key()))
                return true;
        }
        break;
    }
    case QEvent::ToolTip: {
        auto* w = qobject_cast<QWidget*>(watched);
        if (!w || w->window() != this || w->toolTip().isEmpty())
            break;
        const auto* he = static_cast<QHelpEvent*>(e);
        const QRect area = workArea(this);
        QRect r = hintRect(w->toolTip(), area.width());
        r.moveTopLeft(he->globalPos() + QPoint(2, 16));
        r = placeHint(r, area);
        QToolTip::showText(r.topLeft() - QPoint(2, 16), w->toolTip(), w, QRect(), hintHideTimeout(w));
        return true;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, e);
}

void TMainForm::setApplicationActive(bool active)
{
    for (TQmx58AdcChannelFrame* f : Frames)
        if (f)
            f->setHoverSelect(active);
}

// ---- closing

void TMainForm::closeEvent(QCloseEvent* e)
{
    // A discovery run calls back into the window: hold the close until it has finished.
    if (_discoveryObjects > 0 || !DiscoveryMayBeRequested || _icpPhaseReading) {
        _closePending = true;
        e->ignore();
        return;
    }
    _closePending = false;
    if (!FormClose()) {
        e->ignore();
        return;
    }
    _closing = true;
    e->accept();
}

bool TMainForm::FormClose()
{
    if (UpdateGuard)
        return true;
    UpdateGuard = 1;
    if (AutoSaveSettingsLMDCheckBox->isChecked()) {
        try {
            SaveIniFile(settingsPath());
        } catch (const std::exception& e) {
            // The settings could not be saved: say so and keep the window open and usable,
            // so that nothing is lost silently.
            _settingsFile.reset();
            UpdateGuard = 0;
            reportError(QString::fromUtf8(e.what()));
            return false;
        }
    }
    _settingsFile.reset();
    if (_signalView && _signalView->isVisible())
        saveSignalViewState();
    StopThread();
    if (QMX58_IsOpened(&ModuleHandle) == 0)
        QMX58_Close(&ModuleHandle);
    UpdateGuard = 0;
    return true;
}

std::optional<QString> TMainForm::programVersion() const
{
    // The running program's file as bytes: Qt's text name of it is empty or wrong for a folder
    // whose name is no valid UTF-8.
    const std::string file =
        _options.programFile.isEmpty() ? platform::programFileBytes() : QFile::encodeName(_options.programFile).toStdString();
    const auto v = platform::FileVersionInfo::read(file);
    if (!v)
        return std::nullopt;
    return QString::fromStdString(v->text());
}

}  // namespace qmx
