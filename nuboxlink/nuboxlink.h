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
/* Called from another thread while a channel call or InitDll waits for a remote board
 * (a request up to 10 s, a connection or configuration up to 30 s), ResetDevice ends
 * that wait: the waiting call answers 2, InitDll fails for that device. */
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

/* ---- DP slave, FMS/FMA7, list and PB2M channels --------------------------------------
 *
 * These families run on boards with a dual-port RAM (ISA, PCI, PCMCIA) and on USB boxes;
 * none has a ...vb_ twin. Every call passes the same checks as the DP master calls
 * (1 device above 15, 2 channel above 3, 3 no board or channel, 4 another family).
 *
 * Limits. The library checks every offset and length against the record or area it
 * belongs to and against the caller's buffer as stated here:
 * - DPS_WriteCfgData: at most NUBOX_DPS_CFG_MAX configuration bytes, and the output and
 *   input lengths the configuration describes at most NUBOX_DPS_DATA_MAX each; a
 *   configuration whose last identifier lacks the bytes it announces is malformed.
 *   Otherwise 5 and nothing is written.
 * - DPS_WriteDiagData: at most NUBOX_DPS_EXT_DIAG_MAX ext-diag bytes (diagnosis byte 3);
 *   otherwise 5 and nothing is written.
 * - DPS_ReadOutputData: the length is the smaller of the board's length byte and the
 *   output length of the last DPS_WriteCfgData; `data` must hold that many bytes (at
 *   most NUBOX_DPS_DATA_MAX).
 * - DPS_WriteInputData: writes the input length of the last DPS_WriteCfgData (or less,
 *   when the board's record says less); `data` must hold that many bytes.
 * - DPS_ReadPrmData: `data` must hold NUBOX_DPS_DATA_MAX bytes; a longer length byte
 *   of the board is cut to that.
 * - DPS_ReadStationAddress: `data` must hold NUBOX_DPS_ADDRESS_RECORD_MAX bytes; a
 *   longer length byte of the board is cut to that.
 * - Each DP slave record is shared with the board under a lock; a board that does not
 *   let go of a record within NUBOX_DPS_LOCK_TIMEOUT_MS makes the call answer 6 (busy)
 *   without touching the record.
 * - LIST_ReadInputData: the entry (value, length byte) must lie inside the channel's
 *   data area, otherwise 5; an entry whose length byte runs past the data area is cut
 *   at its end, and `length` says how many bytes were copied. A board that keeps
 *   updating the entry for a second makes the call answer 5.
 * - Commands are at most 255 bytes (list, FMS, FMA7) or 260 (PB2M) and always fit their
 *   256-byte mailbox or 260-byte slot; reports are 256 bytes, PB2M report data 260. */

#define NUBOX_DPS_CFG_MAX 244
#define NUBOX_DPS_DATA_MAX 244
#define NUBOX_DPS_EXT_DIAG_MAX 237
#define NUBOX_DPS_ADDRESS_RECORD_MAX 240
#define NUBOX_DPS_LOCK_TIMEOUT_MS 100
#define NUBOX_PB2M_DATA 260

/* DPS_GetNewCommEvent's event bits (what each stands for is the board firmware's). */
#define NUBOX_DPS_EVENT_BOARD_BIT1 0x01
#define NUBOX_DPS_EVENT_BOARD_BIT0 0x02
#define NUBOX_DPS_EVENT_BOARD_BIT3 0x04
#define NUBOX_DPS_EVENT_BOARD_BIT4 0x08
#define NUBOX_DPS_EVENT_BOARD_BIT2 0x10

#pragma pack(push, 1)
/* One entry of a list channel's data area. */
typedef struct ListEntry {
    uint32_t value; /* most significant byte first in the board's data area */
    uint8_t length; /* bytes of data that follow */
    uint8_t data[255];
} ListEntry;
#pragma pack(pop)
NUBOXLINK_STATIC_ASSERT(sizeof(ListEntry) == 260, "ListEntry is packed");

/* List channel. */
NUBOXLINK_API uint8_t LIST_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block,
                                        uint8_t length);
NUBOXLINK_API uint8_t LIST_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]);
NUBOXLINK_API uint8_t LIST_ReadInputData(uint8_t device, uint8_t channel, ListEntry* entry,
                                         uint16_t offset, uint8_t station);

/* FMS channel with its FMA7 management. */
NUBOXLINK_API uint8_t FMS_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block,
                                       uint8_t length);
NUBOXLINK_API uint8_t FMA7_WriteCommand(uint8_t device, uint8_t channel, const uint8_t* block,
                                        uint8_t length);
NUBOXLINK_API uint8_t FMS_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]);
NUBOXLINK_API uint8_t FMA7_GetReport(uint8_t device, uint8_t channel, uint8_t report[256]);

/* PB2M channel. */
NUBOXLINK_API uint8_t PB2M_WriteCommand(uint8_t device, uint8_t channel, uint8_t code,
                                        const uint8_t data[NUBOX_PB2M_DATA]);
NUBOXLINK_API uint8_t PB2M_GetReport(uint8_t device, uint8_t channel, uint8_t* code,
                                     uint8_t data[NUBOX_PB2M_DATA]);
NUBOXLINK_API uint8_t PB2M_Reset(uint8_t device, uint8_t channel);

/* DP slave channel. */
NUBOXLINK_API uint8_t DPS_GetNewCommEvent(uint8_t device, uint8_t channel, uint8_t* events);
NUBOXLINK_API uint8_t DPS_ReadOutputData(uint8_t device, uint8_t channel, uint8_t* data,
                                         uint8_t* length);
NUBOXLINK_API uint8_t DPS_ReadPrmData(uint8_t device, uint8_t channel, uint8_t* data,
                                      uint8_t* length);
NUBOXLINK_API uint8_t DPS_ReadStationAddress(uint8_t device, uint8_t channel, uint8_t* data,
                                             uint8_t* length, uint8_t* address);
/* data NULL writes zeros. */
NUBOXLINK_API uint8_t DPS_WriteInputData(uint8_t device, uint8_t channel, const uint8_t* data);
NUBOXLINK_API uint8_t DPS_WriteComPar(uint8_t device, uint8_t channel, const uint8_t parameters[8]);
NUBOXLINK_API uint8_t DPS_WriteCfgData(uint8_t device, uint8_t channel,
                                       const uint8_t* configuration, uint8_t length);
/* diagnosis: three bytes, the ext-diag length, the ext-diag bytes. */
NUBOXLINK_API uint8_t DPS_WriteDiagData(uint8_t device, uint8_t channel, const uint8_t* diagnosis);

#ifdef __cplusplus
}
#endif

#endif /* NUBOXLINK_H */
