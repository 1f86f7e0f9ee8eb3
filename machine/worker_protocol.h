// How `bootloader machine` and its workers talk: one line per message on the worker's
// standard output (worker to parent) and standard input (parent to worker),
//   WORD key=value key=value ...\n
// a value escaped so that it holds no blank, '=', '%' or control byte (%HH), so any
// device text travels unchanged. Lines are bounded: a worker that writes a longer one
// has broken the protocol and its bus fails. The messages are typed here; what the
// parent does with them is in the coordinator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "machine/machine_plan.h"

namespace romtide::machine::protocol {

constexpr size_t kMaxLine = 4096;
// The words of the messages.
inline constexpr const char* kHello = "hello";        // worker: started, bus=NAME
inline constexpr const char* kFound = "found";        // worker: a device of its search
inline constexpr const char* kSearched = "searched";  // worker: the search ended
inline constexpr const char* kStart = "start";        // worker: a device's update begins
inline constexpr const char* kProgress = "progress";  // worker: address=N percent=P
inline constexpr const char* kOutcome = "outcome";    // worker: a device's outcome
inline constexpr const char* kEnd = "end";            // worker: outcome=... message=...
inline constexpr const char* kStop = "stop";          // parent: start no further device

struct Message {
    std::string word;
    std::vector<std::pair<std::string, std::string>> fields;

    const std::string* get(const std::string& key) const;
    void set(const std::string& key, const std::string& value);
    void setInt(const std::string& key, int64_t value);
    std::optional<int64_t> getInt(const std::string& key) const;
};

std::string escape(const std::string& text);
std::optional<std::string> unescape(const std::string& text);

// The line of a message, with its '\n'.
std::string format(const Message& message);
// A line without its '\n'; nothing and `error` set when it is none of this protocol's.
std::optional<Message> parse(const std::string& line, std::string* error);

// Cuts a byte stream into lines; false once a line grew past kMaxLine (the stream is
// then of no use). Never holds more than kMaxLine bytes.
class LineSplitter {
  public:
    bool feed(const char* data, size_t size, std::vector<std::string>& lines);
    size_t pending() const { return partial_.size(); }

  private:
    std::string partial_;
    bool broken_ = false;
};

// One device's outcome as a worker reports it (the fields of the bus reports).
struct DeviceOutcome {
    int address = 0;
    std::string outcome;
    int32_t result = 0;
    std::optional<int32_t> connect;
    double seconds = 0;
    std::optional<int64_t> textUnitsSent;
    std::optional<std::string> versionBefore;
    std::optional<std::string> versionAfter;
    std::optional<bool> verified;
    int rule = -1;
};

Message foundMessage(const FoundUnit& device);
std::optional<FoundUnit> foundOf(const Message& message);
Message outcomeMessage(const DeviceOutcome& outcome);
std::optional<DeviceOutcome> outcomeOf(const Message& message);

}  // namespace romtide::machine::protocol
