#include "nuboxlink/interface/family_calls.h"

#include "nuboxlink/channel/dps_channel.h"
#include "nuboxlink/channel/fms_channel.h"
#include "nuboxlink/channel/list_channel.h"
#include "nuboxlink/channel/pb2m_channel.h"
#include "nuboxlink/interface/library.h"

namespace nuboxlink {

namespace {

constexpr uint8_t kNoBuffer = 5;

// Passes the gate with the family of `Family` and runs `op` on the channel.
template <class Family, class Op>
uint8_t call(Library& lib, uint8_t device, uint8_t channel, uint8_t code, Op&& op) {
    return lib.channelCall(device, channel, code,
                           [&](CChannel& c) -> uint8_t { return op(static_cast<Family&>(c)); });
}

template <class Op>
uint8_t list(Library& lib, uint8_t device, uint8_t channel, Op&& op) {
    return call<CListChannel>(lib, device, channel, NUBOX_CHANNEL_LIST, op);
}
template <class Op>
uint8_t fms(Library& lib, uint8_t device, uint8_t channel, Op&& op) {
    return call<CFmsChannel>(lib, device, channel, NUBOX_CHANNEL_FMS, op);
}
template <class Op>
uint8_t pb2m(Library& lib, uint8_t device, uint8_t channel, Op&& op) {
    return call<CPb2mChannel>(lib, device, channel, NUBOX_CHANNEL_PB2M, op);
}
template <class Op>
uint8_t dps(Library& lib, uint8_t device, uint8_t channel, Op&& op) {
    return call<CDpsChannel>(lib, device, channel, NUBOX_CHANNEL_DPS, op);
}

}  // namespace

uint8_t listWriteCommand(Library& lib, uint8_t device, uint8_t channel, const uint8_t* block,
                         uint8_t length) {
    return list(lib, device, channel,
                [&](CListChannel& c) { return block ? c.WriteCommand(block, length) : kNoBuffer; });
}

uint8_t listGetReport(Library& lib, uint8_t device, uint8_t channel, uint8_t* report) {
    return list(lib, device, channel,
                [&](CListChannel& c) { return report ? c.GetReport(report) : kNoBuffer; });
}

uint8_t listReadInputData(Library& lib, uint8_t device, uint8_t channel, ListEntry* entry,
                          uint16_t offset, uint8_t station) {
    return list(lib, device, channel, [&](CListChannel& c) {
        return entry ? c.ReadInputData(entry, offset, station) : kNoBuffer;
    });
}

uint8_t fmsWriteCommand(Library& lib, uint8_t device, uint8_t channel, const uint8_t* block,
                        uint8_t length) {
    return fms(lib, device, channel,
               [&](CFmsChannel& c) { return block ? c.WriteCommand(block, length) : kNoBuffer; });
}

uint8_t fma7WriteCommand(Library& lib, uint8_t device, uint8_t channel, const uint8_t* block,
                         uint8_t length) {
    return fms(lib, device, channel, [&](CFmsChannel& c) {
        return block ? c.WriteFma7Command(block, length) : kNoBuffer;
    });
}

uint8_t fmsGetReport(Library& lib, uint8_t device, uint8_t channel, uint8_t* report) {
    return fms(lib, device, channel,
               [&](CFmsChannel& c) { return report ? c.GetReport(report) : kNoBuffer; });
}

uint8_t fma7GetReport(Library& lib, uint8_t device, uint8_t channel, uint8_t* report) {
    return fms(lib, device, channel,
               [&](CFmsChannel& c) { return report ? c.GetFma7Report(report) : kNoBuffer; });
}

uint8_t pb2mWriteCommand(Library& lib, uint8_t device, uint8_t channel, uint8_t code,
                         const uint8_t* data) {
    return pb2m(lib, device, channel,
                [&](CPb2mChannel& c) { return data ? c.WriteCommand(code, data) : kNoBuffer; });
}

uint8_t pb2mGetReport(Library& lib, uint8_t device, uint8_t channel, uint8_t* code, uint8_t* data) {
    return pb2m(lib, device, channel, [&](CPb2mChannel& c) {
        return code && data ? c.GetReport(code, data) : kNoBuffer;
    });
}

uint8_t pb2mReset(Library& lib, uint8_t device, uint8_t channel) {
    return pb2m(lib, device, channel, [](CPb2mChannel& c) { return c.Reset(); });
}

uint8_t dpsGetNewCommEvent(Library& lib, uint8_t device, uint8_t channel, uint8_t* events) {
    return dps(lib, device, channel,
               [&](CDpsChannel& c) { return events ? c.GetNewCommEvent(events) : kNoBuffer; });
}

uint8_t dpsReadOutputData(Library& lib, uint8_t device, uint8_t channel, uint8_t* data,
                          uint8_t* length) {
    return dps(lib, device, channel, [&](CDpsChannel& c) {
        return data && length ? c.ReadOutputData(data, length) : kNoBuffer;
    });
}

uint8_t dpsReadPrmData(Library& lib, uint8_t device, uint8_t channel, uint8_t* data,
                       uint8_t* length) {
    return dps(lib, device, channel, [&](CDpsChannel& c) {
        return data && length ? c.ReadPrmData(data, length) : kNoBuffer;
    });
}

uint8_t dpsReadStationAddress(Library& lib, uint8_t device, uint8_t channel, uint8_t* data,
                              uint8_t* length, uint8_t* address) {
    return dps(lib, device, channel, [&](CDpsChannel& c) {
        return data && length && address ? c.ReadStationAddress(data, length, address) : kNoBuffer;
    });
}

uint8_t dpsWriteInputData(Library& lib, uint8_t device, uint8_t channel, const uint8_t* data) {
    // No data is allowed: the board then gets zeros.
    return dps(lib, device, channel, [&](CDpsChannel& c) { return c.WriteInputData(data); });
}

uint8_t dpsWriteComPar(Library& lib, uint8_t device, uint8_t channel, const uint8_t* parameters) {
    return dps(lib, device, channel,
               [&](CDpsChannel& c) { return parameters ? c.WriteComPar(parameters) : kNoBuffer; });
}

uint8_t dpsWriteCfgData(Library& lib, uint8_t device, uint8_t channel, const uint8_t* configuration,
                        uint8_t length) {
    return dps(lib, device, channel, [&](CDpsChannel& c) {
        return configuration || length == 0 ? c.WriteCfgData(configuration, length) : kNoBuffer;
    });
}

uint8_t dpsWriteDiagData(Library& lib, uint8_t device, uint8_t channel, const uint8_t* diagnosis) {
    return dps(lib, device, channel,
               [&](CDpsChannel& c) { return diagnosis ? c.WriteDiagData(diagnosis) : kNoBuffer; });
}

}  // namespace nuboxlink
