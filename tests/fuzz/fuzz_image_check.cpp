// Any bytes as an image file: the opening check and the transfer reading must end with
// a result, never read or write outside their buffers, and the units they hand out
// must be the file's text (CR LF read as LF) in 4-byte steps. The inspection of the
// records must agree with the simulated device's parser fed with those very units: a
// file it passes is taken by the device to its end, a file it refuses would be refused.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "session/image_soundness.h"
#include "session/tbootloader.h"
#include "session/text_units.h"
#include "sim/core/srec.h"
#include "ui/dialogs.h"

namespace {

class NoMessages : public romtide::ui::MessageBoxes {
  public:
    romtide::ui::MessageAnswer show(const romtide::ui::Message&) override {
        return romtide::ui::MessageAnswer::Ok;
    }
};

class PathDialog : public romtide::ui::OpenFileDialog {
  public:
    explicit PathDialog(std::string p) : path(std::move(p)) {}
    std::optional<std::string> choose(const romtide::ui::OpenFileOptions&) override { return path; }
    std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    romtide::VirtualClock clock;
    romtide::ui::QueuedEventPump pump;
    NoMessages messages;
    romtide::Services services{clock, pump, messages};
    romtide::Tbootloader session(services);
    PathDialog dialog("/proc/self/fd/" + std::to_string(fd));
    if (session.OpenFile(dialog) == 0) {
        int checked = session.CheckFile();
        if (checked == 0) {
            romtide::ui::PlainProgressBar bar;
            romtide::ImageInspection inspection = romtide::inspectImage(*session.imageFile);
            romtide::sim::SrecStreamParser device;
            romtide::TextUnitReader reader(*session.imageFile, &bar);
            size_t units = 0;
            while (auto unit = reader.next()) {
                if ((*unit)[0] == '\0') {
                    __builtin_trap();  // a unit is only sent when its first byte is text
                }
                for (char c : *unit) {
                    device.feed(c);
                }
                ++units;
            }
            device.finish();
            // A NUL ends the walk of its piece, so what follows it never reaches the
            // device; such a file must be refused all the same.
            bool nul = size != 0 && std::memchr(data, 0, size) != nullptr;
            if (nul ? inspection.ok() : inspection.ok() == device.broken()) {
                __builtin_trap();
            }
            // Every byte is sent at most once, each in a unit of its own 4.
            if (units > size + 1) {
                __builtin_trap();
            }
        }
    }
    close(fd);
    return 0;
}
