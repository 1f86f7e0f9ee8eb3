#include "profibus_ui/profibus_option.h"

#include <charconv>
#include <optional>
#include <utility>

#include "profibus_ui/profibus_texts.h"

namespace romtide {

namespace {

struct BaudText {
    const char* text;
    int32_t index;
};
constexpr std::array<BaudText, 9> kAcceptedTexts{{
    {"9.6 kBaud", 0},
    {"19.2 kBaud", 1},
    {"93.75 kBaud", 2},
    {"187.5 KBaud", 3},
    {"500 kBaud", 4},
    {"1.5 MBaud", 6},
    {"3 MBaud", 7},
    {"6 MBaud", 8},
    {"12 MBaud", 9},
}};

constexpr int32_t kLowestStation = 0;
constexpr int32_t kHighestStation = dpm::kHighestStation;
constexpr char kBackspace = 8;

// The station address as typed or pasted; nothing unless the whole text is a number
// that fits 32 bits (a longer one is out of range all the same).
std::optional<int64_t> parseStation(const std::string& text) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

Tfrm_profibus_option::Tfrm_profibus_option(Tbootloader& session, Controls controls,
                                           std::function<void()> close)
    : session_(session), c_(controls), close_(std::move(close)) {
    const auto& items = listItems();
    c_.combobox_profibus_baudrate.setItems({items.begin(), items.end()});
    session_.profibus->setBusyCursor(&c_.cursor);
}

Tfrm_profibus_option::~Tfrm_profibus_option() {
    session_.profibus->setBusyCursor(nullptr);
}

const std::array<std::string, 5>& Tfrm_profibus_option::listItems() {
    static const std::array<std::string, 5> items{"500 kBaud", "1.5 MBaud", "3 MBaud", "6 MBaud",
                                                  "12 MBaud"};
    return items;
}

int32_t Tfrm_profibus_option::baudIndexOfText(const std::string& text) {
    for (const auto& t : kAcceptedTexts) {
        if (text == t.text) {
            return t.index;
        }
    }
    return -1;
}

void Tfrm_profibus_option::message(const char* text, ui::MessageIcon icon) {
    session_.services().messages.show({text, "Bootloader", icon, ui::MessageButtons::Ok});
}

void Tfrm_profibus_option::FormActivate() {
    if (TProfitalvik::GetPpo2()) {
        c_.radio_profibus_ppo2.setChecked(true);
        c_.radio_profibus_ppo1.setChecked(false);
    } else {
        c_.radio_profibus_ppo1.setChecked(true);
        c_.radio_profibus_ppo2.setChecked(false);
    }
    c_.edit_id_profibus.setText(std::to_string(TProfitalvik::GetStationAddress()));
    c_.combobox_profibus_baudrate.setText(pbui::baudShortText(TProfitalvik::GetBaudIndex()));
}

bool Tfrm_profibus_option::edit_id_profibusKeyPress(char key) {
    return (key >= '0' && key <= '9') || key == kBackspace;
}

void Tfrm_profibus_option::button_profibus_option_okayClick() {
    const std::string station = c_.edit_id_profibus.text();
    const std::string rate = c_.combobox_profibus_baudrate.text();
    if (station.empty() || rate.empty()) {
        if (rate.empty()) {
            message("Please select a baudrate or click 'Cancel'.", ui::MessageIcon::None);
        }
        if (station.empty()) {
            message("Please select an NodeID or click 'Cancel'.", ui::MessageIcon::None);
        }
        return;
    }
    // A pasted text that is no number is refused like one out of range.
    auto n = parseStation(station);
    if (!n || *n < kLowestStation || *n > kHighestStation) {
        message("The NodeID number has to be between 0 and 126.", ui::MessageIcon::Information);
        return;
    }
    TProfitalvik::SetStationAddress(static_cast<int32_t>(*n));
    // The short text shown on activation matches none: an untouched dialog keeps the rate.
    if (int32_t index = baudIndexOfText(rate); index >= 0) {
        TProfitalvik::SetBaudIndex(index);
    }
    TProfitalvik::SetPpo2(c_.radio_profibus_ppo2.isChecked());

    TProfitalvik& dp = *session_.profibus;
    c_.cursor.setBusy(true);
    if (dp.InitAdapter() != dpm::kOk) {
        c_.cursor.setBusy(false);
        message("The adapter couldn't inizialized successfully", ui::MessageIcon::Error);
        return;
    }
    int32_t r = dp.SetMode(dpm::kModeClear);
    if (r == dpm::kOk) {
        r = dp.SetMode(dpm::kModeStop);
    }
    if (r == dpm::kOk) {
        r = dp.LoadBusParameter();
    }
    if (r == dpm::kOk) {
        r = dp.SetMode(dpm::kModeStop);
    }
    if (r != dpm::kOk) {
        message("Unable to load bus parameter!", ui::MessageIcon::None);
    }
    c_.cursor.setBusy(false);
    close_();
}

void Tfrm_profibus_option::button_profibus_option_cancelClick() {
    close_();
}

}  // namespace romtide
