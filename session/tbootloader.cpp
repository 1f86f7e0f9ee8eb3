#include "session/tbootloader.h"

#include <algorithm>

#include "session/image_records.h"

namespace romtide {

namespace {

const char* const kOverwriteText =
    "\n\tWarning!!\n\nThe file try to overwrite the Bootloader!\nThe process will be "
    "terminated!!";
const char* const kResetAddressText =
    "\tAttention!\n\nThe opened file shows the adress H'FFFFDC.\nProbably the reset adress is "
    "wrong.\nThe process will be terminated.";

}  // namespace

const char* deviceLeftText(DeviceLeft left) {
    switch (left) {
        case DeviceLeft::InBootloader:
            return "in its bootloader, without an application; a new download repairs it";
        case DeviceLeft::InUpdater:
            return "in its updater; a new download finishes the renewal of its bootloader and "
                   "repairs it";
        case DeviceLeft::Untouched:
            break;
    }
    return "";
}

ui::OpenFileOptions imageFileDialogOptions() {
    return ui::OpenFileOptions{"(*.mhx)|*.mhx", "Romtide - Open file", true};
}

Tbootloader::Tbootloader(const Services& services) : Tbootloader(services, nuboxlinkLibrary()) {}

Tbootloader::Tbootloader(const Services& services, DpMasterLibrary& library)
    : canComm(std::make_unique<TCANComm>(services)),
      profibus(std::make_unique<TProfitalvik>(services, library)),
      services_(services) {}

Tbootloader::~Tbootloader() {
    // The CAN board is released first: it is shared by every session object.
    canComm.reset();
    profibus.reset();
    imageFile.reset();
    updateFile.reset();
}

void Tbootloader::resetSharedState() {
    attemptCount = 0;
    nodeId = 1;
    sdoId = 0x601;
    nodeList.fill(0);
    selectedProduct = 0;
    updatePath.clear();
}

int32_t Tbootloader::OpenFile(ui::OpenFileDialog& dialog) {
    auto chosen = dialog.choose(imageFileDialogOptions());
    if (!chosen) {
        return result::kOverwritesBootloader;  // -2: cancelled, the old file stays
    }
    imageFile.reset();
    imageFile = TextFile::open(*chosen);
    return imageFile ? result::kOk : result::kNoFile;
}

int32_t Tbootloader::CheckFile() {
    if (!imageFile || imageFile->error()) {
        return result::kNoFile;
    }
    std::array<char, TextFile::kCheckPieceChars + 1> piece{};
    // Only the first piece of a line starts a record; the pieces after it in a long line
    // are data digits that merely happen to sit where an address would.
    bool lineStart = true;
    while (!imageFile->eof()) {
        services_.pump.processPending();
        // A message box or handler run above may have closed the file.
        if (!imageFile) {
            return result::kNoFile;
        }
        size_t length = imageFile->readPiece(piece.data(), TextFile::kCheckPieceChars);
        if (length == 0) {
            continue;  // end of file reached with nothing more to check
        }
        RecordHead record = lineStart ? recordHead(piece.data(), length) : RecordHead{};
        lineStart = piece[length - 1] == '\n';
        if (writesBootloaderArea(record)) {
            services_.messages.show(
                {kOverwriteText, "Romtide", ui::MessageIcon::Error, ui::MessageButtons::Ok});
            imageFile.reset();
            return result::kOverwritesBootloader;
        }
        if (namesResetAddress(record)) {
            services_.messages.show({kResetAddressText, "Romtide", ui::MessageIcon::Information,
                                     ui::MessageButtons::Ok});
            imageFile.reset();
            return result::kResetAddress;
        }
        services_.pump.processPending();
        if (!imageFile) {
            return result::kNoFile;
        }
    }
    imageFile->rewind();
    return result::kOk;
}

void Tbootloader::Wait(int32_t ms) {
    // Steps of 50 ms, each ending with pending events run; events that arrive within a
    // step run at once.
    for (int32_t t = 0; t < ms; t += 50) {
        ui::pumpFor(services_.pump, services_.clock, 50 * 1000);
    }
}

void Tbootloader::Cancel() {
    attemptCount = kCancelRequest;
}

int32_t Tbootloader::SetNodeId(int32_t node) {
    if (node < 1 || node > 128) {
        return -1;
    }
    nodeId = node;
    sdoId = 0x600 + node;
    return 0;
}

int32_t Tbootloader::AddNode(uint8_t node) {
    for (size_t i = 0; i < kNodeListSize - 1; ++i) {
        if (nodeList[i] == node) {
            return 0;
        }
        if (nodeList[i] == 0) {
            nodeList[i] = node;
            return 0;
        }
    }
    return -1;
}

int32_t Tbootloader::RemoveNode(uint8_t node) {
    for (size_t i = 0; i < kNodeListSize - 1; ++i) {
        if (nodeList[i] == 0) {
            return 0;
        }
        if (nodeList[i] == node) {
            size_t last = i;
            while (last + 1 < kNodeListSize - 1 && nodeList[last + 1] != 0) {
                ++last;
            }
            std::copy(nodeList.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                      nodeList.begin() + static_cast<std::ptrdiff_t>(last) + 1,
                      nodeList.begin() + static_cast<std::ptrdiff_t>(i));
            nodeList[last] = 0;
            return 0;
        }
    }
    return -1;
}

uint8_t Tbootloader::GetNode(int32_t position) const {
    if (position < 0 || position > 126) {
        return 255;
    }
    return nodeList[static_cast<size_t>(position)];
}

}  // namespace romtide
