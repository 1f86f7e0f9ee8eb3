// The channel calls of the DP slave, FMS/FMA7, list and PB2M families: each passes the
// library's channel-call gate with its family code and then runs the channel's
// operation. A null pointer where the call needs a buffer is answered with 5.
#pragma once

#include <cstdint>

#include "nuboxlink/nubox_types.h"

namespace nuboxlink {

class Library;

uint8_t listWriteCommand(Library& lib, uint8_t device, uint8_t channel, const uint8_t* block,
                         uint8_t length);
uint8_t listGetReport(Library& lib, uint8_t device, uint8_t channel, uint8_t* report);
uint8_t listReadInputData(Library& lib, uint8_t device, uint8_t channel, ListEntry* entry,
                          uint16_t offset, uint8_t station);

uint8_t fmsWriteCommand(Library& lib, uint8_t device, uint8_t channel, const uint8_t* block,
                        uint8_t length);
uint8_t fma7WriteCommand(Library& lib, uint8_t device, uint8_t channel, const uint8_t* block,
                         uint8_t length);
uint8_t fmsGetReport(Library& lib, uint8_t device, uint8_t channel, uint8_t* report);
uint8_t fma7GetReport(Library& lib, uint8_t device, uint8_t channel, uint8_t* report);

uint8_t pb2mWriteCommand(Library& lib, uint8_t device, uint8_t channel, uint8_t code,
                         const uint8_t* data);
uint8_t pb2mGetReport(Library& lib, uint8_t device, uint8_t channel, uint8_t* code, uint8_t* data);
uint8_t pb2mReset(Library& lib, uint8_t device, uint8_t channel);

uint8_t dpsGetNewCommEvent(Library& lib, uint8_t device, uint8_t channel, uint8_t* events);
uint8_t dpsReadOutputData(Library& lib, uint8_t device, uint8_t channel, uint8_t* data,
                          uint8_t* length);
uint8_t dpsReadPrmData(Library& lib, uint8_t device, uint8_t channel, uint8_t* data,
                       uint8_t* length);
uint8_t dpsReadStationAddress(Library& lib, uint8_t device, uint8_t channel, uint8_t* data,
                              uint8_t* length, uint8_t* address);
uint8_t dpsWriteInputData(Library& lib, uint8_t device, uint8_t channel, const uint8_t* data);
uint8_t dpsWriteComPar(Library& lib, uint8_t device, uint8_t channel, const uint8_t* parameters);
uint8_t dpsWriteCfgData(Library& lib, uint8_t device, uint8_t channel, const uint8_t* configuration,
                        uint8_t length);
uint8_t dpsWriteDiagData(Library& lib, uint8_t device, uint8_t channel, const uint8_t* diagnosis);

}  // namespace nuboxlink
