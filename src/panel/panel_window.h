// The settings panel's window: a thin GTK view of PanelModel. Widgets show the model; a
// user's change goes to the model, which applies it at once and tells the view to show again.
#pragma once

#include <gtkmm.h>

#include <memory>

#include "panel/panel_model.h"

namespace quillon {

class PanelWindow : public Gtk::Window {
 public:
    // With `showHistory`, opens on the "Recently deleted" list (quillon-panel --show history);
    // with `dueWithinADay`, lists what is due within a day (quillon-panel --show due).
    explicit PanelWindow(bool showHistory = false, bool dueWithinADay = false);

 private:
    void showModel();
    void showDueRows();
    void showDeletedRows();
    void showVolumeRows();
    // Asks before a purge: the model's question, Cancel first and the default.
    void confirmPurge();

    Gtk::Box box_{Gtk::Orientation::VERTICAL, 12};
    Gtk::Grid grid_;
    Gtk::Label automaticLabel_, automaticNote_, periodLabel_, periodNote_, secureLabel_, secureHint_, notifyLabel_, stateLabel_, stateValue_, previewLabel_,
        previewValue_, outcome_;
    Glib::RefPtr<Gtk::StringList> counts_, units_;
    Gtk::DropDown countDrop_, unitDrop_;
    Gtk::Switch automatic_, secure_, notify_;
    Gtk::Button startStop_, purge_;
    Gtk::ScrolledWindow dueScroll_;
    Gtk::ListBox dueList_;
    Gtk::Expander deletedExpander_;
    Gtk::ScrolledWindow deletedScroll_;
    Gtk::ListBox deletedList_;
    Gtk::Label deletedNone_;
    Gtk::Label limitsLabel_, volumesLabel_;
    Gtk::ListBox volumeList_;
    Gtk::SpinButton trashLimit_, keepFree_, minimumHours_;  // percentages, 0 = off; hours
    std::unique_ptr<Gtk::MessageDialog> confirmation_;
    bool showing_ = false;  // while the model is being shown, widget signals are not choices
    std::unique_ptr<PanelModel> model_;
};

}  // namespace quillon
