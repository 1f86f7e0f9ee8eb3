// Board configuration: one key per device number under the library's Devices key, with
// named typed values. Kept as a REGEDIT4 text file on Linux; the parser and writer here
// are shared by the file store, the in-memory store of the tests and the fuzz target.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuboxlink {

struct RegValue {
    enum class Type { String, Dword, Binary };
    Type type = Type::Dword;
    std::string text;            // String
    uint32_t dword = 0;          // Dword
    std::vector<uint8_t> bytes;  // Binary (hex: and hex(N): forms)
    unsigned binaryKind = 3;     // N of hex(N); 3 for plain hex:

    static RegValue ofDword(uint32_t v) {
        RegValue r;
        r.type = Type::Dword;
        r.dword = v;
        return r;
    }
    static RegValue ofString(std::string s) {
        RegValue r;
        r.type = Type::String;
        r.text = std::move(s);
        return r;
    }
    bool operator==(const RegValue&) const = default;
};

// Registry names compare without regard to case.
struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

using RegValues = std::map<std::string, RegValue, NoCaseLess>;

// A whole .reg file: keys with their values, in file order.
struct RegFile {
    std::vector<std::pair<std::string, RegValues>> keys;

    RegValues* find(std::string_view key);
    const RegValues* find(std::string_view key) const;
    RegValues& findOrAdd(std::string_view key);
    // A key exists when it has a section of its own or any key below it has one: in a
    // registry a key's existence implies its parents.
    bool exists(std::string_view key) const;
    // Removes the key and every key below it.
    void removeTree(std::string_view key);
};

// Refuses the whole file (nullopt) when any line is malformed: a half-understood
// configuration must not pick the wrong board.
std::optional<RegFile> parseRegFile(std::string_view text);
std::string formatRegFile(const RegFile& file);

// "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Zirudevizudorer\Devices"
extern const char* const kDevicesKey;
std::string deviceKeyName(unsigned device);

// A 4-byte number of any value type: a DWORD, or binary data of exactly four bytes.
std::optional<uint32_t> numberValue(const RegValues& values, const std::string& name);
// A value that must be a DWORD.
std::optional<uint32_t> dwordValue(const RegValues& values, const std::string& name);
std::optional<std::string> stringValue(const RegValues& values, const std::string& name);

// The values of device numbers 0..15 that have a key.
using DeviceValues = std::array<std::optional<RegValues>, 16>;

// The configured device numbers of a parsed file; nothing when it has no Devices key.
std::optional<DeviceValues> devicesOf(const RegFile& file);

class RegistryStore {
  public:
    virtual ~RegistryStore() = default;
    // Every device number's values from one reading of the store, for a call that looks
    // at several of them; false when the store or its Devices key cannot be read.
    virtual bool readDevices(DeviceValues* devices) = 0;
    // The values of the device number's subkey; false when the store, the key or the
    // subkey cannot be read.
    bool readDevice(unsigned device, RegValues* values);
    // Deletes the device number's subkey and creates it anew with these values, in one
    // step as seen by readers; false when that failed.
    virtual bool replaceDevice(unsigned device, const RegValues& values) = 0;
};

// The store of the tests: a parsed file in memory.
class MemoryRegistry final : public RegistryStore {
  public:
    bool readDevices(DeviceValues* devices) override;
    bool replaceDevice(unsigned device, const RegValues& values) override;

    RegFile file;
    bool failWrites = false;
    int reads = 0;  // readDevices calls, as a file store would parse its file
};

}  // namespace nuboxlink
