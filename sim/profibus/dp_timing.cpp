#include "sim/profibus/dp_timing.h"

#include <algorithm>
#include <iterator>

namespace romtide::sim {

namespace {

constexpr int64_t kBaudRates[] = {9600, 19200,   93750,   187500,  500000,
                                  0,    1500000, 3000000, 6000000, 12000000};
constexpr int kFastestCode = 9;

}  // namespace

int64_t dpBaudRate(int baudCode) {
    if (baudCode < 0 || baudCode >= static_cast<int>(std::size(kBaudRates))) {
        return 0;
    }
    return kBaudRates[baudCode];
}

DpTiming dpToolTiming(int baudCode) {
    DpTiming t;
    t.baudCode = baudCode;
    if (baudCode == kFastestCode) {
        t.slotTime = 1000;
        t.minTsdr = 11;
        t.maxTsdr = 800;
        t.quietTime = 9;
        t.setupTime = 16;
    }
    return t;
}

int64_t dpRequestBits(int dataBytes) {
    return int64_t{kDpBitsPerChar} * (dataBytes == 0 ? kDpSd1Chars : kDpSd2Chars + dataBytes);
}

int64_t dpResponseBits(int dataBytes) {
    return int64_t{kDpBitsPerChar} * (dataBytes == 0 ? kDpShortAckChars : kDpSd2Chars + dataBytes);
}

int64_t dpStationDelayBits(const DpTiming& t, int slaveMinTsdr) {
    return std::max(t.minTsdr, slaveMinTsdr);
}

int64_t dpIdleBits(const DpTiming& t) {
    return std::max(kDpSyncBits + t.setupTime + t.quietTime, t.minTsdr);
}

int64_t dpTransactionBits(const DpTiming& t, int requestBytes, int responseBytes,
                          int slaveMinTsdr) {
    return dpRequestBits(requestBytes) + dpStationDelayBits(t, slaveMinTsdr) +
           dpResponseBits(responseBytes) + dpIdleBits(t);
}

int64_t dpTimeoutBits(const DpTiming& t, int requestBytes) {
    return (dpRequestBits(requestBytes) + t.slotTime) * (1 + std::max(0, t.retries));
}

int64_t dpBitsToUs(int64_t bits, int64_t baudRate) {
    if (baudRate <= 0) {
        return 0;
    }
    return (bits * 1000000 + baudRate - 1) / baudRate;
}

double dpCycleUs(int baudCode, int outBytes, int inBytes) {
    const int64_t rate = dpBaudRate(baudCode);
    if (rate == 0) {
        return 0.0;
    }
    return static_cast<double>(dpCycleBits(dpToolTiming(baudCode), outBytes, inBytes)) * 1e6 /
           static_cast<double>(rate);
}

}  // namespace romtide::sim
