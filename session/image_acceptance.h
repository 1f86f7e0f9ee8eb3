// What may reach a device once an image file has passed the address rules of CheckFile:
// the same judgement for both download windows and the headless commands. The device
// parses every record only after it has been erased, so a file it would refuse halfway
// (a text file opened by mistake, a program file, a record cut short) or a file without
// any record is refused before any device is touched; a sound file whose records only
// erase is the deliberate erase-only use, and is taken only when the user says so.
#pragma once

#include <cstdint>
#include <string>

#include "session/image_soundness.h"
#include "session/text_file.h"
#include "ui/dialogs.h"

namespace romtide {

class Tbootloader;

enum class ImageVerdict {
    Accepted,
    Refused,    // broken, not a text of S-records, or no record at all
    EraseOnly,  // sound, but without data records (S1, S2, S3): it only erases
};

struct ImageJudgement {
    ImageVerdict verdict = ImageVerdict::Accepted;
    ImageInspection inspection;
    // Why a refused file is refused, without the file's name ("line 3: ...").
    std::string reason;
};

ImageJudgement judgeImage(const TextFile& file);

// The text units a transfer of `file` sends; the next reader reads it from its start.
int64_t countTextUnits(TextFile& file);

// "PATH (1234 bytes, 310 text units)": the open image as the windows show it.
std::string imageSummaryText(TextFile& file);

// What a download window does once CheckFile has accepted session.imageFile: a refused
// file is said so (`title` is the window's caption for its boxes) and closed; for an
// erase-only one the user is asked, No being the default, and No closes it. True when
// the file stays open.
bool confirmOpenedImage(Tbootloader& session, const std::string& title);

}  // namespace romtide
