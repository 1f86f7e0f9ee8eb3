// What the Profibus window's tests do with the real widgets and read back from them,
// whichever board is behind the window: a scripted one or the simulated segment.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <string>
#include <vector>

#include "app/desktop/profibus_views.h"
#include "sim/core/srec.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace romtide::desktop::pbtest {

class NoShell : public ShellOpener {
  public:
    int open(const std::string&, const std::string&) override { return shell::kOk; }
};

// The class-wide values of the sessions and their DP masters at their start values for
// one test: the first member of a fixture, so they are reset again after its windows
// and sessions have gone.
struct FreshSharedState {
    FreshSharedState() { reset(); }
    ~FreshSharedState() { reset(); }
    static void reset() {
        Tbootloader::resetSharedState();
        TProfitalvik::resetSharedState();
    }
};

inline std::string text(const QLabel* label) {
    return label->text().toStdString();
}

// An application image of `bytes` data bytes from 0x010000.
inline sim::FlashImage testImage(int bytes) {
    sim::FlashImage image;
    for (int i = 0; i < bytes; ++i) {
        image[0x010000 + static_cast<uint32_t>(i)] = static_cast<uint8_t>(i * 7);
    }
    return image;
}

// The image as DIR/app.mhx; its path.
inline std::string writeImage(const test::TempDir& dir, const sim::FlashImage& image) {
    return dir.write("app.mhx", sim::writeSrec(image, "APP", 0x010000));
}

// Init, Search, Settings, Open, Download, Cancel, Quit: '1' for an enabled button.
inline std::string buttonStates(const ProfibusView& pb) {
    std::string s;
    for (const QPushButton* b :
         {pb.buton_profibus_initialize, pb.button_profibus_search, pb.button_profibus_settings,
          pb.button_profibus_open_file, pb.button_profibus_download, pb.button_profibus_cancel,
          pb.button_profibus_close}) {
        s += b->isEnabled() ? '1' : '0';
    }
    return s;
}

// A cell of the station list; row 1 is the first below the titles.
inline std::string gridCell(const ProfibusView& pb, int column, int row) {
    auto* item = pb.StringGrid1->item(row - 1, column);
    return item ? item->text().toStdString() : std::string();
}

// The rows below the titles, each as its five cells.
inline std::vector<std::vector<std::string>> gridRows(const ProfibusView& pb) {
    std::vector<std::vector<std::string>> rows;
    for (int r = 1; r <= pb.StringGrid1->rowCount(); ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < pb.StringGrid1->columnCount(); ++c) {
            row.push_back(gridCell(pb, c, r));
        }
        rows.push_back(row);
    }
    return rows;
}

// A mouse click on the product cell of a row, as the user marks a station.
inline void clickRow(ProfibusView& pb, int gridRow) {
    QTableWidget* t = pb.StringGrid1;
    QRect r = t->visualRect(t->model()->index(gridRow - 1, 2));
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, r.center());
}

// The row that lists `station`; 0 when none does.
inline int rowOf(const ProfibusView& pb, uint8_t station) {
    for (int r = 1; r <= pb.StringGrid1->rowCount(); ++r) {
        if (gridCell(pb, 1, r) == std::to_string(station)) {
            return r;
        }
    }
    return 0;
}

inline std::vector<std::string> messageTexts(const test::RecordingMessageBoxes& messages) {
    std::vector<std::string> out;
    for (const auto& m : messages.shown) {
        out.push_back(m.text);
    }
    return out;
}

// The texts without where each run's record went (the path changes from run to run): a
// message that says only that is left out, one that says more keeps the rest.
inline std::vector<std::string> runMessageTexts(const test::RecordingMessageBoxes& messages) {
    const std::string record = "The record of this run: ";
    std::vector<std::string> out;
    for (const auto& m : messages.shown) {
        if (m.text.rfind(record, 0) == 0) {
            continue;
        }
        const size_t at = m.text.find("\n\n" + record);
        out.push_back(at == std::string::npos ? m.text : m.text.substr(0, at));
    }
    return out;
}

// The session's update list up to its end mark.
inline std::vector<int> nodeList() {
    std::vector<int> out;
    for (uint8_t n : Tbootloader::nodeList) {
        if (n == 0) {
            break;
        }
        out.push_back(n);
    }
    return out;
}

}  // namespace romtide::desktop::pbtest
