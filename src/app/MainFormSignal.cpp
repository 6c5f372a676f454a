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
#include <QGuiApplication>
#include <QScreen>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTabBar>
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

    // Every item shows its short cut wherever the menu opens.
    for (QAction* a : PopupMenu->actions()) {
        a->setShortcutVisibleInContextMenu(true);
        if (QMenu* sub = a->menu())
            for (QAction* s : sub->actions())
                s->setShortcutVisibleInContextMenu(true);
    }

    // The free right end of the page tab row: the recording mark and a button that opens the
    // same menu at any time (the right click stops opening it after the first discovery).
    // They sit on the window's client area above the page control, not in it, so that
    // locking the pages during a discovery or for want of a module never locks the tools.
    auto* corner = new QWidget(MainLMDSimplePanel->parentWidget());
    corner->setObjectName("ToolsCornerPanel");
    corner->setFont(MainLMDSimplePanel->font());
    auto* row = new QHBoxLayout(corner);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    RecordingMarkLabel = new QLabel(corner);
    RecordingMarkLabel->setObjectName("RecordingMarkLabel");
    RecordingMarkLabel->setStyleSheet("QLabel { color: rgb(255, 0, 0); font-weight: bold; padding: 0 8px; }");
    RecordingMarkLabel->setAccessibleName("Запись показаний");
    RecordingMarkLabel->setMaximumWidth(760);  // clear of the page tab
    RecordingMarkLabel->hide();
    ToolsMenuButton = new QToolButton(corner);
    ToolsMenuButton->setObjectName("ToolsMenuButton");
    ToolsMenuButton->setText("Инструменты");
    ToolsMenuButton->setToolTip(windowFontHint({"Сигнал и спектр: Ctrl+G;  запись показаний: Ctrl+L",
                                                "метод расчёта, тип амплитуды, время сбора: Ctrl+T",
                                                "и остальные команды окна"}));
    ToolsMenuButton->setAccessibleName("Инструменты");
    ToolsMenuButton->setAccessibleDescription("Меню команд окна: сигнал и спектр, запись показаний, настройки измерения");
    ToolsMenuButton->setPopupMode(QToolButton::InstantPopup);
    ToolsMenuButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
    ToolsMenuButton->setMenu(PopupMenu);
    row->addWidget(RecordingMarkLabel);
    row->addWidget(ToolsMenuButton);
    placeToolsCorner();
}

void TMainForm::placeToolsCorner()
{
    QWidget* corner = ToolsMenuButton->parentWidget();
    const int rowHeight = std::max(MainLMDPageControl->tabBar()->sizeHint().height(), ToolsMenuButton->sizeHint().height());
    const QSize size(corner->sizeHint().width(), rowHeight - 2);
    const QRect pages = MainLMDSimplePanel->geometry();
    corner->setGeometry(QRect(QPoint(pages.right() - size.width() - 2, pages.top() + 1), size));
    corner->raise();
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
    const QString amplitudeText = peak ? "амплитуда синуса (amp)" : "среднеквадратическое значение (rms)";
    const QString hint = windowFontHint({
        QString("Напряжение в режиме AC: %1,").arg(amplitudeText),
        QString("в режиме DC: среднее значение; метод расчёта %1.").arg(method),
        "Метод расчёта: Ctrl+Shift+F (fft), Ctrl+Shift+S (sum)",
        "Тип амплитуды: Ctrl+Shift+R (rms), Ctrl+Shift+A (amp)",
        "Время сбора: Ctrl+T;  запись показаний: Ctrl+L",
        "Сигнал и спектр: Ctrl+G;  все команды: кнопка «Инструменты»",
    });
    ComputationModeLabLMDLabel->setToolTip(
        windowFontHint({"Метод расчёта: " + method, "Ctrl+Shift+F (fft), Ctrl+Shift+S (sum)"}));
    AmplitudeTypeLabLMDLabel->setToolTip(windowFontHint({"Тип амплитуды: " + amplitudeText, "Ctrl+Shift+R (rms), Ctrl+Shift+A (amp)"}));
    AcquisitionTimeLMDLabel->setToolTip(windowFontHint(
        {"Длина последнего кадра, мс", QString("наибольшее время сбора: %1 с (Ctrl+T)").arg(numberText(MaxAcquisitionTime))}));
    for (TQmx58AdcChannelFrame* f : Frames)
        f->Value1LMDEdit->setToolTip(hint);
}

QString TMainForm::windowFontHint(const QStringList& lines) const
{
    // The hints of the window's own tools are written in the window's font, one line each, so
    // they stay narrow and open beside the pointer.
    QStringList escaped;
    for (const QString& l : lines)
        escaped << l.toHtmlEscaped();
    return QString("<div style=\"font-family:'%1'; font-size:%2pt; font-weight:normal; white-space:pre\">%3</div>")
        .arg(font().family().toHtmlEscaped())
        .arg(font().pointSizeF() > 0 ? font().pointSizeF() : 9.0)
        .arg(escaped.join("<br>"));
}

bool TMainForm::writeMeasurementSetting(const std::function<void(IniFile&)>& write)
{
    const QString path = settingsPath();
    try {
        IniFile file(fileBytes(path));
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
        connect(_signalView, &SignalView::closed, this, [this] {
            _signalWanted.store(false);
            saveSignalViewState();
        });
        restoreSignalViewState();
    }
    _signalWanted.store(true);
    _signalView->show();
    _signalView->raise();
    _signalView->activateWindow();
}

namespace {
constexpr const char* kViewSection = "SignalView";
constexpr const char* kViewLeft = "Left";
constexpr const char* kViewTop = "Top";
constexpr const char* kViewWidth = "Width";
constexpr const char* kViewHeight = "Height";

// How much of `r` lies on the screens' available areas, in pixels.
qint64 visibleArea(const QRect& r, const QVector<QRect>& screens)
{
    qint64 area = 0;
    for (const QRect& s : screens) {
        const QRect v = r.intersected(s);
        area += qint64(v.width()) * v.height();
    }
    return area;
}

QVector<QRect> availableScreens()
{
    QVector<QRect> out;
    for (QScreen* s : QGuiApplication::screens())
        out << s->availableGeometry();
    return out;
}
}  // namespace

QRect TMainForm::readingsRect() const
{
    QRect r;
    for (const TQmx58AdcChannelFrame* f : Frames)
        for (const QLineEdit* box : {f->Value1LMDEdit, f->Value2LMDEdit, f->Value3LMDEdit})
            r |= QRect(box->mapToGlobal(QPoint(0, 0)), box->size());
    return r;
}

QRect TMainForm::signalViewPlaceBeside(const QSize& size) const
{
    return placeBeside(frameGeometry(), size, availableScreens(), workArea(this), readingsRect());
}

QRect TMainForm::placeBeside(const QRect& main, const QSize& size, const QVector<QRect>& screens, const QRect& area,
                             const QRect& readings)
{
    // Beside the window where a screen has room (right, left, below, above); otherwise where
    // the view covers the least of the reading boxes, inside the work area.
    const QRect candidates[] = {QRect(QPoint(main.right() + 1, main.top()), size),
                                QRect(QPoint(main.left() - size.width(), main.top()), size),
                                QRect(QPoint(main.left(), main.bottom() + 1), size),
                                QRect(QPoint(main.left(), main.top() - size.height()), size)};
    for (const QRect& c : candidates)
        if (visibleArea(c, screens) == qint64(size.width()) * size.height())
            return c;
    const QSize fit = size.boundedTo(area.size());
    const QRect inside[] = {QRect(QPoint(area.right() - fit.width() + 1, area.top()), fit),
                            QRect(area.topLeft(), fit),
                            QRect(QPoint(area.left(), area.bottom() - fit.height() + 1), fit),
                            QRect(QPoint(area.right() - fit.width() + 1, area.bottom() - fit.height() + 1), fit)};
    QRect best = inside[0];
    qint64 least = -1;
    for (const QRect& c : inside) {
        const QRect covered = c.intersected(readings);
        const qint64 a = qint64(covered.width()) * covered.height();
        if (least < 0 || a < least) {
            least = a;
            best = c;
        }
    }
    return best;
}

void TMainForm::restoreSignalViewState()
{
    QMap<QString, QString> options = _signalView->saveOptions();  // the keys, with their defaults
    QRect place;
    try {
        const IniFile file(settingsFile());
        for (auto it = options.begin(); it != options.end(); ++it)
            it.value() = QString::fromStdString(file.ReadString(kViewSection, it.key().toStdString(), it.value().toStdString()));
        const int w = file.ReadInteger(kViewSection, kViewWidth, 0);
        const int h = file.ReadInteger(kViewSection, kViewHeight, 0);
        place = QRect(file.ReadInteger(kViewSection, kViewLeft, 0), file.ReadInteger(kViewSection, kViewTop, 0), w, h);
    } catch (const std::exception&) {
        // An unreadable file: the view opens as new.
    }
    _signalView->restoreOptions(options);
    // A remembered place is taken when its size is sane and most of it is on a screen today
    // (a monitor may have gone since).
    const QSize least = _signalView->minimumSizeHint();
    const bool sane = place.width() >= std::max(200, least.width()) && place.height() >= std::max(150, least.height()) &&
                      place.width() <= 20000 && place.height() <= 20000;
    if (sane && visibleArea(place, availableScreens()) * 2 >= qint64(place.width()) * place.height()) {
        _signalView->resize(place.size());
        _signalView->move(place.topLeft());
        return;
    }
    const QRect beside = signalViewPlaceBeside(_signalView->size().expandedTo(_signalView->sizeHint()));
    _signalView->resize(beside.size());
    _signalView->move(beside.topLeft());
}

void TMainForm::saveSignalViewState()
{
    if (!_signalView)
        return;
    const QRect place(_signalView->pos(), _signalView->size());
    const QMap<QString, QString> options = _signalView->saveOptions();
    try {
        IniFile file(settingsFile());
        IniFile::Update update(file);
        for (auto it = options.begin(); it != options.end(); ++it)
            file.WriteString(kViewSection, it.key().toStdString(), it.value().toStdString());
        file.WriteInteger(kViewSection, kViewLeft, place.left());
        file.WriteInteger(kViewSection, kViewTop, place.top());
        file.WriteInteger(kViewSection, kViewWidth, place.width());
        file.WriteInteger(kViewSection, kViewHeight, place.height());
        update.commit();
    } catch (const std::exception&) {
        // The view's place is a convenience: a file that cannot be written keeps the settings
        // it holds, and the view opens where it would for a new user.
    }
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
    // The crate and module the frames come from, for the exports' headers.
    QString crateSerial;
    const std::uint16_t crate = Discovery.selectedCrateIndex;
    if (crate < DiscoveryTable::kMaxCrates)
        crateSerial = QString::fromLatin1(Discovery.crateSerials[crate],
                                          static_cast<int>(qstrnlen(Discovery.crateSerials[crate], DiscoveryTable::kTextSize)));
    const QString moduleSerial = serialText(ModuleHandle.moduleInfo.serialNumber);
    if (crateSerial != _viewCrateSerial || moduleSerial != _viewModuleSerial) {
        _viewCrateSerial = crateSerial;
        _viewModuleSerial = moduleSerial;
        _signalView->setSource(crateSerial, moduleSerial);
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
    placeToolsCorner();
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
        placeToolsCorner();
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
