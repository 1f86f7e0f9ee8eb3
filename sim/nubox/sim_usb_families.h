// The USB box firmware of the channel families other than the DP master: the request
// forms of list, FMS/FMA7, PB2M and DP slave, answered the way the DPR firmware answers
// (echoed confirmations; a DP slave with a simulated DP master). The box picks the
// firmware by the image the library downloads.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace nubox_sim {

class SimUsbFamily {
  public:
    virtual ~SimUsbFamily() = default;
    // A message written to the box, with what the box will answer appended to `reply`;
    // false refuses the write.
    bool write(const uint8_t* data, size_t n, std::vector<uint8_t>* reply);
    // A report waits (for the notify event of a watched box).
    bool reportWaiting();
    // Init requests seen and their parameter.
    unsigned initRequests();
    uint16_t initParameter();
    // Messages written to the box, as they came.
    std::vector<std::vector<uint8_t>> messages();

  protected:
    virtual bool writeLocked(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) = 0;
    virtual bool reportWaitingLocked() const { return false; }

    std::mutex mutex_;
    unsigned initRequests_ = 0;
    uint16_t initParameter_ = 0;
    std::vector<std::vector<uint8_t>> messages_;
};

// The family a firmware image of `records` load records is for (0 when unknown).
uint8_t familyOfImage(size_t records);
// The firmware of a family's box, or none for the DP master (which the box runs itself).
std::unique_ptr<SimUsbFamily> makeSimUsbFamily(uint8_t family);

// A queue of confirmations and reports of one mailbox kind.
using ReportQueue = std::deque<std::vector<uint8_t>>;

class SimUsbList final : public SimUsbFamily {
  public:
    void postReport(const std::vector<uint8_t>& report);
    // The entry the box answers for a station and offset: the value's bytes as the box
    // sends them, then the data.
    void setEntry(uint8_t station, uint16_t offset, const uint8_t value[4],
                  const std::vector<uint8_t>& data);

  private:
    bool writeLocked(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) override;
    bool reportWaitingLocked() const override { return !reports_.empty(); }

    ReportQueue reports_;
    std::map<std::pair<uint8_t, uint16_t>, std::vector<uint8_t>> entries_;
};

class SimUsbFms final : public SimUsbFamily {
  public:
    void postReport(const std::vector<uint8_t>& report);

  private:
    bool writeLocked(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) override;
    bool reportWaitingLocked() const override { return !reports_.empty() || !fma7Reports_.empty(); }

    ReportQueue reports_, fma7Reports_;
};

class SimUsbPb2m final : public SimUsbFamily {
  public:
    void postReport(uint8_t code, const std::vector<uint8_t>& data);
    unsigned resets();

  private:
    bool writeLocked(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) override;
    bool reportWaitingLocked() const override { return !reports_.empty(); }

    ReportQueue reports_;  // each: header (6), data (260)
    unsigned resets_ = 0;
};

class SimUsbDps final : public SimUsbFamily {
  public:
    void setStationAddress(uint8_t address, const std::vector<uint8_t>& record);
    void masterWriteOutput(const std::vector<uint8_t>& bytes);
    void masterWriteParameters(const std::vector<uint8_t>& bytes);
    // Event bits (0-4) the box reports at the next event request.
    void raiseEvents(uint8_t bits);
    std::vector<uint8_t> input();
    std::vector<uint8_t> configuration();
    // Input and output lengths the last configuration request named.
    std::pair<uint8_t, uint8_t> lengths();
    std::vector<uint8_t> diagnosis();
    std::vector<uint8_t> comPar();

  private:
    bool writeLocked(const uint8_t* data, size_t n, std::vector<uint8_t>* reply) override;

    uint8_t events_ = 0;
    uint8_t address_ = 0;
    std::vector<uint8_t> addressRecord_, output_, parameters_, input_, configuration_, diagnosis_,
        comPar_;
    uint8_t inputLength_ = 0, outputLength_ = 0;
    size_t configurationToCome_ = 0;
};

}  // namespace nubox_sim
