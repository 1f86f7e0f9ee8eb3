#include "session/image_acceptance.h"

#include "session/tbootloader.h"
#include "session/text_units.h"

namespace romtide {

namespace {

const char* const kNoRecords =
    "the file is empty: it holds no data records (S1, S2, S3) and no other S-record either";

}  // namespace

ImageJudgement judgeImage(const TextFile& file) {
    ImageJudgement j;
    j.inspection = inspectImage(file);
    if (j.inspection.fault) {
        j.verdict = ImageVerdict::Refused;
        j.reason = describeImageFault(*j.inspection.fault);
    } else if (j.inspection.records == 0) {
        // Nothing a device could take: an empty download, never a deliberate erase.
        j.verdict = ImageVerdict::Refused;
        j.reason = kNoRecords;
    } else if (j.inspection.eraseOnly()) {
        j.verdict = ImageVerdict::EraseOnly;
    }
    return j;
}

int64_t countTextUnits(TextFile& file) {
    TextUnitReader reader(file, nullptr);
    int64_t units = 0;
    while (reader.next()) {
        ++units;
    }
    return units;
}

std::string imageSummaryText(TextFile& file) {
    const auto bytes = static_cast<int64_t>(file.bytes().size());
    const int64_t units = countTextUnits(file);
    return file.path() + " (" + std::to_string(bytes) + " bytes, " + std::to_string(units) +
           " text units)";
}

bool confirmOpenedImage(Tbootloader& session, const std::string& title) {
    if (!session.imageFile) {
        return false;
    }
    const std::string path = session.imageFile->path();
    const ImageJudgement j = judgeImage(*session.imageFile);
    ui::MessageBoxes& messages = session.services().messages;
    if (j.verdict == ImageVerdict::Refused) {
        session.imageFile.reset();
        messages.show({"The file cannot be downloaded:\n" + path + "\n" + j.reason +
                           "\n\nNo device has been touched.",
                       title, ui::MessageIcon::Error, ui::MessageButtons::Ok});
        return false;
    }
    if (j.verdict == ImageVerdict::EraseOnly) {
        const ui::Message question{"The file " + path +
                                       " holds no data records (S1, S2, S3).\nA download with "
                                       "it only erases the devices and programs nothing.\n\n"
                                       "Open it all the same?",
                                   title, ui::MessageIcon::Question, ui::MessageButtons::NoYes};
        if (messages.show(question) != ui::MessageAnswer::Yes) {
            session.imageFile.reset();
            return false;
        }
    }
    return true;
}

}  // namespace romtide
