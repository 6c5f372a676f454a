/* Module library: drives one QMX58 four-channel ADC module through the crate server on
 * the local machine.
 *
 * Every call returns a signed 32-bit code: 0 on success and a negative QMX58_ERR_* value on
 * failure, except QMX58_Recv (the number of words received, or a negative error) and
 * QMX58_IsOpened (0 when the handle is open). No call blocks longer than its time-out, and
 * a failed connection never leaves a call hanging.
 *
 * Data words. In 20-bit format (dataFormat 0) every sample is one 32-bit word; in 24-bit
 * format (dataFormat 1) every sample is two words, the second one carrying the sample's
 * status (overload). The words of one conversion follow each other in channel order over
 * the enabled channels, and every word carries its channel number and a check value, so
 * QMX58_ProcessData detects a torn or corrupted stream and fails instead of producing
 * wrong readings. */
#ifndef QMX58API_H
#define QMX58API_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  define QMX58API_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#  define QMX58API_EXPORT __attribute__((visibility("default")))
#else
#  define QMX58API_EXPORT
#endif

#ifdef __cplusplus
#  define QMX58API_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#  define QMX58API_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

enum {
    QMX58_OK = 0,
    QMX58_ERR_ARG = -1,          /* null pointer or a handle field out of range */
    QMX58_ERR_NOT_OPEN = -2,     /* the handle holds no open module */
    QMX58_ERR_CONNECT = -3,      /* the crate server cannot be reached */
    QMX58_ERR_TIMEOUT = -4,      /* the server did not answer a request in time */
    QMX58_ERR_DISCONNECTED = -5, /* the connection is lost; only QMX58_Close helps */
    QMX58_ERR_PROTOCOL = -6,     /* the server sent something malformed */
    QMX58_ERR_REFUSED = -7,      /* the module refused the request */
    QMX58_ERR_NOT_FOUND = -8,    /* no QMX58 in that crate and slot */
    QMX58_ERR_STATE = -9,        /* the call does not fit the handle's state */
    QMX58_ERR_DATA = -10,        /* QMX58_ProcessData: torn or corrupted data words */
    QMX58_ERR_INTERNAL = -11,    /* unexpected failure inside the library */
    QMX58_ERR_NO_RESOURCES = -12 /* out of memory or out of connection slots */
};

#define QMX58_DEFAULT_PORT 11111
#define QMX58_CONNECT_TIMEOUT_MS 2000
#define QMX58_REQUEST_TIMEOUT_MS 3000

/* QMX58_ProcessData flags. 0x0B = calibrated volts; 0x10 removes the ICP phase shift of
 * the channels in ICP sensor mode. */
#define QMX58_PD_OFFSET 0x01u    /* subtract the factory offset */
#define QMX58_PD_SCALE 0x02u     /* apply the factory scale */
#define QMX58_PD_VOLTS 0x08u     /* values in volts; without it in ADC codes */
#define QMX58_PD_ICP_PHASE 0x10u /* ICP phase correction */
/* How far, in conversions, the ICP phase correction of one value reaches to either side
 * (its filter's half length plus the largest delay it removes): a value whose neighbours
 * this far away were all converted in the same call rests on real values only. */
#define QMX58_ICP_REACH 56

/* Per-sample status of 24-bit data as QMX58_ProcessData reports it. */
#define QMX58_STATUS_OVERLOAD_POS 0x01
#define QMX58_STATUS_OVERLOAD_NEG 0x02

/* One factory coefficient: calibrated = (nominal volts - offset / 1000) * scale. */
typedef struct Qmx58FactoryCoef {
    float offset; /* millivolts */
    float scale;
} Qmx58FactoryCoef;

/* One channel's settings (32 bytes, at 128 + 32 * ch in the handle). */
typedef struct Qmx58ChannelConfig {
    int32_t enabled;         /* +0: 1 = converted */
    uint8_t inputRangeIndex; /* +4: 0 = +-2 V (ICP +-1 V), 1 = +-10 V (ICP +-5 V) */
    uint8_t reserved5[3];
    int32_t acCoupling;      /* +8: 1 = AC coupled (cut-off); meaningful when icpSensorMode is 0 */
    int32_t icpSensorMode;   /* +12: 1 = ICP sensor input (AC only) */
    int32_t zeroField;       /* +16: always 0 */
    uint8_t reserved20[12];
} Qmx58ChannelConfig;

/* What the module reports about itself (1088 bytes, at 256 in the handle). The factory
 * coefficients are indexed [channel][range index][rate-list index], where the rate-list
 * index is 15 minus the rate code. */
typedef struct Qmx58ModuleInfo {
    char moduleName[8];            /* 256: "QMX58" */
    char serialNumber[16];         /* 264 */
    uint8_t firmwareVersion;       /* 280 */
    uint8_t reserved281[3];
    int32_t icpCapable;            /* 284: nonzero for the "-2" variant */
    uint8_t reserved288[32];
    Qmx58FactoryCoef factoryCoefs[4][2][16]; /* 320: 1024 bytes */
} Qmx58ModuleInfo;

/* The module handle. All-zero means "closed"; the library validates its private fields,
 * so a handle that was never given to QMX58_Init also counts as closed. */
typedef struct Qmx58Handle {
    uint32_t linkId;              /*  0: library-private */
    uint32_t linkCheck;           /*  4: library-private */
    uint8_t reserved8[32];
    int32_t running;              /* 40: nonzero between QMX58_Start and QMX58_Stop */
    uint8_t rateCode;             /* 44: 0 = 117187.5 Hz ... 15 = 610.3515625 Hz */
    uint8_t reserved45[11];
    uint8_t dataFormat;           /* 56: 0 = 20-bit, 1 = 24-bit */
    uint8_t icpCurrentSource;     /* 57: 0 = 2.86 mA, 1 = 10 mA */
    uint8_t reserved58[2];
    int32_t zeroField;            /* 60: always 0 */
    uint8_t reserved64[64];
    Qmx58ChannelConfig channels[4]; /* 128 */
    Qmx58ModuleInfo moduleInfo;     /* 256 */
} Qmx58Handle;

QMX58API_STATIC_ASSERT(sizeof(Qmx58ChannelConfig) == 32, "channel record is 32 bytes");
QMX58API_STATIC_ASSERT(offsetof(Qmx58ChannelConfig, inputRangeIndex) == 4, "range at +4");
QMX58API_STATIC_ASSERT(offsetof(Qmx58ChannelConfig, acCoupling) == 8, "AC coupling at +8");
QMX58API_STATIC_ASSERT(offsetof(Qmx58ChannelConfig, icpSensorMode) == 12, "ICP mode at +12");
QMX58API_STATIC_ASSERT(offsetof(Qmx58ChannelConfig, zeroField) == 16, "zero field at +16");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, running) == 40, "running at 40");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, rateCode) == 44, "rate code at 44");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, dataFormat) == 56, "data format at 56");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, icpCurrentSource) == 57, "ICP current at 57");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, zeroField) == 60, "zero field at 60");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, channels) == 128, "channel records at 128");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, moduleInfo) == 256, "module information at 256");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, moduleInfo.serialNumber) == 264, "serial at 264");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, moduleInfo.firmwareVersion) == 280, "firmware at 280");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, moduleInfo.icpCapable) == 284, "ICP-capable at 284");
QMX58API_STATIC_ASSERT(offsetof(Qmx58Handle, moduleInfo.factoryCoefs) == 320, "coefficients at 320");
QMX58API_STATIC_ASSERT(sizeof(((Qmx58ModuleInfo*)0)->factoryCoefs) == 1024, "coefficients 1024 bytes");

/* Resets the handle to "closed" (closing a module it still held open). */
QMX58API_EXPORT int32_t QMX58_Init(Qmx58Handle* handle);
/* Opens the QMX58 in the given slot (1..16) of the given crate. addr is an IPv4 address as
 * a number (0x7F000001 = 127.0.0.1; only loopback addresses are accepted); the environment
 * variable QMX_SERVER_PORT, when set, replaces port. Fills moduleName, serialNumber,
 * firmwareVersion and icpCapable of the module information. Fails with QMX58_ERR_STATE
 * on a handle that is already open. */
QMX58API_EXPORT int32_t QMX58_Open(Qmx58Handle* handle, uint32_t addr, uint16_t port,
                                   const char* crateSerial, uint16_t slot);
QMX58API_EXPORT int32_t QMX58_Close(Qmx58Handle* handle);
/* 0 when the handle holds an open module, QMX58_ERR_NOT_OPEN otherwise. */
QMX58API_EXPORT int32_t QMX58_IsOpened(Qmx58Handle* handle);
/* Reads the whole module information, the factory coefficients included. */
QMX58API_EXPORT int32_t QMX58_GetConfig(Qmx58Handle* handle);
/* Sends rateCode, dataFormat, icpCurrentSource and the four channel records. At least one
 * channel must be enabled; ICP sensor mode needs an ICP-capable module. */
QMX58API_EXPORT int32_t QMX58_SetADC(Qmx58Handle* handle);
/* Starts the conversion with the settings of the last QMX58_SetADC; sets running. */
QMX58API_EXPORT int32_t QMX58_Start(Qmx58Handle* handle);
/* Stops the conversion and discards words not yet received; clears running. */
QMX58API_EXPORT int32_t QMX58_Stop(Qmx58Handle* handle);
/* Receives up to count words into words within timeoutMs. Returns the number received:
 * count, or fewer (0 included) when the time-out ran out first; a negative error when the
 * connection failed. timeMarks, when not null, receives one entry per word: the number of
 * the conversion (counted from 0 at QMX58_Start) that the word belongs to. */
QMX58API_EXPORT int32_t QMX58_Recv(Qmx58Handle* handle, uint32_t* words, uint32_t* timeMarks,
                                   uint32_t count, uint32_t timeoutMs);
/* Converts *count words received since QMX58_Start (starting at a conversion boundary)
 * into values, one per sample, in channel order over the enabled channels. On success
 * *count becomes the number of values: equal to the words in 20-bit format, half of them in
 * 24-bit format. status, when not null, receives one entry per value: nonzero on overload
 * (24-bit format only; 20-bit data carry no overload information and give 0). Uses the
 * settings of the last QMX58_SetADC and the factory coefficients of the module. Fails with
 * QMX58_ERR_DATA, *count set to 0, on a torn or corrupted word.
 *
 * Flag 0x10 advances every channel in ICP sensor mode by its lag from the module's phase
 * table (lag / 360 / frequency seconds) with a fractional-delay filter that is exact within
 * 3e-6 of the amplitude and 1e-4 degrees for tones up to 0.45 times the conversion rate. A lead
 * (negative lag) is undone alike; a zero lag changes nothing. The filter reaches 40
 * conversions beyond a value plus the channel's delay (at most 56 in all); past the ends of
 * the values it has, it continues the series
 * by linear prediction, which follows tones closely, so readings over a whole frame with a
 * tapering window stay exact. The call fails with QMX58_ERR_DATA, *count set to 0, when the
 * table gives no sane delay for a channel in ICP mode: a frequency that is not positive
 * while the channel's lag is not zero, or a delay of more than 16 conversions.
 * Successive calls after one QMX58_Start that use the same flags and together hold no more
 * values than were received are taken as consecutive pieces of the acquisition: each piece
 * starts from the real values that ended the one before, and only its last values (those
 * within the filter's reach of its end) rest on the prediction beyond its end, so converting a
 * frame in pieces gives what one call gives except there. Any other call (a frame
 * converted again, say) starts afresh. */
QMX58API_EXPORT int32_t QMX58_ProcessData(Qmx58Handle* handle, const uint32_t* words,
                                          double* values, int32_t* count, uint32_t flags,
                                          int32_t* status);
/* For an ICP-capable module: table[0] = the frequency (Hz) at which the phase shifts were
 * measured, table[1..4] = phase shift of channels 0..3 in degrees (the lag of the ICP input
 * at that frequency). */
QMX58API_EXPORT int32_t QMX58_GetICPPhaseCoefs(Qmx58Handle* handle, double* table);

#ifdef __cplusplus
}
#endif

#endif
