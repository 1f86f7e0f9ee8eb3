#include "session/run_record.h"

#include <ctime>

namespace romtide {

std::string utcTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string recordName(const RecordOutcome& outcome) {
    const size_t slash = outcome.path.rfind('/');
    return slash == std::string::npos ? outcome.path : outcome.path.substr(slash + 1);
}

ui::Message historyUnwritableMessage(const std::string& error, const std::string& title) {
    return {"The run history cannot be written:\n" + error +
                "\n\nThe downloads go on as before, but their records are not kept until "
                "this is repaired. This is said only once.",
            title, ui::MessageIcon::Warning, ui::MessageButtons::Ok};
}

}  // namespace romtide
