// Exit statuses of the headless commands; scripts rely on them, so they only grow.
#pragma once

namespace romtide::exitcode {
constexpr int kOk = 0;              // everything done as asked
constexpr int kDeviceFailed = 1;    // at least one device did not end " - okay"
constexpr int kUsage = 2;           // bad arguments
constexpr int kFileUnreadable = 3;  // the image file could not be opened or read
constexpr int kFileRejected = 4;    // the image file was refused (address check, no records)
constexpr int kNoBoard = 5;         // no CAN interface / board could be prepared
constexpr int kNothingFound = 6;    // nothing to update (no device found or named)
constexpr int kOutputFailed = 7;    // a report line or a --sim-dump file could not be written
constexpr int kBusFailed = 8;       // machine: a bus failed as a whole (worker, interface)
constexpr int kInterrupted = 130;   // Ctrl-C: stopped, as a shell reports a SIGINT
}  // namespace romtide::exitcode
