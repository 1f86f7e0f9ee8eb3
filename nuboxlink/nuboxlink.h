/* nuboxlink: access to nuBOX Profibus interface boards.
 *
 * Every function answers an unsigned 8-bit result code, 0 for success. The caller owns
 * every buffer it passes; the library copies in and out during the call and keeps no
 * pointer to caller memory. All records are packed and little-endian. Any thread may
 * call any function. */
#ifndef NUBOXLINK_H
#define NUBOXLINK_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define NUBOXLINK_API __attribute__((visibility("default")))
#else
#define NUBOXLINK_API
#endif

#ifdef __cplusplus
#define NUBOXLINK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define NUBOXLINK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Channel type codes. */
#define NUBOX_CHANNEL_NONE 0
#define NUBOX_CHANNEL_DPS 1
#define NUBOX_CHANNEL_FMS 5
#define NUBOX_CHANNEL_PB2M 15
#define NUBOX_CHANNEL_LIST 18
#define NUBOX_CHANNEL_DPEM 19

/* Device kinds. */
#define NUBOX_KIND_ISA 1
#define NUBOX_KIND_PCI 2
#define NUBOX_KIND_USB 3
#define NUBOX_KIND_PCMCIA 4
#define NUBOX_KIND_USB_HIGH 5
#define NUBOX_KIND_PCI_HIGH 6
#define NUBOX_KIND_REMOTE 7

#pragma pack(push, 1)

typedef struct ChannelDescriptor {
    uint8_t type;       /* channel type code, 0 = no channel */
    uint8_t reserved;   /* 0 */
    uint16_t parameter; /* DP master and list: size of the data area in bytes */
} ChannelDescriptor;

typedef struct DeviceConfig {
    uint32_t memoryAddress; /* ISA: dual-port RAM window address */
    uint32_t memoryRange;   /* ISA: window size, 16384, 32768 or 65536 */
    uint32_t portAddress;   /* ISA: I/O port base */
    ChannelDescriptor channels[4];
} DeviceConfig;

typedef struct DeviceInfo {
    uint8_t kind;     /* 0 when nothing is configured */
    uint32_t boardId; /* only the low 16 bits carry a value */
    uint8_t present;  /* 1 when the board was found */
    uint8_t busy;     /* 1 when the board is in use, here or in another process */
} DeviceInfo;

typedef struct DataTransferRecord {
    uint8_t station;
    uint16_t outputOffset;
    uint8_t outputLength; /* 0 = no output part */
    const uint8_t* output;
    uint16_t inputOffset;
    uint8_t inputLength; /* 0 = no input part */
    uint8_t* input;
} DataTransferRecord;

#pragma pack(pop)

NUBOXLINK_STATIC_ASSERT(sizeof(ChannelDescriptor) == 4, "ChannelDescriptor is 4 bytes");
NUBOXLINK_STATIC_ASSERT(sizeof(DeviceConfig) == 28, "DeviceConfig is 28 bytes");
NUBOXLINK_STATIC_ASSERT(sizeof(DeviceInfo) == 7, "DeviceInfo is 7 bytes");
NUBOXLINK_STATIC_ASSERT(sizeof(DataTransferRecord) == 7 + 2 * sizeof(void*),
                        "DataTransferRecord is packed");
NUBOXLINK_STATIC_ASSERT(offsetof(DeviceConfig, channels) == 12, "channels follow the port");
NUBOXLINK_STATIC_ASSERT(offsetof(DeviceInfo, boardId) == 1 && offsetof(DeviceInfo, present) == 5,
                        "DeviceInfo is packed");

/* Called on a library thread when reports wait on a watched channel. */
typedef void (*NuboxReportCallback)(uint8_t device, uint8_t channel, uint32_t userValue);

/* Board management. */
NUBOXLINK_API uint8_t InitDll(DeviceConfig configs[16], uint16_t mask, uint8_t* status,
                              uint8_t* channelStatus);
NUBOXLINK_API uint8_t nuBOX_InitDevice(uint8_t device, const uint8_t types[4],
                                       const uint16_t params[4]);
NUBOXLINK_API uint8_t ResetDevice(uint8_t device, uint32_t port);
NUBOXLINK_API uint8_t nuBOX_CloseDevice(uint8_t device);
NUBOXLINK_API uint8_t nuBOX_GetDeviceInfo(uint8_t device, DeviceInfo* info);
NUBOXLINK_API uint8_t nuBOX_AssignDevice(uint8_t device, uint8_t kind, uint32_t boardId);
NUBOXLINK_API uint8_t nuBOX_AttachedDevices(uint8_t flags, uint8_t out[5]);

/* Report notification. */
NUBOXLINK_API uint8_t WatchMailbox(uint8_t device, uint8_t channel, NuboxReportCallback callback,
                                   uint32_t userValue, uint16_t periodMs);
NUBOXLINK_API uint8_t StopWatchThread(uint8_t device, uint8_t channel);

/* DP master channel. */
NUBOXLINK_API uint8_t DPEM_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block);
NUBOXLINK_API uint8_t DPEM_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]);
NUBOXLINK_API uint8_t DPEM_WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source,
                                           uint16_t offset, uint8_t length, uint8_t station);
NUBOXLINK_API uint8_t DPEM_ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination,
                                         uint16_t offset, uint8_t length, uint8_t station);
NUBOXLINK_API uint8_t DPEM_DataExchange(uint8_t device, uint8_t channel,
                                        DataTransferRecord* const* records);
NUBOXLINK_API uint8_t DPEM_WriteRemoteAccessFlag(uint8_t device, uint8_t channel, uint8_t flag);
NUBOXLINK_API uint8_t DPEM_ReadDataTransferList(uint8_t device, uint8_t channel, uint8_t list[16]);
NUBOXLINK_API uint8_t DPEM_ReadSystemDiagnostic(uint8_t device, uint8_t channel, uint8_t diag[16]);
NUBOXLINK_API uint8_t DPEM_ReadDiagState(uint8_t device, uint8_t channel, uint8_t* out);
NUBOXLINK_API uint8_t DPEM_StationOnline(uint8_t device, uint8_t channel, uint8_t* out);

/* Twins for callers that need the Basic-compatible calling convention; on this platform
 * the convention is the same, and each forwards its arguments unchanged. */
NUBOXLINK_API uint8_t nuBOXvb_GetDeviceInfo(uint8_t device, DeviceInfo* info);
NUBOXLINK_API uint8_t nuBOXvb_AssignDevice(uint8_t device, uint8_t kind, uint32_t boardId);
NUBOXLINK_API uint8_t nuBOXvb_AttachedDevices(uint8_t flags, uint8_t out[5]);
NUBOXLINK_API uint8_t DPEMvb_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block);
NUBOXLINK_API uint8_t DPEMvb_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]);
NUBOXLINK_API uint8_t DPEMvb_WriteOutputData(uint8_t device, uint8_t channel, const uint8_t* source,
                                             uint16_t offset, uint8_t length, uint8_t station);
NUBOXLINK_API uint8_t DPEMvb_ReadInputData(uint8_t device, uint8_t channel, uint8_t* destination,
                                           uint16_t offset, uint8_t length, uint8_t station);
NUBOXLINK_API uint8_t DPEMvb_WriteRemoteAccessFlag(uint8_t device, uint8_t channel, uint8_t flag);
NUBOXLINK_API uint8_t DPEMvb_ReadDataTransferList(uint8_t device, uint8_t channel,
                                                  uint8_t list[16]);
NUBOXLINK_API uint8_t DPEMvb_ReadSystemDiagnostic(uint8_t device, uint8_t channel,
                                                  uint8_t diag[16]);
NUBOXLINK_API uint8_t DPEMvb_ReadDiagState(uint8_t device, uint8_t channel, uint8_t* out);
NUBOXLINK_API uint8_t DPEMvb_StationOnline(uint8_t device, uint8_t channel, uint8_t* out);

#ifdef __cplusplus
}
#endif

#endif /* NUBOXLINK_H */
