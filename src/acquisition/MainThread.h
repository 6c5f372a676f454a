#pragma once
// TMainThread: the acquisition worker of one measurement run. It snapshots the operator's
// settings, configures the module, derives the frame geometry, allocates the frame buffers
// once, then acquires, converts and measures frame after frame until told to stop or until a
// failure has been reported, and hands every frame's readings to the window for display.
// It touches the window only through synchronised calls into MeasurementHost; the window
// owns it: it terminates it, waits for it and deletes it.

#include "ChannelMeasurement.h"
#include "SignalTap.h"
#include "DynArray.h"
#include "WorkerThread.h"
#include "qmx58api.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace qmx {

class RecordingSink;

// One channel's settings as the run took them from its panel.
struct ChannelSnapshot {
    int InputMode = 0;    // 0 differential with DC, 1 differential AC-coupled, 2 ICP
    int DiffRange = 0;    // index into DiffRanges
    int IcpRange = 0;     // index into IcpRanges
    int ChannelMode = 0;  // 0 DC, 1 AC
};

// The run's copy of the operator's settings, taken on the window thread at run start.
struct RunSettings {
    int DataFormat = 0;     // 0 20-bit, 1 24-bit, -1 not chosen
    int CurrentSource = 0;  // ICP current list index (-1 not chosen), 0 without ICP capability
    bool PhaseCorrection = false;
    std::array<ChannelSnapshot, 4> Channels{};
    std::string ComputationMethod = "fft";
    std::string AmplitudeType = "rms";
    double AcquisitionTime = 1.0;  // seconds
    int ReferenceChannel = 0;
};

// What the configuration step reads from the window besides the snapshot.
struct ConfigurationInputs {
    std::array<bool, 4> ChannelEnabled{};
    int RateIndex = -1;             // index of the rate list, -1 without a selection
    int ReferenceChannel = 0;       // the window's reference channel, as chosen
};

// What the thread learns from the window when it starts.
struct StartupInfo {
    bool MultimeterPageActive = false;
    std::uint8_t CrateType = 0;
    QString ModuleName;
};

// One frame's readings, per physical channel.
struct FrameResults {
    std::array<bool, 4> ChannelActive{};  // enabled in the module configuration of this run
    std::array<bool, 4> OverloadFlags{};
    std::array<double, 4> DcValue{}, AcValue{}, Frequency{}, Phase{};
    // What the measurement found besides the numbers (ChannelReadings): a tone above the
    // noise, a spectrum of zeros, and why a tone's reading may be off (ReadingDoubt bits).
    std::array<bool, 4> Tone{{true, true, true, true}};
    std::array<bool, 4> Silent{};
    std::array<unsigned, 4> Doubts{};
    // The run's rate (Hz) and frame length M: what one bin of the spectrum is.
    double SampleRate = 0;
    std::int64_t SamplesPerChannel = 0;
};

// What the acquisition thread needs from the window. Every routine but the two flags runs on
// the window thread, inside a synchronised call, while the thread waits.
// The pauses a run makes for its face. The engine has none of its own: the window keeps its
// fixed ones (its LEDs blank for a moment each frame), a face with nothing to pace has none.
enum class RunPause {
    BeforeRun,     // after the start-up information, before the run begins
    AfterReset,    // after the run-start reset, before the configuration
    AfterTime,     // after the frame's length is shown, before the buffers are allocated
    BeforeFirstFrame,  // after the preparation, before the first frame is received
    BeforeLeds,    // between a frame's display and its LED update
    BeforeFinish,  // after the module is stopped, before the finish routine
};

class MeasurementHost {
public:
    virtual ~MeasurementHost() = default;
    virtual std::atomic<std::uint8_t>& measurementRunningFlag() = 0;
    virtual std::atomic<std::uint8_t>& measurementIdleFlag() = 0;
    // True when the multimeter page is the active page.
    virtual bool multimeterPageActive() = 0;

    // Start-up: sets the decimal separator, tells the page, the crate type and module name.
    virtual void acquisitionStartup(StartupInfo& info) = 0;
    // The module handle the run configures and acquires with.
    virtual Qmx58Handle& acquisitionHandle() = 0;
    // Resets the display for a new run and snapshots the settings into `settings`.
    virtual void acquisitionBeginRun(RunSettings& settings) = 0;
    virtual void acquisitionReadConfiguration(ConfigurationInputs& inputs) = 0;
    virtual void acquisitionShowTime(const QString& milliseconds) = 0;
    // Shows a frame's readings; refreshes the run's reference channel and phase correction.
    virtual void acquisitionDisplay(RunSettings& settings, const FrameResults& results) = 0;
    virtual void acquisitionUpdateLeds(const FrameResults& results) = 0;
    // Restores the start button and the time label and sets the idle flag.
    virtual void acquisitionFinish() = 0;
    // The run's one failure message; returns the button that closed it.
    virtual int acquisitionMessage(const QString& text) = 0;

    // The recording the frame's rows go to, or null; asked inside the display's synchronised
    // call, right after acquisitionDisplay. The thread writes the rows after that call has
    // returned, so the window never waits on the file.
    virtual std::shared_ptr<RecordingSink> acquisitionRecording(const RunSettings& settings, const FrameResults& results)
    {
        (void)settings;
        (void)results;
        return nullptr;
    }
    // A write to that recording failed (window thread, synchronised).
    virtual void acquisitionRecordingFailed(const std::shared_ptr<RecordingSink>& sink) { (void)sink; }

    // Whether a spectrum of zeros on an AC channel ("fft") ends the run with the no-signal
    // message (the window) or is recorded as a channel without a signal while the run goes
    // on (the command line). Asked on the acquisition thread: must not touch widgets.
    virtual bool endRunWithoutSignal() { return true; }

    // True while a signal view wants each frame's signal. Asked by the acquisition thread once
    // per frame outside any synchronised call, so it must be safe from any thread.
    virtual bool signalWanted() { return false; }
    // How long the run pauses at `which`, in ms (see RunPause); 0: not at all.
    virtual int pauseMs(RunPause which) { (void)which; return 0; }
    // The frame's signal for the view; runs in the display's synchronised call, right after
    // acquisitionDisplay, so the panels already show the readings it goes with.
    virtual void acquisitionShowSignal(std::shared_ptr<SignalFrame> frame) { (void)frame; }
};

// The refusal of a run whose settings leave a selector without a choice (data width; for
// an enabled channel its connection mode, range and DC/AC; the ICP current when a channel
// uses ICP); empty when every setting the run needs was chosen.
QString unchosenSetting(const RunSettings& settings, const std::array<bool, 4>& enabled);

// ---- frame geometry, free of the thread so it can be checked on its own

// Samples per channel M for the method ("fft", anything else is "sum"), acquisition time T
// (seconds), rate Fs (Hz) and K active channels. A T that is not a positive finite number
// gives the shortest frame. No frame is shorter than kMinFrameSamples: the window's five
// cosine terms need far more than five samples to sum to M times their constant term, and
// the spectrum's noise floor is taken from the median of its bins, which needs a hundred or
// more of them (a 1-sample frame read 0.5 V DC as 0.03 mV). Very long times saturate at
// kMaxFrameSamples, which no allocation can hold.
inline constexpr std::int64_t kMinFrameSamples = 256;
inline constexpr std::int64_t kMaxFrameSamples = std::int64_t(1) << 62;
std::int64_t frameSamplesPerChannel(const std::string& method, double T, double Fs, int K);

// Data rate in KB/s of K channels at Fs with q words per sample.
double dataRateKBps(int wordsPerSample, int K, double Fs);

// The frame buffers a run needs, in allocation order, with their sizes in bytes (saturated
// at UINT64_MAX instead of wrapping around).
struct BufferNeed {
    const char* name;
    std::uint64_t bytes;
};
std::array<BufferNeed, 8> frameBufferNeeds(std::int64_t M, int K, int wordsPerSample, bool fft);
// Index of the first buffer that cannot be held within `budgetBytes` together with those
// before it, or -1 when all fit. Also refuses a frame whose word count does not fit the
// conversion call's 32-bit count (reported against RcvBuffer).
int firstUnholdableBuffer(std::int64_t M, int K, int wordsPerSample, bool fft, std::uint64_t budgetBytes);
// The memory a run may use for its buffers: the machine's physical memory.
std::uint64_t frameMemoryBudget();

// Which active positions (0..K-1) of a converted frame overloaded: from the per-value status
// of 24-bit data (count values), or, for 20-bit data, whose raw words (count words) reached
// the converter's clipping codes anywhere in the frame.
std::array<bool, 4> overloadedPositions(const std::int32_t* status, std::int64_t count, int K);
std::array<bool, 4> clippedPositions20(const std::uint32_t* words, std::int64_t count, int K);

class TMainThread : public TThread {
public:
    static constexpr std::uint16_t kNoSlot = 0xFFFF;
    static constexpr int kRecvTimeoutMs = 5000;

    TMainThread(MeasurementHost& host, std::uint16_t runningPage);
    ~TMainThread() override;

    std::uint16_t runningPage() const { return _runningPage; }

    // ---- state, read by tests and the window while the thread is blocked or ended
    bool ErrorFlag = false;
    QString MessageText;
    int DialogResult = -1;
    std::uint8_t CrateType = 0;
    QString CrateName;
    QString ModuleName;
    RunSettings Settings;
    int WordsPerSample = 1;  // q
    double SampleRate = 0;   // Fs
    int ActiveChannelCount = 0;  // K
    std::array<std::uint16_t, 4> ChannelSlot{{kNoSlot, kNoSlot, kNoSlot, kNoSlot}};
    std::int64_t SamplesPerChannel = 0;  // M
    std::int64_t FrameWords = 0;         // N = M * K
    std::int64_t RecvChunk = 0;
    int WindowType = 0;
    FrameResults Results;
    // Frames measured and displayed in this run, and the time they took in total (ns): their
    // reception, and from the end of reception to the readings on screen.
    std::atomic<long> FramesShown{0};
    std::atomic<long long> ReceiveNs{0};
    std::atomic<long long> ToScreenNs{0};
    // Words received so far in the frame being acquired (0 at each frame's start), updated
    // after every received piece, for a progress display on another thread.
    std::atomic<long long> FrameWordsReceived{0};

protected:
    void Execute() override;

private:
    using Routine = void (TMainThread::*)();

    void MeasurementLoop();
    bool Prepare();
    bool Configure(const ConfigurationInputs& inputs);
    bool Allocate();
    bool ReceiveFrame();
    std::int64_t ReceiveChunk(std::uint32_t* destination, std::int64_t count);
    bool ConvertFrame();
    void MeasureChannels();
    void EndRun();
    void FreeBuffers();

    // Sets MessageText and shows it on the window thread unless a message was shown already.
    void Report(const QString& text);
    void showMeasurementMessage();
    // A fixed pause, cut short by a stop request.
    void Pause(int ms);

    MeasurementHost& _host;
    std::uint16_t _runningPage;
    std::array<Routine, 1> _routines{};

    DynArray<std::uint32_t> RcvBuffer;
    DynArray<double> Data;
    DynArray<std::int32_t> ChannelsStatus;
    // DataPerChannel, Window, the spectrum arrays and the SpectrumAnalyser.
    std::unique_ptr<ChannelMeasurement> Measurement;
    // The signal view's copy of the frames, made while the view is open (null until then).
    std::unique_ptr<SignalTap> Tap;
    std::shared_ptr<SignalFrame> TapFrame;  // built by MeasureChannels, handed to the display
};

}  // namespace qmx
