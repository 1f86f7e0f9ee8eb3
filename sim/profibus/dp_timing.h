// The time things take on a DP segment. Everything is counted in bit times of the
// segment's baud rate, as the bus parameter set counts them, and turned into
// microseconds only at the end, so long runs do not drift.
#pragma once

#include <cstdint>

namespace romtide::sim {

// The baud rate of a DP baud rate code in bits per second; 0 for a code the simulated
// master does not run (5 and everything above 9).
int64_t dpBaudRate(int baudCode);

// The timing values of a bus parameter set.
struct DpTiming {
    int baudCode = 7;
    int slotTime = 4095;  // TSL: how long the master waits for an answer
    int minTsdr = 22;     // station delay of a responder, at least and at most
    int maxTsdr = 60;
    int quietTime = 0;   // TQUI: the modulator's quiet time after sending
    int setupTime = 55;  // TSET: from an event to the reaction
    int retries = 1;     // a request that got no answer is repeated this often
};

// The timing the tool's own bus parameter set carries for this baud rate code.
DpTiming dpToolTiming(int baudCode);

inline constexpr int kDpBitsPerChar = 11;   // start, 8 data, even parity, stop
inline constexpr int kDpSyncBits = 33;      // TSYN: line idle before every request
inline constexpr int kDpSd2Chars = 9;       // SD2 frame: header and trailer around the data
inline constexpr int kDpSd1Chars = 6;       // SD1 frame: no data
inline constexpr int kDpShortAckChars = 1;  // SC
inline constexpr int kDpSlaveMinTsdr = 11;  // what the tool's parameter data asks of a slave

// A frame carrying `dataBytes` (SD2; an empty request is an SD1 frame, an empty
// response the short acknowledge).
int64_t dpRequestBits(int dataBytes);
int64_t dpResponseBits(int dataBytes);
// The responder's station delay: the later of the bus's and the slave's own min TSDR.
int64_t dpStationDelayBits(const DpTiming& t, int slaveMinTsdr);
// Idle time after a response before the master's next request:
// TSYN + TSET + TQUI, and never less than min TSDR.
int64_t dpIdleBits(const DpTiming& t);
// A request answered: request, station delay, response, idle.
int64_t dpTransactionBits(const DpTiming& t, int requestBytes, int responseBytes, int slaveMinTsdr);
// A request nobody answers: sent 1 + retries times, each followed by a slot time.
int64_t dpTimeoutBits(const DpTiming& t, int requestBytes);
// One data exchange with one slave.
inline int64_t dpCycleBits(const DpTiming& t, int outBytes, int inBytes,
                           int slaveMinTsdr = kDpSlaveMinTsdr) {
    return dpTransactionBits(t, outBytes, inBytes, slaveMinTsdr);
}
// Bit times to microseconds at a baud rate, rounded up.
int64_t dpBitsToUs(int64_t bits, int64_t baudRate);

// One DP cycle with a single slave exchanging these byte counts, at the tool's timing
// for the baud rate code, in microseconds (0 for an unsupported code).
double dpCycleUs(int baudCode, int outBytes, int inBytes);

}  // namespace romtide::sim
