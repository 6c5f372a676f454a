#pragma once
// The forms a recording of samples takes: a 32-bit float WAV file, raw little-endian float32
// interleaved by channel, or CSV with the time from the start; and the description of the
// run (crate, module, rate, ranges, modes, start time, overloads) as a JSON side file or as
// "# key: value" lines.

#include "CliOptions.h"
#include "SampleStream.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace qmx::cli {

struct RecordedChannel {
    int number = 1;  // 1..4
    QString input;   // diff, diff-ac or icp
    double rangeVolts = 0;
};

// What the recording is of.
struct RecordInfo {
    SampleFormat format = SampleFormat::Wav;
    QString crateSerial, crateType;
    int slot = 0;
    QString module, moduleSerial;  // "QMX58-2", its serial
    int firmware = 0;
    double rateHz = 0;
    int bits = 20;
    std::vector<RecordedChannel> channels;
    QString icpCurrent;        // "2.86 mA", "10 mA", or empty without an ICP input
    bool icpLagRemoved = false;
    long long blockSamples = 0;  // samples per channel of one receive block
    QString startUtc;          // ISO 8601 with milliseconds
    QString programVersion;
};

// Where a channel overloaded (24-bit status) or clipped (20-bit full-scale codes): samples
// [first, end) per channel, over consecutive blocks.
struct OverloadSpan {
    int channel = 1;
    long long first = 0, end = 0;
};

// How the recording ended, for the side file.
struct RecordSummary {
    long long samples = 0;  // per channel
    QString end;            // "done", "interrupted", "timed out", "receive fault: ...", "write fault: ..."
    std::vector<OverloadSpan> overloads;

    // Adds a block's overload of `channel`, joined to the span it continues.
    void addOverload(int channel, long long first, long long end);
};

const char* formatName(SampleFormat f);

// The WAV header (RIFF, fmt with format tag 3, fact, LIST/INFO with the exact rate, data)
// for `dataBytes` of samples; its length does not depend on the sizes, so it is rewritten in
// place once they are known. Unknown sizes (a pipe) are written as 0xFFFFFFFF.
QByteArray wavHeader(const RecordInfo& info, std::uint64_t dataBytes, bool sizesKnown);
// The most sample bytes a WAV file can describe after `header`: whole sample frames only.
std::uint64_t wavDataLimit(const RecordInfo& info, std::size_t headerBytes);

// The CSV column names: time_s,ch1_V,...
QByteArray csvHeader(const RecordInfo& info);
// A block's samples appended in the format (CSV rows, or float32 little-endian words).
void appendCsv(const SampleBlock& block, double rateHz, QByteArray& out);
void appendFloat32(const SampleBlock& block, QByteArray& out);

// The description as a JSON document, and as "# key: value" lines.
QByteArray describeJson(const RecordInfo& info, const RecordSummary* summary);
QStringList describeLines(const RecordInfo& info);

}  // namespace qmx::cli
