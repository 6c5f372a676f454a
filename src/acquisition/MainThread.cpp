#include "MainThread.h"

#include "ChannelRecord.h"
#include "CrateTypes.h"
#include "NumberFormat.h"
#include "RateTable.h"
#include "RecordingSink.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

namespace qmx {
namespace {

constexpr std::uint32_t kConvertFlags = 0x0B;
constexpr std::uint32_t kConvertFlagsPhaseCorrected = 0x1B;
constexpr std::int64_t kFftSampleCap = 16777216;  // 2^24 samples per frame over all channels
// A receive call waits at most this long, so that a stop request is seen during a stall.
constexpr std::uint32_t kRecvSliceMs = 50;

std::uint64_t mulSat(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

std::uint64_t addSat(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

}  // namespace

// ---- frame geometry

std::int64_t frameSamplesPerChannel(const std::string& method, double T, double Fs, int K)
{
    if (!(T > 0) || !std::isfinite(T) || !(Fs > 0) || K < 1)
        return kMinFrameSamples;
    if (method == "fft") {
        const std::int64_t cap = kFftSampleCap / K;
        std::int64_t M = 1;
        for (int i = 0; i < 32; ++i) {
            if (M * K >= cap)
                break;
            if (static_cast<double>(M) / Fs >= T && M >= kMinFrameSamples)
                break;
            M *= 2;
        }
        return M;
    }
    const double m = std::trunc(T * Fs);
    if (!(m >= static_cast<double>(kMinFrameSamples)))
        return kMinFrameSamples;
    if (m >= static_cast<double>(kMaxFrameSamples))
        return kMaxFrameSamples;
    return static_cast<std::int64_t>(m);
}

double dataRateKBps(int wordsPerSample, int K, double Fs) { return wordsPerSample * K * 4 * Fs * 0.001; }

std::array<BufferNeed, 8> frameBufferNeeds(std::int64_t M, int K, int q, bool fft)
{
    const std::uint64_t m = static_cast<std::uint64_t>(std::max<std::int64_t>(M, 0));
    const std::uint64_t n = mulSat(m, static_cast<std::uint64_t>(std::max(K, 0)));
    const std::uint64_t spare = static_cast<std::uint64_t>(ChannelMeasurement::kSpare);
    const std::uint64_t d = sizeof(double);
    std::array<BufferNeed, 8> needs{{
        {"RcvBuffer", mulSat(mulSat(static_cast<std::uint64_t>(q), n), sizeof(std::uint32_t))},
        {"Data", mulSat(n, d)},
        {"ChannelsStatus", mulSat(addSat(n, spare), sizeof(std::int32_t))},
        {"DataPerChannel", mulSat(addSat(m, spare), d)},
        {"Window", mulSat(addSat(m, spare), d)},
        {"FftAdcDataPerChannel", fft ? mulSat(addSat(m, spare), d) : 0},
        {"AmplitudeSpectr", fft ? mulSat(m / 2 + spare, d) : 0},
        {"PhaseSpectr", fft ? mulSat(m / 2 + spare, d) : 0},
    }};
    return needs;
}

int firstUnholdableBuffer(std::int64_t M, int K, int q, bool fft, std::uint64_t budgetBytes)
{
    // The conversion call counts words in 32 bits.
    const std::uint64_t words = mulSat(mulSat(static_cast<std::uint64_t>(std::max<std::int64_t>(M, 0)),
                                              static_cast<std::uint64_t>(std::max(K, 0))),
                                       static_cast<std::uint64_t>(q));
    if (words > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        return 0;
    std::uint64_t total = 0;
    const auto needs = frameBufferNeeds(M, K, q, fft);
    for (std::size_t i = 0; i < needs.size(); ++i) {
        total = addSat(total, needs[i].bytes);
        if (total > budgetBytes)
            return static_cast<int>(i);
    }
    return -1;
}

std::uint64_t frameMemoryBudget()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return std::uint64_t(1) << 40;
    return mulSat(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(pageSize));
}

QString unchosenSetting(const RunSettings& s, const std::array<bool, 4>& enabled)
{
    if (s.DataFormat != 0 && s.DataFormat != 1)
        return "Не выбран формат данных АЦП!";
    bool icpInUse = false;
    for (std::size_t ch = 0; ch < 4; ++ch) {
        if (!enabled[ch])
            continue;
        const ChannelSnapshot& c = s.Channels[ch];
        const QString n = QString::number(ch + 1);
        if (c.InputMode < 0 || c.InputMode > 2)
            return "Не выбран режим подключения входа канала " + n + "!";
        const int range = c.InputMode == 2 ? c.IcpRange : c.DiffRange;
        if (range != 0 && range != 1)
            return "Не выбран входной диапазон канала " + n + "!";
        if (c.ChannelMode != 0 && c.ChannelMode != 1)
            return "Не выбран режим вычислений (DC/AC) канала " + n + "!";
        icpInUse = icpInUse || c.InputMode == 2;
    }
    if (icpInUse && s.CurrentSource != 0 && s.CurrentSource != 1)
        return "Не выбран ток питания ICP датчиков!";
    return QString();
}

// ---- the thread

TMainThread::TMainThread(MeasurementHost& host, std::uint16_t runningPage) : _host(host), _runningPage(runningPage) {}

TMainThread::~TMainThread()
{
    if (isRunning()) {
        Terminate();
        wait();
    }
}

void TMainThread::Pause(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!Terminated() && !deadline.hasExpired())
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(10, std::max<qint64>(1, deadline.remainingTime()))));
}

void TMainThread::Report(const QString& text)
{
    MessageText = text;
    Synchronize([this] { showMeasurementMessage(); });
}

void TMainThread::showMeasurementMessage()
{
    if (ErrorFlag)
        return;
    ErrorFlag = true;
    DialogResult = _host.acquisitionMessage(MessageText);
}

void TMainThread::Execute()
{
    try {
        _host.measurementRunningFlag().store(1);
        ErrorFlag = false;
        _routines[0] = &TMainThread::MeasurementLoop;
        StartupInfo info;
        Synchronize([&] { _host.acquisitionStartup(info); });
        if (info.MultimeterPageActive)
            _host.measurementIdleFlag().store(0);
        CrateType = info.CrateType;
        CrateName = crateTypeName(CrateType);
        ModuleName = info.ModuleName;

        Pause(_host.pauseMs(RunPause::BeforeRun));
        if (!ErrorFlag && Terminated()) {
            // Stopped before the run began: the finish routine still releases START and marks
            // the window idle, or START would stay latched with nothing running.
            Synchronize([this] { _host.acquisitionFinish(); });
        } else if (!ErrorFlag) {
            if (Routine r = _routines[0])
                (this->*r)();
            else
                Report("Опаньки!!!\nОтсутствует функция обработки для 'MainThread'!!!\nСрочно сообщите разработчику!");
        }
    } catch (const std::invalid_argument&) {
        const char* point = std::localeconv()->decimal_point;
        Report(QString("Ошибка преобразования строки в число!!!\nТекущий сепаратор '") + QString::fromLatin1(point, 1) + "'.");
        StartupInfo again;
        Synchronize([&] { _host.acquisitionStartup(again); });
    } catch (...) {
        Report("Опаньки!!!\nПоймали неустранимое исключение в потоке 'MainThread'!!!\nСрочно сообщите разработчику!");
    }
    while (!Terminated())
        QThread::msleep(50);
}

void TMainThread::MeasurementLoop()
{
    try {
        if (Prepare()) {
            Pause(_host.pauseMs(RunPause::BeforeFirstFrame));
            while (!Terminated() && !ErrorFlag) {
                QElapsedTimer clock;
                clock.start();
                if (!ReceiveFrame() || Terminated())
                    break;
                const qint64 received = clock.nsecsElapsed();
                if (!ConvertFrame()) {
                    Report("Не могу обработать полученные данные с модуля!");
                    break;
                }
                if (Terminated())
                    break;
                MeasureChannels();
                if (Terminated() || ErrorFlag)
                    break;
                std::shared_ptr<RecordingSink> recording;
                Synchronize([this, &recording] {
                    _host.acquisitionDisplay(Settings, Results);
                    if (TapFrame)
                        _host.acquisitionShowSignal(std::move(TapFrame));
                    recording = _host.acquisitionRecording(Settings, Results);
                });
                ToScreenNs.fetch_add(clock.nsecsElapsed() - received);
                ReceiveNs.fetch_add(received);
                const long frame = FramesShown.fetch_add(1) + 1;
                // The frame's rows, as the panels show them, written here on this thread.
                if (recording && !recording->writeFrame(QDateTime::currentDateTimeUtc(), frame, Settings, Results) &&
                    recording->failed())
                    Synchronize([this, &recording] { _host.acquisitionRecordingFailed(recording); });
                recording.reset();
                Pause(_host.pauseMs(RunPause::BeforeLeds));
                Synchronize([this] { _host.acquisitionUpdateLeds(Results); });
            }
        }
    } catch (...) {
        Report("Опаньки!!!\nПоймали неустранимое исключение потока сбора данных!!!\nСрочно сообщите разработчику!");
    }
    EndRun();
}

void TMainThread::EndRun()
{
    try {
        Qmx58Handle& h = _host.acquisitionHandle();
        if (h.running != 0 && QMX58_Stop(&h) != 0)
            Report("QMX58_Stop() --> BAD!!!!");
    } catch (...) {
    }
    Pause(_host.pauseMs(RunPause::BeforeFinish));
    Synchronize([this] {
        FreeBuffers();
        _host.acquisitionFinish();
    });
    // Without a window to run it (it is being torn down) the buffers go here.
    FreeBuffers();
}

void TMainThread::FreeBuffers()
{
    RcvBuffer = DynArray<std::uint32_t>();
    Data = DynArray<double>();
    ChannelsStatus = DynArray<std::int32_t>();
    Measurement.reset();
    Tap.reset();
    TapFrame.reset();
}

// ---- preparation

bool TMainThread::Prepare()
{
    Synchronize([this] { _host.acquisitionBeginRun(Settings); });
    if (ErrorFlag || Terminated())
        return false;
    Pause(_host.pauseMs(RunPause::AfterReset));
    if (Terminated())
        return false;
    // The window only tells what its controls hold; the library calls of the configuration
    // run here, so a crate server that stops answering never freezes the window.
    ConfigurationInputs inputs;
    Synchronize([&] { _host.acquisitionReadConfiguration(inputs); });
    if (ErrorFlag || Terminated() || !Configure(inputs) || ErrorFlag || Terminated())
        return false;
    const QString frameText = formatWithMask(static_cast<double>(SamplesPerChannel) * 1000.0 / SampleRate, "0.0");
    Synchronize([&] { _host.acquisitionShowTime(frameText); });
    if (ErrorFlag || Terminated())
        return false;
    Pause(_host.pauseMs(RunPause::AfterTime));
    if (Terminated())
        return false;
    return Allocate() && !ErrorFlag && !Terminated();
}

bool TMainThread::Configure(const ConfigurationInputs& in)
{
    Qmx58Handle& h = _host.acquisitionHandle();
    if (h.running != 0 && QMX58_Stop(&h) != 0) {
        Report("QMX58_Stop() --> BAD!!!");
        return false;
    }

    // A selector without a choice (a hand-edited settings file) must not be measured as its
    // first item: the run would show readings of a range or data width nobody chose.
    const QString unchosen = unchosenSetting(Settings, in.ChannelEnabled);
    ChannelSlot.fill(kNoSlot);
    ActiveChannelCount = 0;
    for (int ch = 0; ch < 4; ++ch) {
        const auto c = static_cast<std::size_t>(ch);
        const ChannelSnapshot& s = Settings.Channels[c];
        fillChannelRecord(h.channels[ch], in.ChannelEnabled[c], s.InputMode, s.DiffRange, s.IcpRange);
        if (in.ChannelEnabled[c])
            ChannelSlot[c] = static_cast<std::uint16_t>(ActiveChannelCount++);
    }
    // A rate list without a selection is refused below like any other unchosen selector; the
    // record is filled with the module's own rate meanwhile.
    const bool rateChosen = in.RateIndex >= 0 && in.RateIndex < static_cast<int>(Qmx58RateTable.size());
    const int rateIndex = rateChosen ? in.RateIndex : 15 - std::min<int>(h.rateCode, 15);
    const RateEntry& rate = Qmx58RateTable[static_cast<std::size_t>(rateIndex)];
    h.rateCode = rate.code;
    SampleRate = rate.hz;
    h.dataFormat = static_cast<std::uint8_t>(Settings.DataFormat);
    h.icpCurrentSource = static_cast<std::uint8_t>(std::clamp(Settings.CurrentSource, 0, 1));
    h.zeroField = 0;
    WordsPerSample = Settings.DataFormat == 1 ? 2 : 1;

    const int K = ActiveChannelCount;
    if (K == 0) {
        Report("Необходимо выбрать не менне одного активного канала!");
        return false;
    }
    if (!unchosen.isEmpty()) {
        Report(unchosen);
        return false;
    }
    if (!rateChosen) {
        Report("Не выбрана частота преобразования АЦП!");
        return false;
    }
    if (in.ReferenceChannel < 0 || in.ReferenceChannel > 3 || !in.ChannelEnabled[static_cast<std::size_t>(in.ReferenceChannel)]) {
        Report("Опорный канал сдвига фаз не является активным!!!");
        return false;
    }
    Settings.ReferenceChannel = in.ReferenceChannel;

    const double limit = crateDataRateLimitKBps(CrateType);
    const double R = dataRateKBps(WordsPerSample, K, SampleRate);
    if (R > limit) {
        Report("При выбранных параметрах сбора данных скорость передачи этой информации модулем " + ModuleName +
               " составляет " + formatWithMask(R, "0.0") + " Кбайт/с, что превышает маскимально допустимую для крейта " +
               CrateName + " величину " + formatWithMask(limit, "0.0") + " Кбайт/с !!! " +
               "\nРекомендуется либо снизить частоту преобразования АЦП, либо уменьшить кол-во активных каналов, либо "
               "сократить разрядность данных!!!");
        return false;
    }
    if (QMX58_SetADC(&h) != 0) {
        Report("QMX58_SetADC() --> BAD!!!");
        return false;
    }
    RecvChunk = static_cast<std::int64_t>(std::trunc(SampleRate * 0.1 * K));
    if (Settings.ComputationMethod != "fft" && Settings.ComputationMethod != "sum")
        Settings.ComputationMethod = "sum";
    SamplesPerChannel = frameSamplesPerChannel(Settings.ComputationMethod, Settings.AcquisitionTime, SampleRate, K);
    FrameWords = SamplesPerChannel > kMaxFrameSamples / K ? kMaxFrameSamples : SamplesPerChannel * K;
    if (FrameWords < RecvChunk)
        RecvChunk = FrameWords;
    return true;
}

bool TMainThread::Allocate()
{
    const bool fft = Settings.ComputationMethod == "fft";
    const auto needs = frameBufferNeeds(SamplesPerChannel, ActiveChannelCount, WordsPerSample, fft);
    auto fail = [this](const char* name) {
        Report(QString("Не могу выделить память под ") + name + "!");
        return false;
    };
    // Sizes are checked before anything is allocated: a frame that cannot be held ends the run
    // with the message of the buffer that does not fit.
    const int unholdable = firstUnholdableBuffer(SamplesPerChannel, ActiveChannelCount, WordsPerSample, fft, frameMemoryBudget());
    if (unholdable >= 0)
        return fail(needs[static_cast<std::size_t>(unholdable)].name);

    const long M = static_cast<long>(SamplesPerChannel);
    const long N = static_cast<long>(FrameWords);
    try {
        RcvBuffer.resize(static_cast<long>(WordsPerSample) * N);
    } catch (const std::bad_alloc&) {
        return fail("RcvBuffer");
    }
    try {
        Data.resize(N);
    } catch (const std::bad_alloc&) {
        return fail("Data");
    }
    try {
        ChannelsStatus.resize(N + ChannelMeasurement::kSpare);
    } catch (const std::bad_alloc&) {
        return fail("ChannelsStatus");
    }
    WindowType = kMeasurementWindowType;
    try {
        Measurement = std::make_unique<ChannelMeasurement>(M, Settings.ComputationMethod, Settings.AmplitudeType, SampleRate,
                                                           terminatedFlag());
    } catch (const std::bad_alloc&) {
        return fail("DataPerChannel");
    }
    if (const char* failed = Measurement->allocationFailure())
        return fail(failed);
    return Measurement->ready() && !Terminated();
}

// ---- frame reception

std::int64_t TMainThread::ReceiveChunk(std::uint32_t* destination, std::int64_t count)
{
    // One receive of `count` words within kRecvTimeoutMs, taken in short slices so that a stop
    // request does not wait for the whole time-out.
    Qmx58Handle& h = _host.acquisitionHandle();
    QDeadlineTimer deadline(kRecvTimeoutMs);
    std::int64_t got = 0;
    for (;;) {
        const qint64 left = deadline.remainingTime();
        const std::uint32_t slice = static_cast<std::uint32_t>(std::max<qint64>(1, std::min<qint64>(kRecvSliceMs, left)));
        const std::int32_t n = QMX58_Recv(&h, destination + got, nullptr, static_cast<std::uint32_t>(count - got), slice);
        if (n < 0)
            return n;
        got += n;
        if (got >= count || Terminated() || deadline.hasExpired())
            return got;
    }
}

bool TMainThread::ReceiveFrame()
{
    Qmx58Handle& h = _host.acquisitionHandle();
    const std::int64_t W = static_cast<std::int64_t>(WordsPerSample) * FrameWords;
    if (QMX58_Start(&h) != 0) {
        Report("Не могу выполнить запуск сбора кадра данных!!!");
        return false;
    }
    std::int64_t received = 0;
    FrameWordsReceived.store(0, std::memory_order_relaxed);
    std::int64_t chunk = std::min<std::int64_t>(RecvChunk, W);
    std::int64_t error = 0;
    for (;;) {
        const std::int64_t n = ReceiveChunk(RcvBuffer.data() + received, chunk);
        if (n < 0) {
            error = n;
            Report("Не могу получить данные с модуля!");
            break;
        }
        if (Terminated() && n != chunk) {
            // Stopped inside the piece: nothing to report.
            error = -1;
            break;
        }
        if (n == 0) {
            error = -1;
            Report("Не принято ни одного отсчёта с модуля!");
            break;
        }
        if (n != chunk) {
            error = n;
            Report("Принято неправильное кол-во данных с модуля!");
            break;
        }
        received += chunk;
        FrameWordsReceived.store(received, std::memory_order_relaxed);
        if (received >= W)
            break;
        if (received + chunk > W)
            chunk = W - received;
        if (Terminated())
            break;
    }
    if (h.running != 0 && QMX58_Stop(&h) != 0) {
        Report("Не могу выполнить останов сбора данных!!!");
        return false;
    }
    if (error != 0 || Terminated())
        return false;
    if (received != W) {
        Report("Приняты не все требуемые данные с АЦП модуля!");
        return false;
    }
    return !Terminated() && !ErrorFlag;
}

// ---- conversion and measuring

bool TMainThread::ConvertFrame()
{
    Qmx58Handle& h = _host.acquisitionHandle();
    Results.OverloadFlags.fill(false);
    const std::int64_t W = static_cast<std::int64_t>(WordsPerSample) * FrameWords;
    std::int32_t count = static_cast<std::int32_t>(W);
    const std::uint32_t flags = Settings.PhaseCorrection ? kConvertFlagsPhaseCorrected : kConvertFlags;
    if (QMX58_ProcessData(&h, RcvBuffer.data(), Data.data(), &count, flags, ChannelsStatus.data()) != 0)
        return false;
    if (Settings.DataFormat == 0 && count != W)
        return false;
    if (Settings.DataFormat == 1 && W != 2 * static_cast<std::int64_t>(count))
        return false;
    // Active position j -> physical channel, by the channels enabled in the handle.
    std::array<int, 4> physical{};
    int K = 0;
    for (int ch = 0; ch < 4; ++ch)
        if (h.channels[ch].enabled)
            physical[static_cast<std::size_t>(K++)] = ch;
    if (K == 0)
        return true;
    // 24-bit data carry the converter's overload status per sample; 20-bit words carry none,
    // so there a channel counts as overloaded when its input reached the clipping level.
    const std::array<bool, 4> overloaded = Settings.DataFormat == 0
                                               ? clippedPositions20(RcvBuffer.data(), W, K)
                                               : overloadedPositions(ChannelsStatus.data(), count, K);
    for (int j = 0; j < K; ++j)
        if (overloaded[static_cast<std::size_t>(j)])
            Results.OverloadFlags[static_cast<std::size_t>(physical[static_cast<std::size_t>(j)])] = true;
    return true;
}

std::array<bool, 4> overloadedPositions(const std::int32_t* status, std::int64_t count, int K)
{
    std::array<bool, 4> flagged{};
    if (K < 1 || K > 4)
        return flagged;
    const std::int64_t conversions = count / K;
    for (int j = 0; j < K; ++j) {
        bool any = false;
        for (std::int64_t m = 0; m < conversions && !any; ++m)
            any = status[j + static_cast<std::int64_t>(K) * m] != 0;
        flagged[static_cast<std::size_t>(j)] = any;
    }
    return flagged;
}

std::array<bool, 4> clippedPositions20(const std::uint32_t* words, std::int64_t count, int K)
{
    std::array<bool, 4> flagged{};
    if (K < 1 || K > 4)
        return flagged;
    // A 20-bit word holds the sample's two's-complement code in bits 19..0. The converter
    // clips at its end codes; the negative end is -2^19 on some converters and -(2^19 - 1)
    // on others, so both count.
    constexpr std::int32_t kTop = (1 << 19) - 1;
    const std::int64_t conversions = count / K;
    for (int j = 0; j < K; ++j) {
        bool any = false;
        for (std::int64_t m = 0; m < conversions && !any; ++m) {
            const std::uint32_t c = words[j + static_cast<std::int64_t>(K) * m] & 0xFFFFFu;
            const std::int32_t code = static_cast<std::int32_t>(c << 12) >> 12;
            any = code >= kTop || code <= -kTop;
        }
        flagged[static_cast<std::size_t>(j)] = any;
    }
    return flagged;
}

void TMainThread::MeasureChannels()
{
    Results.DcValue.fill(0);
    Results.AcValue.fill(0);
    Results.Frequency.fill(0);
    Results.Phase.fill(0);
    Results.Tone.fill(true);
    Results.Silent.fill(false);
    Results.Doubts.fill(kDoubtNone);
    Results.SampleRate = SampleRate;
    Results.SamplesPerChannel = SamplesPerChannel;
    const std::int64_t M = SamplesPerChannel;
    const std::int64_t K = ActiveChannelCount;
    const bool fft = Measurement->isFft();
    // The view's copy is made here, on this thread, and only while the view is open.
    TapFrame.reset();
    SignalTap* tap = nullptr;
    if (_host.signalWanted()) {
        if (!Tap)
            Tap = std::make_unique<SignalTap>(M, SampleRate, fft, terminatedFlag());
        tap = Tap.get();
        tap->beginFrame(FramesShown.load() + 1, fft ? "fft" : "sum", QString::fromStdString(Settings.AmplitudeType));
    }
    for (int ch = 0; ch < 4; ++ch) {
        const auto c = static_cast<std::size_t>(ch);
        Results.ChannelActive[c] = ChannelSlot[c] != kNoSlot;
        if (!Results.ChannelActive[c])
            continue;
        const bool overloaded = Results.OverloadFlags[c];
        // An overloaded channel is not measured, but the view shows its clipped waveform.
        if (overloaded && !tap)
            continue;
        double* x = Measurement->dataPerChannel();
        const double* src = Data.data() + ChannelSlot[c];
        for (std::int64_t j = 0; j < M; ++j)
            x[j] = src[j * K];
        if (Terminated() || ErrorFlag)
            return;
        const ChannelSnapshot& cs = Settings.Channels[c];
        if (tap) {
            const bool icp = cs.InputMode == 2;
            const int range = std::clamp(icp ? cs.IcpRange : cs.DiffRange, 0, 1);
            tap->takeWaveform(ch, x, cs.ChannelMode == 1, icp, icp ? IcpRanges[range] : DiffRanges[range], overloaded);
            // The measurement refuses an overloaded channel; the view still shows its spectrum.
            if (overloaded)
                tap->computeViewSpectrum(ch, x);
        }
        if (overloaded)
            continue;
        ChannelReadings r;
        std::string message;
        if (!Measurement->measure(x, cs.ChannelMode, r, message)) {
            if (!message.empty())
                Report(QString::fromStdString(message));
            return;
        }
        // A spectrum of zeros: the window ends its run with the no-signal message; a host that
        // measures on (the command line) records the channel as having no signal.
        if (r.Silent && _host.endRunWithoutSignal()) {
            Report(QString::fromUtf8(ChannelMeasurement::kNoSignalMessage));
            return;
        }
        Results.DcValue[c] = r.DcValue;
        Results.AcValue[c] = r.AcValue;
        Results.Frequency[c] = r.Frequency;
        Results.Phase[c] = r.Phase;
        Results.Tone[c] = r.Tone;
        Results.Silent[c] = r.Silent;
        Results.Doubts[c] = r.Doubts;
        if (tap) {
            if (fft)
                tap->takeMeasuredSpectrum(ch, Measurement->amplitudeSpectrum(), Measurement->analyser()->coefficient(0));
            else
                tap->computeViewSpectrum(ch, x);
            if (cs.ChannelMode == 1 && r.Tone && r.Frequency > 0)
                tap->markPeak(ch, r.Frequency, Measurement->isRms() ? r.AcValue : r.AcValue / std::sqrt(2.0));
        }
    }
    if (tap)
        TapFrame = tap->takeFrame();
}

}  // namespace qmx
