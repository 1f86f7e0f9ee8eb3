// The Profibus options dialog as logic: it shows the class-wide baud rate (and, hidden,
// the station address and PPO type) when activated, and on OK stores them, initialises
// the board again and loads the bus parameter set for the new rate.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "session/tbootloader.h"
#include "ui/dialogs.h"
#include "ui/widgets.h"

namespace romtide {

class Tfrm_profibus_option {
  public:
    static constexpr const char* kCaption = "Bootloader - Option ProfiBus";
    static constexpr int kClientWidth = 327;
    static constexpr int kClientHeight = 81;

    struct Controls {
        ui::ComboBox& combobox_profibus_baudrate;
        ui::LineEdit& edit_id_profibus;
        ui::CheckControl& radio_profibus_ppo1;
        ui::CheckControl& radio_profibus_ppo2;
        ui::BusyCursor& cursor;
    };
    // `close` closes the dialog (the view ends its modal loop).
    Tfrm_profibus_option(Tbootloader& session, Controls controls, std::function<void()> close);
    ~Tfrm_profibus_option();
    Tfrm_profibus_option(const Tfrm_profibus_option&) = delete;
    Tfrm_profibus_option& operator=(const Tfrm_profibus_option&) = delete;

    // The rates the list offers.
    static const std::array<std::string, 5>& listItems();
    // The baud index a text selects; -1 for a text that is none of the accepted ones
    // (compared exactly: "187.5 KBaud" with its capital K).
    static int32_t baudIndexOfText(const std::string& text);

    void FormActivate();
    // Digits and backspace pass; every other key is dropped.
    static bool edit_id_profibusKeyPress(char key);
    void button_profibus_option_okayClick();
    void button_profibus_option_cancelClick();

  private:
    void message(const char* text, ui::MessageIcon icon);

    Tbootloader& session_;
    Controls c_;
    std::function<void()> close_;
};

}  // namespace romtide
