#pragma once
// TMainForm: the one main window. Its definitions are split by area:
//   MainFormLayout.cpp     the widget tree (names, captions, list items, containment)
//   MainFormLifecycle.cpp  construction, placement, hints, Escape, closing, thread hand-shakes
//   MainFormChannels.cpp   the channel panels' handlers
//   MainFormStatus.cpp     the status display and the discovery thread's message

#include "DialogSeam.h"
#include "DiscoveryTable.h"
#include "IniFile.h"
#include "SettingsKeys.h"
#include "InitAndConfigThread.h"
#include "MainThread.h"
#include "OperatorSettings.h"
#include "Qmx58AdcChannelFrame.h"
#include "ReadingsWriter.h"
#include "RecordingSink.h"
#include "StatusDisplay.h"
#include "qmx58api.h"

#include <QFile>
#include <QList>
#include <QStringList>
#include <QVector>
#include <QMainWindow>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPainter;
class QProgressBar;
class QSplitter;
class QTimer;
class QMenu;
class QPushButton;
class QScrollArea;
class QTabWidget;
class QToolButton;

namespace qmx {

class HiddenPagesFilter;
class SignalView;
class TLed;
class TLogView;
class TRadioGroup;
class TStringGrid;
struct GridCellStyle;
struct GridDrawState;

// What the program's surroundings provide; tests replace every part.
struct MainFormOptions {
    QString programFolder;           // where the settings file lives
    // The same folder as the file system names it (bytes, maybe no valid UTF-8); when set it
    // is the one used, programFolder only names it in messages.
    std::string programFolderBytes;
    std::uint16_t serverPort = 11111;
    DialogSeam* dialogs = nullptr;   // every modal dialog goes through it (required)
    // The program file whose version makes the title; empty: the running executable.
    QString programFile;
    // The files of the two libraries whose versions are checked; empty: the loaded ones.
    QString crateLibraryFile;
    QString moduleLibraryFile;
};

class TMainForm : public QMainWindow, public DiscoveryHost, public MeasurementHost {
public:
    static constexpr int WM_START_INIT_DEVICES = 0x0400 + 100;  // 1124
    static constexpr int WM_START_MAIN_THREAD = 0x0400 + 101;   // 1125
    static constexpr int kClientWidth = 1254;
    static constexpr int kClientHeight = 747;
    static constexpr std::uint16_t kNoCrate = 0xFFFF;

    explicit TMainForm(const MainFormOptions& options);
    ~TMainForm() override;

protected:
    // Stops the acquisition thread and waits until no discovery thread object is left; the
    // destructor does it first. A class derived from the window calls it in its own
    // destructor, before the window's part of the object starts going (the workers call back
    // through the window's interfaces until then).
    void endWorkers();

    // Tests and benchmarks reach the rest through TestMainForm (tests/support).
protected:

    // ---- window state (bytes, as the worker threads see them)
    std::atomic<std::uint8_t> UpdateGuard{1};
    std::uint8_t ShowStage = 0;
    std::atomic<std::uint8_t> DiscoveryRunning{0};
    std::atomic<std::uint8_t> DiscoveryMayBeRequested{1};
    std::atomic<std::uint8_t> MeasurementRunning{0};
    std::atomic<std::uint8_t> MeasurementMayBeStarted{1};
    std::atomic<std::uint8_t> MeasurementIdle{1};
    QString NeutralTitle = "QMX58_probe - ?.?.?";
    std::uint16_t ReferenceChannel = 0;
    QString ComputationMethod = "fft";
    QString AmplitudeType = "rms";
    double MaxAcquisitionTime = 1.0;

    // ---- hand-shakes with the worker threads
    void requestDiscovery(int mode, bool fromSettings);
    void StartThread();
    void StopThread();
    TMainThread* acquisitionThread() const { return _mainThread; }

    void FormActivate();
    // The application short-cut event; true when the key was handled.
    bool ApplicationShortCut(int key);

    // Channel panels
    void EnaChannelLMDCheckBoxChange(QObject* sender);
    void ComputationMethodLMDComboBoxChange(QObject* sender);
    void BasePhaseChannelLMDRadioButtonClick(QObject* sender);
    void ApplyChannelMode(int channel, int mode, int method);
    void ResetChannelValues(int channel);
    void setApplicationActive(bool active);

    // Status display (run on the window thread, synchronised by the discovery thread).
    void ShowStatus(const StatusInput& in);
    // Shows the discovery thread's pending message once per step sequence.
    void ShowDiscoveryMessage(bool& messageShown, const QString& text);

    // The one module handle, owned by the window for the whole run (all zero: closed).
    Qmx58Handle ModuleHandle{};
    DiscoveryTable Discovery;

    // Display precision and mask per precision row and range index.
    std::uint16_t Precision[settings::PrecisionRowCount][2] = {};
    QString DisplayMask[settings::PrecisionRowCount][2];

    // ---- settings file
    // Makes sure the file exists (factory values in a new one) and opens a file object on it
    // for a discovery run; nullptr with `message` set when that fails.
    std::unique_ptr<IniFile> EnsureSettingsFile(QString& message);
    bool CreateDefaultIniFile(const QString& path);
    void SaveIniFile(const QString& path);
    bool LoadSettings(IniFile* file, bool fromSettings);
    void SaveDefaultSettingsClick();
    bool holdsSettingsFile() const { return _settingsFile != nullptr; }

    // The program's own file version "major.minor.release", read from its file; nullopt when
    // the file carries none.
    std::optional<QString> programVersion() const;

    DialogSeam& dialogs() { return *_options.dialogs; }
    QString settingsPath() const;  // the settings file's name for messages (and tests)
    std::string settingsFile() const;  // the settings file as the file system names it
    // The bytes of `path`: the settings file's own when it names that file.
    std::string fileBytes(const QString& path) const;

    // The hint rule: how long a control's hint stays, and where it goes.
    int hintHideTimeout(const QWidget* control) const;
    static QRect placeHint(const QRect& hint, const QRect& workArea);
    // The available area of the screen the widget is on (the primary screen's without one).
    static QRect workArea(const QWidget* w);


    // DiscoveryHost and MeasurementHost
    std::atomic<std::uint8_t>& discoveryRunningFlag() override { return DiscoveryRunning; }
    void discoveryStarted() override;
    void discoveryPrepared() override
    {
        if (discoveryPreparedProbe)
            discoveryPreparedProbe();
    }
    void discoveryPrepare(TInitAndConfigThread& t) override;
    void discoveryRestorePosition(TInitAndConfigThread& t) override;
    void discoveryScanBegin(TInitAndConfigThread& t) override;
    void discoveryShowScan(TInitAndConfigThread& t) override;
    ServerAddress discoveryServer() const override;
    void discoveryRebuildModuleList() override;
    void discoveryShowStatus(TInitAndConfigThread& t, bool undetermined) override;
    void discoveryApplySettings(TInitAndConfigThread& t) override;
    void discoveryShowMessage(TInitAndConfigThread& t) override;
    void discoveryReadIcpPhase(double* table) override;
    void discoveryShowIcpPhase(TInitAndConfigThread& t) override;
    void discoveryFinish(TInitAndConfigThread& t) override;
    DiscoveryTable& discoveryTable() override { return Discovery; }
    Qmx58Handle& moduleHandle() override { return ModuleHandle; }

    bool contextMenuEnabled() const { return _contextMenuEnabled; }

    void EnableChannelPanels();
    std::atomic<std::uint8_t>& measurementRunningFlag() override { return MeasurementRunning; }
    std::atomic<std::uint8_t>& measurementIdleFlag() override { return MeasurementIdle; }
    bool multimeterPageActive() override;

    // ---- acquisition: configuration and result presentation (MainFormResults.cpp)
    void acquisitionStartup(StartupInfo& info) override;
    Qmx58Handle& acquisitionHandle() override { return ModuleHandle; }
    void acquisitionBeginRun(RunSettings& settings) override;
    void acquisitionReadConfiguration(ConfigurationInputs& inputs) override;
    void acquisitionShowTime(const QString& milliseconds) override;
    void acquisitionDisplay(RunSettings& settings, const FrameResults& results) override;
    void acquisitionUpdateLeds(const FrameResults& results) override;
    void acquisitionFinish() override;
    int acquisitionMessage(const QString& text) override;
    bool signalWanted() override;
    int pauseMs(RunPause which) override;
    void acquisitionShowSignal(std::shared_ptr<SignalFrame> frame) override;
    std::shared_ptr<RecordingSink> acquisitionRecording(const RunSettings& settings, const FrameResults& results) override;
    void acquisitionRecordingFailed(const std::shared_ptr<RecordingSink>& sink) override;
    // ---- end of acquisition block

    // ---- the tools beside the readings (MainFormSignal.cpp): the signal view, the
    // measurement settings of the file, the recording of the readings
    QAction* MethodFftAction = nullptr;
    QAction* MethodSumAction = nullptr;
    QAction* AmplitudeRmsAction = nullptr;
    QAction* AmplitudeAmpAction = nullptr;
    QAction* AcquisitionTimeAction = nullptr;
    QAction* RecordReadingsAction = nullptr;
    QAction* ShowSignalViewAction = nullptr;
    QLabel* RecordingMarkLabel = nullptr;
    QToolButton* ToolsMenuButton = nullptr;  // opens the window's menu from the tab row
    // A hint of the window's own tools: the lines in the window's font (rich text).
    QString windowFontHint(const QStringList& lines) const;
    void placeToolsCorner();  // the tools button and recording mark at the tab row's right end
    QRect readingsRect() const;  // the reading boxes, in screen coordinates
    // Where a window of `size` goes beside `main` on `screens` (available areas): right, left,
    // below or above where one of those lies wholly on the screens; otherwise inside `area`
    // where it covers the least of `readings`.
    static QRect placeBeside(const QRect& main, const QSize& size, const QVector<QRect>& screens, const QRect& area,
                             const QRect& readings);
    SignalView* signalView() const { return _signalView; }
    bool recording() const;

    // ---- coefficient page, verification page, instrument panels
    // (MainFormCoefficients.cpp, MainFormVerification.cpp)
    // The displayed coefficient table and, right after it, the ICP phase array: frequency in Hz
    // at which the phase shifts were measured, then the shift of channels 1..4 in degrees.
    struct CorrectionTables {
        Qmx58FactoryCoef coefs[4][2][16];  // [grid row - 1][grid column - 1][rate-list index]
        double phase[5];
        std::uint8_t spare[2];
    };
    CorrectionTables DisplayedCoefs{};
    CorrectionTables UserFlashCoefs{};  // stands for the module's user flash; memory only
    QString SavedEditText;

    // The coefficient tables of the configured module; readPhase false leaves the ICP phase
    // table to showIcpPhase (the discovery thread reads it from the module).
    void LoadCorrectionCoefs(bool readPhase = true);
    void showIcpPhase(const double* table);
    void SaveCalibrCoefsGridToFactoryFlashLMDButtonClick();
    void SaveCalibrCoefsGridToUserFlashLMDButtonClick();
    void RedrawCorrectionGrids();
    GridCellStyle correctionCellStyle(TStringGrid* grid, int col, int row, const GridDrawState& state) const;
    void CorrectionCoefsStringGridDblClick(TStringGrid* grid);

    TStringGrid* AdcOffsetCoefsStringGrid = nullptr;
    TStringGrid* AdcScaleCoefsStringGrid = nullptr;
    TStringGrid* PhaseCoefsStringGrid = nullptr;
    QPushButton* SaveCalibrCoefsGridToFactoryFlashLMDButton = nullptr;
    QPushButton* RefreshCalibrCoefsGridFromFactoryFlashLMDButton = nullptr;
    QPushButton* SaveCalibrCoefsGridToUserFlashLMDButton = nullptr;
    QPushButton* RefreshCalibrCoefsGridFromUserFlashLMDButton = nullptr;

    // Verification page
    TLogView* VerificationTextBox = nullptr;
    QProgressBar* ProgressBarVerification = nullptr;
    QPushButton* LoadFromFileVerifyTreeViewButton = nullptr;
    QLineEdit* CfgFileNameEdit = nullptr;
    QToolButton* StartVerificationLMDSpeedButton = nullptr;
    QCheckBox* EnaWriteLogFileLMDCheckBox = nullptr;
    FileDialogRequest SaveFileLMDSaveDialog;
    // Every file dialog of the window goes through here (centred on the window).
    QString runFileDialog(const FileDialogRequest& request);
    void VerifySplitterMoved();

    QLineEdit* SignalAmpltudeGeneratorLMDEdit = nullptr;
    QLabel* SignalAmpltudeGeneratorLabLMDLabel = nullptr;
    QLineEdit* SignalFrequencyGeneratorLMDEdit = nullptr;
    TRadioGroup* AcDcVoltmeterModeLMDRadioGroup = nullptr;
    QComboBox* AcFilterVoltmeterLMDComboBox = nullptr;
    QLabel* VoltmeterValueUnitLMDLabel = nullptr;
    void AcDcVoltmeterModeLMDRadioGroupChange(QObject* sender);

    // The rule for the control found under the cursor; step -1 up, +1 down.
    bool FormMouseWheel(QWidget* found, int step);

    // True while the close is held back for a running discovery.
    bool closePending() const { return _closePending; }

    std::array<TQmx58AdcChannelFrame*, 4> Frames{};

    // ---- widgets the code uses (the rest are reached by name)
    QGroupBox* ModuleDetectionLMDGroupBox = nullptr;
    QPushButton* FindDeviceLMDButton = nullptr;
    QCheckBox* AutoSaveSettingsLMDCheckBox = nullptr;
    QPushButton* SaveSettingsButton = nullptr;
    QComboBox* QmxCratesComboBox = nullptr;
    QComboBox* ModulesComboBox = nullptr;
    TLed* QmxCrateStatusLed = nullptr;
    TLed* ModuleStatusLed = nullptr;
    QLabel* ModuleSerialNumberLMDLabel = nullptr;
    QLabel* ModuleFirmwareVersionLMDLabel = nullptr;
    QWidget* StartMultimeterLMDSimplePanel = nullptr;
    QToolButton* StartMultimeterLMDSpeedButton = nullptr;
    QWidget* MainLMDSimplePanel = nullptr;
    QTabWidget* MainLMDPageControl = nullptr;
    QWidget* CorrectionFactorsLMDTabSheet = nullptr;
    QWidget* VerificationLMDTabSheet = nullptr;
    QWidget* MultimeterLMDSimplePanel = nullptr;
    QWidget* EquipmentLMDSimplePanel = nullptr;
    QGroupBox* GeneratorLMDGroupBox = nullptr;
    QGroupBox* VoltmeterLMDGroupBox = nullptr;
    QLabel* VoltmeterValueLMDLabel = nullptr;
    QLabel* FreqForPhaseLMDLabel = nullptr;
    QCheckBox* AllChannelsLMDCheckBox = nullptr;
    QComboBox* CommonDiffInputRangeLMDComboBox = nullptr;
    QComboBox* CommonIcpInputRangeLMDComboBox = nullptr;
    QComboBox* CommonComputationMethodLMDComboBox = nullptr;
    QComboBox* CommonInputConnectionModeLMDComboBox = nullptr;
    QLabel* ComputationModeLMDLabel = nullptr;
    QComboBox* AdcRateComboBox = nullptr;
    QComboBox* DataFormatLMDComboBox = nullptr;
    QComboBox* CurrentValueLMDComboBox = nullptr;
    QLabel* CurrentValueLabLMDLabel = nullptr;
    QLabel* AcquisitionTimeLMDLabel = nullptr;
    QCheckBox* PhaseCorrectionFilterMultimeterLMDCheckBox = nullptr;
    QLabel* ComputationModeLabLMDLabel = nullptr;
    QLabel* AmplitudeTypeLabLMDLabel = nullptr;
    QScrollArea* AdcIndividualParsLMDScrollBox = nullptr;
    QComboBox* AdcRateCalibrPanelComboBox = nullptr;
    QMenu* PopupMenu = nullptr;
    QAction* RebootAction = nullptr;
    QAction* SaveDefaultSettings = nullptr;
    QAction* SaveCurrentSettings = nullptr;
    QAction* AboutAction = nullptr;
    QAction* ApplicationExit = nullptr;


    bool moduleIcpCapable() const { return ModuleHandle.moduleInfo.icpCapable != 0; }
    Qmx58FactoryCoef ConfigurationCoefs[4][2][16]{};
    std::array<TStringGrid*, 2> AmplitudeGrids{};  // 0 offset, 1 scale
    // The library's QMX58_GetICPPhaseCoefs (tests replace it to watch the calls).
    std::function<std::int32_t(Qmx58Handle*, double*)> GetIcpPhaseCoefs;
    int selectedCalibrRate() const;
    void CommonLMDEditKeyPress(QObject* sender, QChar& key);
    // Mouse wheel over the window: true when the notch was used (the event is then handled).
    bool FormMouseWheelDown(const QPoint& globalPos);
    bool FormMouseWheelUp(const QPoint& globalPos);
    void buildHiddenPages();       // MainFormCoefficients.cpp: both hidden pages and the instrument panels
    void buildVerificationPage();  // MainFormVerification.cpp
    void connectHiddenPages();  // MainFormVerification.cpp: their handlers, the menu's grids and the wheel
    // ---- end of coefficient page, verification page, instrument panels

    // Type code of the selected crate (0 until a discovery found one).
    std::uint8_t SelectedCrateTypeCode = 0;
    // Test hooks: run on the discovery thread right after it reports that it runs, and
    // right after its Prepare step.
    std::function<void()> discoveryProbe;
    std::function<void()> discoveryPreparedProbe;
protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

    // Holds UpdateGuard for a handler's work and clears it on every way out.
    class GuardScope {
    public:
        explicit GuardScope(TMainForm& form) : _form(form) { _form.UpdateGuard = 1; }
        ~GuardScope() { _form.UpdateGuard = 0; }
        GuardScope(const GuardScope&) = delete;
        GuardScope& operator=(const GuardScope&) = delete;

    private:
        TMainForm& _form;
    };

private:
    // ---- used only by the window itself
    void buildSignalMenu();
    void showMeasurementSettings();
    // One replacement of the settings file with `write`; false (after a message) when refused.
    bool writeMeasurementSetting(const std::function<void(IniFile&)>& write);
    // Method or amplitude type: the window's field, the label that shows it, its key.
    void setMeasurementText(QString& field, QLabel* label, const std::string& key, const QString& value);
    void AcquisitionTimeClick();
    void ShowSignalViewClick();
    void clearSignalView();
    // The view's place and options kept in the settings file, in a section of their own.
    void restoreSignalViewState();
    void saveSignalViewState();
    // Where a view of `size` opens when it has no remembered place: beside the window.
    QRect signalViewPlaceBeside(const QSize& size) const;
    void RecordReadingsToggled(bool on);
    // Ends the recording; a non-empty reason goes into the file's last line and stays on the
    // recording mark, so the operator sees why it stopped.
    void stopRecording(const QString& reason = QString());
    // The header of the recording's next run (crate, module, rate, method, frame).
    ReadingsRunInfo recordingRunInfo(const RunSettings& s, const FrameResults& r) const;
    // A change of the method, amplitude type or acquisition time during a run: the run starts
    // again with it (the recording goes on with a line naming `change`). Nothing while idle.
    void restartRunFor(const QString& change);
    // The new tools' handlers run only when no other handler runs and no run is being
    // stopped or started: otherwise they wait, and a later press of the same kind replaces
    // an earlier one that still waits, so the last key the operator pressed wins.
    void runWhenFree(const QString& kind, std::function<void()> action);
    bool busyForTools() const;
    void runDeferredTools();
    // The readings a finished run leaves on screen: dimmed, LEDs off, never shown as live.
    void showReadingsHeld();
    // The reading boxes' accessible names and descriptions ("Канал 1, напряжение, 707.11 мВ")
    // as the boxes show them now; held: the run has ended.
    void describeReadings(bool held);
    SignalView* _signalView = nullptr;
    QString _viewCrateSerial, _viewModuleSerial;  // what the view was last told
    std::atomic<bool> _signalWanted{false};
    std::shared_ptr<RecordingSink> _recording;
    bool _recordColumnsDue = false;
    bool _recordRunInfoDue = false;
    QString _recordChangeNote;     // the "# " line of a restart for a setting change
    bool _keepRecording = false;   // set while a run stops only to start again
    std::vector<std::pair<QString, std::function<void()>>> _deferredTools;
    QTimer* _deferredToolsTimer = nullptr;
    // Per channel: the status of the frame on screen, for the LED update (amber: uncertain).
    std::array<ChannelStatus, 4> _shownStatus{};
    std::array<QString, 4> _shownWhy{};
    // While set (the discovery's Apply settings), loading the settings leaves the module calls
    // to the discovery thread and only fills the handle and the tables.
    bool _moduleCallsOnWorker = false;
    bool _moduleCallsPending = false;
    // The coefficient page's pieces: the ICP phase read, the factory tables, and what a grid
    // cell stands for.
    void readIcpPhase();
    void fillConfigurationFromFactory();
    int amplitudeIndex(const TStringGrid* g) const;
    Qmx58FactoryCoef* elementAt(int col, int row);
    QString storedText(TStringGrid* g, int col, int row);
    // The key and wheel filter of the hidden pages (MainFormVerification.cpp).
    friend class HiddenPagesFilter;
    // Fills the handle's acquisition fields from the window (no module call).
    void fillHandleFromWindow();
    // The module part of the settings as the window's selectors hold them now.
    OperatorSettings operatorSettingsOfWindow() const;
    std::uint16_t RunningPageNumber = 0;
    int WindowsVersionCode = 0;
    void OnStartInitDevicesThread(int mode, bool fromSettings);
    void OnStartMainThread();
    // ---- handlers
    void ApplicationExitClick();
    void FormCreate();
    void FormShow();
    void FormResize();
    // False when the close must not go on (the settings could not be saved).
    bool FormClose();
    void ChannelInputConnectionModeChange(QObject* sender);
    void ChannelInputRangeChange(QObject* sender);
    // The all-channels check box: checked or unchecked when the four agree, grey otherwise.
    void updateAllChannelsCheckState();
    void AutoSaveSettingsLMDCheckBoxChange();
    void SaveSettingsButtonClick();
    void SaveCurrentSettingsClick();
    // Fills the handle's acquisition fields from the window and configures the module.
    int applySettingsToModule();
    // The window's general error report: an error that ended a handler's work.
    void reportError(const QString& text);
    const MainFormOptions& options() const { return _options; }
    // Library version check of the discovery run: sets t.librariesOk, reports problems.
    void checkLibraryVersions(TInitAndConfigThread& t);
    // Locks or unlocks the menu items (and short cuts) that read the device state.
    void setDeviceActionsEnabled(bool on);
    // Enables or disables a container and everything in it (see MainFormDiscovery.cpp).
    void SetControlsEnabled(QWidget* panel, bool on, bool icpInUse);
    // Where a window frame of `size` goes for a saved top-left corner: there when it lies on
    // a screen's work area, else moved onto the first (any 32-bit values are safe).
    QPoint placeOnWorkAreas(std::int64_t left, std::int64_t top, const QSize& size) const;
    // ---- common acquisition controls (MainFormCommon.cpp)
    void FindDeviceLMDButtonClick();
    void StartMultimeterLMDSpeedButtonClick();
    void QmxCratesComboBoxChange();
    void ModulesComboBoxChange();
    void AcquisitionParameterChange();  // rate, data width, current source, phase filter
    void AllChannelsLMDCheckBoxChange();
    void CommonInputConnectionModeLMDComboBoxChange();
    void CommonInputRangeChange();
    void CommonComputationMethodLMDComboBoxChange();
    // Page switching; false cancels the switch.
    bool MainLMDPageControlChangingEx(int newPage);
    // The display mask of a precision row for a range index (the row's default without one).
    QString resultMask(int row, int range) const;
    // START's caption and its colour: running (red "С   Т   О   П") or idle (green START).
    void setStartButtonCaption(bool running);
    void RefreshCalibrCoefsGridFromFactoryFlashLMDButtonClick();
    void AdcRateCalibrPanelComboBoxChange();
    void RefreshCalibrCoefsGridFromUserFlashLMDButtonClick();
    void ResetCalibrCoefsGridInUserFlashLMDButtonClick();
    void UpdateSaveCoefsButtons();
    void CorrectionCoefsStringGridDrawCell(TStringGrid* grid, QPainter& p, int col, int row, const QRect& rect,
                                           const GridDrawState& state);
    void CorrectionCoefsStringGridKeyDown(TStringGrid* grid, int& key);
    void CorrectionCoefsStringGridKeyUp(TStringGrid* grid, int& key);
    void CorrectionCoefsStringGridKeyPress(TStringGrid* grid, QChar& key);
    void CorrectionCoefsStringGridSelectCell(TStringGrid* grid, int col, int row);
    void CorrectionCoefsStringGridGetEditText(TStringGrid* grid, int col, int row, QString& text);
    void CorrectionCoefsStringGridSetEditText(TStringGrid* grid, int col, int row, const QString& text);
    QPushButton* ResetCalibrCoefsGridInUserFlashLMDButton = nullptr;
    QLineEdit* VerifyTreeViewTitleLMDEdit = nullptr;
    QPushButton* SaveToFileVerifyTreeViewButton = nullptr;
    QPushButton* CollapseButton = nullptr;
    QPushButton* ExpandButton = nullptr;
    QCheckBox* PhaseCorrectionFilterVerificationLMDCheckBox = nullptr;
    QSplitter* VerifySplitter = nullptr;
    FileDialogRequest OpenFileLMDOpenDialog;
    void StartVerificationLMDSpeedButtonClick();
    void CfgFileNameEditChange();
    // Generator and multimeter panels
    QLabel* ChannelNumberLMDLabel = nullptr;
    TRadioGroup* GeneratorChannelStateLMDRadioGroup = nullptr;
    void CommonLMDEditChange(QLineEdit* edit);
    void AcFilterVoltmeterLMDComboBoxChange();
    QGroupBox* SaveIniSettingLMDGroupBox = nullptr;
    QWidget* SelectedModuleLMDSimplePanel = nullptr;
    TLed* GeneratorStatusLed = nullptr;
    TLed* VoltmeterStatusLed = nullptr;
    QWidget* MultimeterLMDTabSheet = nullptr;
    QGroupBox* AdcGroupParsLMDGroupBox = nullptr;
    QWidget* AcquisitionTimeLMDSimplePanel = nullptr;
    QWidget* ComputationInfoLMDSimplePanel = nullptr;
    QGroupBox* AdcIndividualParsLMDGroupBox = nullptr;
    QWidget* AdcIndividualParsLMDSimplePanel = nullptr;

    void buildWidgetTree();
    void placeChannelPanels();
    void fillRateLists();
    void disableTree(QWidget* root);
    void setContextMenuEnabled(bool enabled) { _contextMenuEnabled = enabled; }

    MainFormOptions _options;
    std::unique_ptr<IniFile> _settingsFile;
    // The acquisition thread of the run, owned here until a stop takes it over: a stop moves
    // it out first, so a second stop served inside the first one's wait finds nothing to stop.
    TMainThread* _mainThread = nullptr;
    int _stopsInProgress = 0;
    bool _icpPhaseReading = false;  // the coefficient page's ICP table is being read
    long _stopCalls = 0;  // every StopThread call, for a restart to see a stop of the operator's
    bool _contextMenuEnabled = true;
    bool _closePending = false;
    bool _closing = false;
    bool _shortcutsAttached = true;
    // Discovery thread objects that exist (created, not yet deleted by the dispatcher). A new
    // run may start while the previous object still waits for its deletion, so this counts.
    int _discoveryObjects = 0;
    std::atomic<bool> _discoveryEnded{false};
    QList<QWidget*> _pageTable;
    int _shownPage = 0;
    bool _savedCursor = false;
};

}  // namespace qmx
