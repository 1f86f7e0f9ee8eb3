#include "nuboxlink/channel/families.h"

#include "nuboxlink/channel/dpem_channel.h"
#include "nuboxlink/channel/dpem_usb.h"
#include "nuboxlink/channel/dps_channel.h"
#include "nuboxlink/channel/fms_channel.h"
#include "nuboxlink/channel/list_channel.h"
#include "nuboxlink/channel/pb2m_channel.h"

namespace nuboxlink {

std::unique_ptr<CChannel> makeIsaChannel(CIsaDevice& board, uint8_t index, uint8_t type) {
    switch (type) {
        case NUBOX_CHANNEL_DPS:
            return std::make_unique<CDpsIsa>(board, index);
        case NUBOX_CHANNEL_FMS:
            return std::make_unique<CFmsIsa>(board, index);
        case NUBOX_CHANNEL_PB2M:
            return std::make_unique<CPb2mIsa>(board, index);
        case NUBOX_CHANNEL_LIST:
            return std::make_unique<CListIsa>(board, index);
        case NUBOX_CHANNEL_DPEM:
            return std::make_unique<CDpemIsa>(board, index);
        default:
            return nullptr;
    }
}

std::unique_ptr<CChannel> makeUsbChannel(CUsbDevice& board, uint8_t type) {
    switch (type) {
        case NUBOX_CHANNEL_DPS:
            return std::make_unique<CDpsUsb>(board);
        case NUBOX_CHANNEL_FMS:
            return std::make_unique<CFmsUsb>(board);
        case NUBOX_CHANNEL_PB2M:
            return std::make_unique<CPb2mUsb>(board);
        case NUBOX_CHANNEL_LIST:
            return std::make_unique<CListUsb>(board);
        case NUBOX_CHANNEL_DPEM:
            return std::make_unique<CDpemUsb>(board);
        default:
            return nullptr;
    }
}

}  // namespace nuboxlink
