// The exported C interface: each entry point forwards to the process's one Library on
// the Linux platform. Nothing here throws across the boundary.
#include <new>

#include "nuboxlink/interface/family_calls.h"
#include "nuboxlink/interface/library.h"
#include "nuboxlink/nuboxlink.h"
#include "nuboxlink/platform/linux_platform.h"

namespace {

nuboxlink::Library& lib() {
    // Made at the first call and kept to the end of the process: boards are not closed
    // at unload, a program closes each with ResetDevice.
    static auto* platform = new nuboxlink::LinuxPlatform();
    static auto* library = new nuboxlink::Library(*platform);
    return *library;
}

template <class Fn>
uint8_t guarded(Fn&& fn, uint8_t onFailure) {
    try {
        return fn();
    } catch (...) {
        return onFailure;
    }
}

}  // namespace

extern "C" {

uint8_t InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status, uint8_t* channelStatus) {
    return guarded([&] { return lib().initDll(configs, mask, status, channelStatus); }, 2);
}

uint8_t nuBOX_InitDevice(uint8_t device, const uint8_t types[4], const uint16_t params[4]) {
    return guarded([&] { return lib().initDevice(device, types, params); }, 1);
}

uint8_t ResetDevice(uint8_t device, uint32_t port) {
    return guarded([&] { return lib().resetDevice(device, port); }, 3);
}

uint8_t nuBOX_CloseDevice(uint8_t device) {
    return ResetDevice(device, 0);
}

uint8_t nuBOX_GetDeviceInfo(uint8_t device, DeviceInfo* info) {
    return guarded([&] { return lib().getDeviceInfo(device, info); }, 2);
}

uint8_t nuBOX_AssignDevice(uint8_t device, uint8_t kind, uint32_t boardId) {
    return guarded([&] { return lib().assignDevice(device, kind, boardId); }, 2);
}

uint8_t nuBOX_AttachedDevices(uint8_t flags, uint8_t out[5]) {
    return guarded([&] { return lib().attachedDevices(flags, out); }, 2);
}

uint8_t WatchMailbox(uint8_t device, uint8_t channel, NuboxReportCallback callback,
                     uint32_t userValue, uint16_t periodMs) {
    return guarded(
        [&] { return lib().watchMailbox(device, channel, callback, userValue, periodMs); }, 5);
}

uint8_t StopWatchThread(uint8_t device, uint8_t channel) {
    return guarded([&] { return lib().stopWatchThread(device, channel); }, 5);
}

uint8_t DPEM_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block) {
    return guarded([&] { return lib().dpemWriteCommand(device, channel, block); }, 5);
}

uint8_t DPEM_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) {
    return guarded([&] { return lib().dpemGetReport(device, channel, report); }, 5);
}

uint8_t DPEM_WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source,
                             uint16_t offset, uint8_t length, uint8_t station) {
    return guarded(
        [&] { return lib().dpemWriteOutputData(device, channel, source, offset, length, station); },
        5);
}

uint8_t DPEM_ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination, uint16_t offset,
                           uint8_t length, uint8_t station) {
    return guarded(
        [&] {
            return lib().dpemReadInputData(device, channel, destination, offset, length, station);
        },
        5);
}

uint8_t DPEM_DataExchange(uint8_t device, uint8_t channel, DataTransferRecord* const* records) {
    return guarded([&] { return lib().dpemDataExchange(device, channel, records); }, 5);
}

uint8_t DPEM_WriteRemoteAccessFlag(uint8_t device, uint8_t channel, uint8_t flag) {
    return guarded([&] { return lib().dpemWriteRemoteAccessFlag(device, channel, flag); }, 5);
}

uint8_t DPEM_ReadDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) {
    return guarded([&] { return lib().dpemReadDataTransferList(device, channel, list); }, 5);
}

uint8_t DPEM_ReadSystemDiagnostic(uint8_t device, uint8_t channel, uint8_t diag[16]) {
    return guarded([&] { return lib().dpemReadSystemDiagnostic(device, channel, diag); }, 5);
}

uint8_t DPEM_ReadDiagState(uint8_t device, uint8_t channel, uint8_t* out) {
    return guarded([&] { return lib().dpemReadDiagState(device, channel, out); }, 5);
}

uint8_t DPEM_StationOnline(uint8_t device, uint8_t channel, uint8_t* out) {
    return guarded([&] { return lib().dpemStationOnline(device, channel, out); }, 5);
}

uint8_t nuBOXvb_GetDeviceInfo(uint8_t device, DeviceInfo* info) {
    return nuBOX_GetDeviceInfo(device, info);
}
uint8_t nuBOXvb_AssignDevice(uint8_t device, uint8_t kind, uint32_t boardId) {
    return nuBOX_AssignDevice(device, kind, boardId);
}
uint8_t nuBOXvb_AttachedDevices(uint8_t flags, uint8_t out[5]) {
    return nuBOX_AttachedDevices(flags, out);
}
uint8_t DPEMvb_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block) {
    return DPEM_WriteCommand(device, channel, block);
}
uint8_t DPEMvb_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) {
    return DPEM_GetReport(device, channel, report);
}
uint8_t DPEMvb_WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source,
                               uint16_t offset, uint8_t length, uint8_t station) {
    return DPEM_WriteOutputData(device, channel, source, offset, length, station);
}
uint8_t DPEMvb_ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination, uint16_t offset,
                             uint8_t length, uint8_t station) {
    return DPEM_ReadInputData(device, channel, destination, offset, length, station);
}
uint8_t DPEMvb_WriteRemoteAccessFlag(uint8_t device, uint8_t channel, uint8_t flag) {
    return DPEM_WriteRemoteAccessFlag(device, channel, flag);
}
uint8_t DPEMvb_ReadDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]) {
    return DPEM_ReadDataTransferList(device, channel, list);
}
uint8_t DPEMvb_ReadSystemDiagnostic(uint8_t device, uint8_t channel, uint8_t diag[16]) {
    return DPEM_ReadSystemDiagnostic(device, channel, diag);
}
uint8_t DPEMvb_ReadDiagState(uint8_t device, uint8_t channel, uint8_t* out) {
    return DPEM_ReadDiagState(device, channel, out);
}
uint8_t DPEMvb_StationOnline(uint8_t device, uint8_t channel, uint8_t* out) {
    return DPEM_StationOnline(device, channel, out);
}

// ---- DP slave, FMS/FMA7, list and PB2M channels (no ...vb_ twins) ----------------------

uint8_t LIST_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block, uint8_t length) {
    return guarded(
        [&] { return nuboxlink::listWriteCommand(lib(), device, channel, block, length); }, 5);
}

uint8_t LIST_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) {
    return guarded([&] { return nuboxlink::listGetReport(lib(), device, channel, report); }, 5);
}

uint8_t LIST_ReadInputData(uint8_t device, uint8_t channel, ListEntry* entry, uint16_t offset,
                           uint8_t station) {
    return guarded(
        [&] {
            return nuboxlink::listReadInputData(lib(), device, channel, entry, offset, station);
        },
        5);
}

uint8_t FMS_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block, uint8_t length) {
    return guarded(
        [&] { return nuboxlink::fmsWriteCommand(lib(), device, channel, block, length); }, 5);
}

uint8_t FMA7_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block, uint8_t length) {
    return guarded(
        [&] { return nuboxlink::fma7WriteCommand(lib(), device, channel, block, length); }, 5);
}

uint8_t FMS_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) {
    return guarded([&] { return nuboxlink::fmsGetReport(lib(), device, channel, report); }, 5);
}

uint8_t FMA7_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]) {
    return guarded([&] { return nuboxlink::fma7GetReport(lib(), device, channel, report); }, 5);
}

uint8_t PB2M_WriteCommand(uint8_t device, uint8_t channel, uint8_t code,
                          const uint8_t data[NUBOX_PB2M_DATA]) {
    return guarded([&] { return nuboxlink::pb2mWriteCommand(lib(), device, channel, code, data); },
                   5);
}

uint8_t PB2M_GetReport(uint8_t device, uint8_t channel, uint8_t* code,
                       uint8_t data[NUBOX_PB2M_DATA]) {
    return guarded([&] { return nuboxlink::pb2mGetReport(lib(), device, channel, code, data); }, 5);
}

uint8_t PB2M_Reset(uint8_t device, uint8_t channel) {
    return guarded([&] { return nuboxlink::pb2mReset(lib(), device, channel); }, 5);
}

uint8_t DPS_GetNewCommEvent(uint8_t device, uint8_t channel, uint8_t* events) {
    return guarded([&] { return nuboxlink::dpsGetNewCommEvent(lib(), device, channel, events); },
                   5);
}

uint8_t DPS_ReadOutputData(uint8_t device, uint8_t channel, uint8_t* data, uint8_t* length) {
    return guarded(
        [&] { return nuboxlink::dpsReadOutputData(lib(), device, channel, data, length); }, 5);
}

uint8_t DPS_ReadPrmData(uint8_t device, uint8_t channel, uint8_t* data, uint8_t* length) {
    return guarded([&] { return nuboxlink::dpsReadPrmData(lib(), device, channel, data, length); },
                   5);
}

uint8_t DPS_ReadStationAddress(uint8_t device, uint8_t channel, uint8_t* data, uint8_t* length,
                               uint8_t* address) {
    return guarded(
        [&] {
            return nuboxlink::dpsReadStationAddress(lib(), device, channel, data, length, address);
        },
        5);
}

uint8_t DPS_WriteInputData(uint8_t device, uint8_t channel, const uint8_t* data) {
    return guarded([&] { return nuboxlink::dpsWriteInputData(lib(), device, channel, data); }, 5);
}

uint8_t DPS_WriteComPar(uint8_t device, uint8_t channel, const uint8_t parameters[8]) {
    return guarded([&] { return nuboxlink::dpsWriteComPar(lib(), device, channel, parameters); },
                   5);
}

uint8_t DPS_WriteCfgData(uint8_t device, uint8_t channel, const uint8_t* configuration,
                         uint8_t length) {
    return guarded(
        [&] { return nuboxlink::dpsWriteCfgData(lib(), device, channel, configuration, length); },
        5);
}

uint8_t DPS_WriteDiagData(uint8_t device, uint8_t channel, const uint8_t* diagnosis) {
    return guarded([&] { return nuboxlink::dpsWriteDiagData(lib(), device, channel, diagnosis); },
                   5);
}

}  // extern "C"
