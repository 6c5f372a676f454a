// The window's tools beside the multimeter page, reached from the end of the context menu:
// the signal view (the last frame's waveform and spectrum), the measurement settings that
// otherwise live only in the settings file (method, amplitude type, acquisition time), and the
// recording of every frame's readings to a CSV file.
#include "MainForm.h"

#include "CrateScan.h"
#include "ReadingsWriter.h"
#include "SignalView.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace qmx {

namespace S = settings;

namespace {
constexpr const char* kRecordingCaption = "Запись показаний";
constexpr const char* kMeasurementSettingsCaption = "Настройки измерения";
constexpr double kShortestAcquisitionTime = settings::kAcquisitionTimeMin;
constexpr double kLongestAcquisitionTime = settings::kAcquisitionTimeMax;

QString effectiveMethod(const QString& method) { return method == "fft" ? "fft" : "sum"; }
bool peakAmplitude(const QString& type) { return type != "rms"; }
}  // namespace

void TMainForm::buildSignalMenu()
{
    PopupMenu->addSeparator();
    QMenu* method = PopupMenu->addMenu("Метод расчёта");
    method->setObjectName("ComputationMethodMenu");
    QMenu* amplitude = PopupMenu->addMenu("Тип амплитуды");
    amplitude->setObjectName("AmplitudeTypeMenu");
    // From the first discovery on the menu no longer opens on a right click, so every item
    // here has a short cut of its own (the voltage boxes' hint names them).
    auto shortcut = [this](QAction* a, const char* keys) {
        a->setShortcut(QKeySequence(keys));
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
    };
    auto choice = [this, &shortcut](QMenu* menu, QActionGroup* group, const char* name, const QString& text, const char* keys) {
        auto* a = new QAction(text, this);
        a->setObjectName(name);
        a->setCheckable(true);
        group->addAction(a);
        menu->addAction(a);
        shortcut(a, keys);
        return a;
    };
    auto* methods = new QActionGroup(this);
    MethodFftAction = choice(method, methods, "MethodFftAction", "fft — по спектру (частота и фаза)", "Ctrl+Shift+F");
    MethodSumAction = choice(method, methods, "MethodSumAction", "sum — взвешенные суммы (только напряжение)", "Ctrl+Shift+S");
    auto* amplitudes = new QActionGroup(this);
    AmplitudeRmsAction = choice(amplitude, amplitudes, "AmplitudeRmsAction", "rms — среднеквадратическое значение", "Ctrl+Shift+R");
    AmplitudeAmpAction = choice(amplitude, amplitudes, "AmplitudeAmpAction", "amp — амплитуда синуса", "Ctrl+Shift+A");
    auto setMethod = [this](const char* m) { setMeasurementText(ComputationMethod, ComputationModeLabLMDLabel, S::kComputationMethod, m); };
    auto setAmplitudeType = [this](const char* t) { setMeasurementText(AmplitudeType, AmplitudeTypeLabLMDLabel, S::kAmplitudeType, t); };
    connect(MethodFftAction, &QAction::triggered, this, [this, setMethod] { runWhenFree("method", [setMethod] { setMethod("fft"); }); });
    connect(MethodSumAction, &QAction::triggered, this, [this, setMethod] { runWhenFree("method", [setMethod] { setMethod("sum"); }); });
    connect(AmplitudeRmsAction, &QAction::triggered, this,
            [this, setAmplitudeType] { runWhenFree("amplitude", [setAmplitudeType] { setAmplitudeType("rms"); }); });
    connect(AmplitudeAmpAction, &QAction::triggered, this,
            [this, setAmplitudeType] { runWhenFree("amplitude", [setAmplitudeType] { setAmplitudeType("amp"); }); });
    _deferredToolsTimer = new QTimer(this);
    _deferredToolsTimer->setSingleShot(true);
    connect(_deferredToolsTimer, &QTimer::timeout, this, [this] { runDeferredTools(); });

    AcquisitionTimeAction = new QAction(this);
    AcquisitionTimeAction->setObjectName("AcquisitionTimeAction");
    PopupMenu->addAction(AcquisitionTimeAction);
    shortcut(AcquisitionTimeAction, "Ctrl+T");
    connect(AcquisitionTimeAction, &QAction::triggered, this, [this] { runWhenFree("time", [this] { AcquisitionTimeClick(); }); });

    PopupMenu->addSeparator();
    RecordReadingsAction = new QAction("Запись показаний в файл ...", this);
    RecordReadingsAction->setObjectName("RecordReadingsAction");
    RecordReadingsAction->setCheckable(true);
    PopupMenu->addAction(RecordReadingsAction);
    shortcut(RecordReadingsAction, "Ctrl+L");
    // The check mark flips at once; the handler acts on the mark as it is when it runs.
    connect(RecordReadingsAction, &QAction::toggled, this,
            [this] { runWhenFree("record", [this] { RecordReadingsToggled(RecordReadingsAction->isChecked()); }); });

    ShowSignalViewAction = new QAction("Сигнал и спектр ...", this);
    ShowSignalViewAction->setObjectName("ShowSignalViewAction");
    PopupMenu->addAction(ShowSignalViewAction);
    shortcut(ShowSignalViewAction, "Ctrl+G");
    connect(ShowSignalViewAction, &QAction::triggered, this, [this] { runWhenFree("view", [this] { ShowSignalViewClick(); }); });

    // The recording mark sits in the page control's free corner, beside the tabs.
    RecordingMarkLabel = new QLabel(MainLMDPageControl);
    RecordingMarkLabel->setObjectName("RecordingMarkLabel");
    RecordingMarkLabel->setStyleSheet("QLabel { color: rgb(255, 0, 0); font-weight: bold; padding: 0 8px; }");
    MainLMDPageControl->setCornerWidget(RecordingMarkLabel, Qt::TopRightCorner);
    RecordingMarkLabel->hide();
}

// ---- measurement settings

// The menu's marks and the voltage boxes' hints (the window's labels of the two texts show
// them as the file or the menu last set them).
void TMainForm::showMeasurementSettings()
{
    const QString method = effectiveMethod(ComputationMethod);
    const bool peak = peakAmplitude(AmplitudeType);
    (method == "fft" ? MethodFftAction : MethodSumAction)->setChecked(true);
    (peak ? AmplitudeAmpAction : AmplitudeRmsAction)->setChecked(true);
    AcquisitionTimeAction->setText(QString("Время сбора данных: %1 с ...").arg(numberText(MaxAcquisitionTime)));
    const QString hint =
        QString("Напряжение в режиме AC: %1, в режиме DC: среднее значение; метод расчёта %2.\n"
                "Метод: Ctrl+Shift+F (fft), Ctrl+Shift+S (sum); тип амплитуды: Ctrl+Shift+R (rms), "
                "Ctrl+Shift+A (amp); время сбора: Ctrl+T; запись показаний: Ctrl+L; сигнал и спектр: Ctrl+G")
            .arg(peak ? "амплитуда синуса (amp)" : "среднеквадратическое значение (rms)", method);
    for (TQmx58AdcChannelFrame* f : Frames)
        f->Value1LMDEdit->setToolTip(hint);
}

bool TMainForm::writeMeasurementSetting(const std::function<void(IniFile&)>& write)
{
    const QString path = settingsPath();
    try {
        IniFile file(path.toStdString());
        IniFile::Update update(file);
        write(file);
        update.commit();
        return true;
    } catch (const IniWriteError& e) {
        dialogs().messageBox(this,
                             "Не могу сохранить настройку измерения в файле " + QDir::toNativeSeparators(path) + "!\n" +
                                 QString::fromStdString(e.what()) +
                                 "\nНовое значение действует до закрытия программы.",
                             kMeasurementSettingsCaption, MsgIcon::Information);
        return false;
    }
}

// ---- handlers that wait for the others

bool TMainForm::busyForTools() const
{
    return UpdateGuard || _stopsInProgress > 0 || !MeasurementMayBeStarted;
}

void TMainForm::runWhenFree(const QString& kind, std::function<void()> action)
{
    if (!busyForTools() && _deferredTools.empty()) {
        action();
        return;
    }
    // The same kind pressed again replaces the earlier press and goes to the end of the line.
    _deferredTools.erase(std::remove_if(_deferredTools.begin(), _deferredTools.end(),
                                        [&](const auto& d) { return d.first == kind; }),
                         _deferredTools.end());
    _deferredTools.emplace_back(kind, std::move(action));
    if (!_deferredToolsTimer->isActive())
        _deferredToolsTimer->start(busyForTools() ? 20 : 0);
}

void TMainForm::runDeferredTools()
{
    if (_deferredTools.empty() || _closing)
        return;
    if (busyForTools()) {
        _deferredToolsTimer->start(20);
        return;
    }
    const std::function<void()> action = std::move(_deferredTools.front().second);
    _deferredTools.erase(_deferredTools.begin());
    action();
    if (!_deferredTools.empty() && !_deferredToolsTimer->isActive())
        _deferredToolsTimer->start(0);
}

void TMainForm::restartRunFor(const QString& change)
{
    if (!_mainThread || _closing)
        return;
    // The readings on screen were made the old way: the run starts again with the new setting,
    // and the recording goes on with a line naming the change.
    _recordChangeNote = change;
    const long stopsBefore = _stopCalls;
    _keepRecording = true;
    StopThread();
    _keepRecording = false;
    // Another stop meanwhile (Escape, a control of the module) is the operator's: it stays.
    if (_stopCalls != stopsBefore + 1 || _closing || MainLMDPageControl->currentIndex() != 0) {
        if (recording())
            stopRecording("измерение остановлено");
        return;
    }
    {
        const QSignalBlocker block(StartMultimeterLMDSpeedButton);
        StartMultimeterLMDSpeedButton->setChecked(true);
    }
    StartThread();
    if (!_mainThread) {
        const QSignalBlocker block(StartMultimeterLMDSpeedButton);
        StartMultimeterLMDSpeedButton->setChecked(false);
        if (recording())
            stopRecording("измерение не запустилось после изменения настройки");
    }
}

void TMainForm::setMeasurementText(QString& field, QLabel* label, const std::string& key, const QString& value)
{
    if (field == value) {
        showMeasurementSettings();
        return;
    }
    GuardScope guard(*this);
    const QString change = QString("%1: %2 -> %3").arg(QString::fromStdString(key), field, value);
    // The setting is taken and written before the run stops, so that whatever is served
    // during the stop sees it, and a later press is the one that stays.
    field = value;
    label->setText(value);
    writeMeasurementSetting([&](IniFile& f) { f.WriteString(S::kModule, key, value.toStdString()); });
    showMeasurementSettings();
    restartRunFor(change);
}

void TMainForm::AcquisitionTimeClick()
{
    NumberRequest request;
    request.name = "AcquisitionTimeDialog";
    request.caption = kMeasurementSettingsCaption;
    request.label = "Максимальное время сбора данных одного кадра, с:";
    request.value = std::clamp(std::isfinite(MaxAcquisitionTime) ? MaxAcquisitionTime : S::kMaxAcquisitionTimeDefault,
                               kShortestAcquisitionTime, kLongestAcquisitionTime);
    request.minimum = kShortestAcquisitionTime;
    request.maximum = kLongestAcquisitionTime;
    request.decimals = 3;
    std::optional<double> chosen;
    {
        // No other handler runs while the question is open.
        GuardScope guard(*this);
        chosen = dialogs().inputNumber(this, request);
    }
    if (!chosen || !std::isfinite(*chosen))
        return;
    const double t = std::clamp(*chosen, kShortestAcquisitionTime, kLongestAcquisitionTime);
    if (t == MaxAcquisitionTime)
        return;
    GuardScope guard(*this);
    const QString change = QString("%1: %2 -> %3")
                               .arg(QString::fromStdString(S::kMaxAcquisitionTime), numberText(MaxAcquisitionTime), numberText(t));
    MaxAcquisitionTime = t;
    writeMeasurementSetting([&](IniFile& f) { f.WriteFloat(S::kModule, S::kMaxAcquisitionTime, t); });
    showMeasurementSettings();
    restartRunFor(change);
}

// ---- signal view

void TMainForm::ShowSignalViewClick()
{
    if (!_signalView) {
        _signalView = new SignalView(dialogs(), this);
        connect(_signalView, &SignalView::closed, this, [this] { _signalWanted.store(false); });
    }
    _signalWanted.store(true);
    _signalView->show();
    _signalView->raise();
    _signalView->activateWindow();
}

bool TMainForm::signalWanted() { return _signalWanted.load(); }

void TMainForm::acquisitionShowSignal(std::shared_ptr<SignalFrame> frame)
{
    if (!frame || !_signalView || !_signalView->isVisible())
        return;
    for (std::size_t ch = 0; ch < 4; ++ch) {
        ChannelTrace& t = frame->channels[ch];
        const TQmx58AdcChannelFrame* f = Frames[ch];
        t.valueText = f->Value1LMDEdit->text();
        t.frequencyText = f->Value2LMDEdit->text();
        t.phaseText = f->Value3LMDEdit->text();
    }
    _signalView->showFrame(std::move(frame));
}

void TMainForm::clearSignalView()
{
    if (_signalView)
        _signalView->clear();
}

// ---- recording the readings

bool TMainForm::recording() const { return _recording != nullptr; }

void TMainForm::RecordReadingsToggled(bool on)
{
    if (!on) {
        stopRecording();
        return;
    }
    if (_recording)
        return;
    GuardScope guard(*this);
    FileDialogRequest request;
    request.name = "RecordReadingsDialog";
    request.save = true;
    request.defaultFileName = "readings.csv";
    request.confirmOverwrite = false;  // the readings are appended to a file that exists
    request.filter = "CSV (*.csv)";
    const QString path = runFileDialog(request);
    auto uncheck = [this] {
        const QSignalBlocker block(RecordReadingsAction);
        RecordReadingsAction->setChecked(false);
    };
    if (path.isEmpty()) {
        uncheck();
        return;
    }
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        uncheck();
        dialogs().messageBox(this, "Не могу открыть файл " + QDir::toNativeSeparators(path) + " для записи показаний!\n" + file->errorString(),
                             kRecordingCaption, MsgIcon::Warning);
        return;
    }
    // A new file gets the column names; an existing one only the run's comment lines, so its
    // rows stay one table.
    _recordColumnsDue = file->size() == 0;
    _recordRunInfoDue = true;
    _recordChangeNote.clear();
    _recording = std::make_shared<RecordingSink>(std::move(file), _recordColumnsDue);
    setPaletteColor(RecordingMarkLabel, QPalette::WindowText, QColor(255, 0, 0));
    RecordingMarkLabel->setText("● Запись: " + QFileInfo(path).fileName());
    RecordingMarkLabel->setToolTip("Показания записываются в файл " + QDir::toNativeSeparators(path));
    RecordingMarkLabel->show();
}

void TMainForm::stopRecording(const QString& reason)
{
    if (_recording) {
        const QString path = _recording->path();
        _recording->end(reason.isEmpty() ? QString("запись выключена") : reason);
        // The acquisition thread may still hold it for the frame it writes: the last owner
        // writes the end line and closes the file.
        _recording.reset();
        if (!reason.isEmpty()) {
            setPaletteColor(RecordingMarkLabel, QPalette::WindowText, QColor(96, 96, 96));
            RecordingMarkLabel->setText("○ Запись остановлена: " + reason);
            RecordingMarkLabel->setToolTip("Запись показаний в файл " + QDir::toNativeSeparators(path) + " остановлена: " + reason);
        } else {
            RecordingMarkLabel->hide();
        }
    }
    const QSignalBlocker block(RecordReadingsAction);
    RecordReadingsAction->setChecked(false);
}

ReadingsRunInfo TMainForm::recordingRunInfo(const RunSettings& s, const FrameResults& r) const
{
    ReadingsRunInfo info;
    const std::uint16_t crate = Discovery.selectedCrateIndex;
    if (crate < DiscoveryTable::kMaxCrates) {
        info.crateSerial = QString::fromLatin1(Discovery.crateSerials[crate],
                                               static_cast<int>(qstrnlen(Discovery.crateSerials[crate], DiscoveryTable::kTextSize)));
        const int module = ModulesComboBox->currentIndex();
        if (module >= 0 && module < DiscoveryTable::kMaxSlots)
            info.slot = Discovery.moduleSlots[crate][module];
    }
    info.moduleSerial = serialText(ModuleHandle.moduleInfo.serialNumber);
    info.rateHz = r.SampleRate;
    info.bits = s.DataFormat == 1 ? 24 : 20;
    info.method = s.ComputationMethod == "fft" ? "fft" : "sum";
    info.amplitudeType = s.AmplitudeType == "rms" ? "rms" : "peak";
    info.acquisitionTime = s.AcquisitionTime;
    info.samplesPerChannel = r.SamplesPerChannel;
    info.referenceChannel = s.ReferenceChannel + 1;
    info.programVersion = programVersion().value_or(QString());
    return info;
}

std::shared_ptr<RecordingSink> TMainForm::acquisitionRecording(const RunSettings& s, const FrameResults& r)
{
    if (!_recording)
        return nullptr;
    // The acquisition thread waits in this call: the lines of a new run and the channels the
    // panels show are handed over now; the thread writes them after the call.
    if (_recordRunInfoDue) {
        if (!_recordChangeNote.isEmpty())
            _recording->queueComment("change: " + _recordChangeNote);
        _recording->queueHeader(recordingRunInfo(s, r));
        _recordRunInfoDue = false;
        _recordChangeNote.clear();
    }
    // A channel whose panel is switched off shows no readings, and so records none.
    std::array<bool, 4> shown{};
    for (std::size_t ch = 0; ch < 4; ++ch)
        shown[ch] = Frames[ch]->ChannelNumberLMDCheckBox->isChecked();
    _recording->queueShownChannels(shown);
    return _recording;
}

void TMainForm::acquisitionRecordingFailed(const std::shared_ptr<RecordingSink>& sink)
{
    // The measurement goes on: the recording stops, and the message waits until this call has
    // returned to the acquisition thread.
    const QString text = "Запись показаний в файл " + QDir::toNativeSeparators(sink->path()) + " остановлена!\n" +
                         sink->errorString() + "\nИзмерение продолжается.";
    if (sink == _recording)
        stopRecording("ошибка записи: " + sink->errorString());
    QTimer::singleShot(0, this, [this, text] { dialogs().messageBox(this, text, kRecordingCaption, MsgIcon::Warning); });
}

}  // namespace qmx
