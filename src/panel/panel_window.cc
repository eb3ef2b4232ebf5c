#include "panel/panel_window.h"

#include "base/localization.h"

namespace quillon {

namespace {

std::string tr(const char *text) { return localizedString(text); }

std::vector<Glib::ustring> ustrings(const std::vector<std::string> &strings) {
    return std::vector<Glib::ustring>(strings.begin(), strings.end());
}

// Replaces the list's strings when they differ, so that an unchanged list keeps its selection.
void showStrings(const Glib::RefPtr<Gtk::StringList> &list, const std::vector<std::string> &strings) {
    bool same = list->get_n_items() == strings.size();
    for (guint i = 0; same && i < strings.size(); i++) same = list->get_string(i).raw() == strings[i];
    if (!same) list->splice(0, list->get_n_items(), ustrings(strings));
}

// A row of an item list: its name, size and `action` (when given) on the first line, `detail`
// dimmed below.
Gtk::Widget *itemRow(const std::string &title, const std::string &size, const std::string &detail,
                     Gtk::Widget *action = nullptr) {
    auto *row = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 2);
    row->set_margin(6);
    auto *top = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 12);
    auto *name = Gtk::make_managed<Gtk::Label>(title);
    name->set_hexpand(true);
    name->set_xalign(0);
    name->set_ellipsize(Pango::EllipsizeMode::MIDDLE);
    top->append(*name);
    top->append(*Gtk::make_managed<Gtk::Label>(size));
    if (action) top->append(*action);
    row->append(*top);
    auto *details = Gtk::make_managed<Gtk::Label>(detail);
    details->set_xalign(0);
    details->set_ellipsize(Pango::EllipsizeMode::MIDDLE);
    details->add_css_class("dim-label");
    row->append(*details);
    return row;
}

// What a screen reader says for a control that has no label of its own.
void accessibleLabel(Gtk::Widget &widget, const std::string &text) {
    Glib::Value<Glib::ustring> value;
    value.init(Glib::Value<Glib::ustring>::value_type());
    value.set(text);
    widget.update_property(Gtk::Accessible::Property::LABEL, value);
}

}  // namespace

PanelWindow::PanelWindow(bool showHistory, bool dueWithinADay)
    : automaticLabel_(tr("Empty the trash auto_matically"), true),
      periodLabel_(tr("Delete items _after"), true),
      secureLabel_(tr("_Secure deletion"), true),
      secureHint_(tr("Overwrites each file once before deleting it. Copies that journaling or copy-on-write file "
                     "systems, snapshots, backups and SSDs keep elsewhere stay; where that matters, use disk "
                     "encryption.")),
      notifyLabel_(tr("_Tell me what was deleted"), true),
      stateLabel_(tr("Server")),
      previewLabel_(dueWithinADay ? tr("Due within a day") : tr("Next cycle")),
      counts_(Gtk::StringList::create({})),
      units_(Gtk::StringList::create({})),
      countDrop_(counts_),
      unitDrop_(units_),
      purge_(tr("_Empty due items now"), true),
      deletedExpander_(tr("_Recently deleted"), true),
      deletedNone_(tr("Nothing was deleted yet.")),
      limitsLabel_(tr("Space _limits"), true),
      volumesLabel_(tr("_Volumes"), true),
      trashLimit_(Gtk::Adjustment::create(0, 0, 100, 1, 10)),
      keepFree_(Gtk::Adjustment::create(0, 0, 100, 1, 10)),
      minimumHours_(Gtk::Adjustment::create(24, 0, 24 * 365, 1, 24)) {
    set_title("Quillon");
    set_default_size(560, -1);
    box_.set_margin(18);
    grid_.set_row_spacing(10);
    grid_.set_column_spacing(12);
    for (Gtk::Label *label : {&automaticLabel_, &periodLabel_, &secureLabel_, &notifyLabel_, &limitsLabel_, &volumesLabel_, &stateLabel_, &previewLabel_})
        label->set_halign(Gtk::Align::END);
    for (Gtk::Label *label : {&automaticNote_, &secureHint_, &stateValue_, &previewValue_, &outcome_}) {
        label->set_halign(Gtk::Align::START);
        label->set_wrap(label == &automaticNote_ || label == &secureHint_ || label == &previewValue_);
        label->set_xalign(0);
        label->set_selectable(label == &previewValue_);
    }
    secureHint_.add_css_class("dim-label");
    automaticNote_.add_css_class("dim-label");
    automaticLabel_.add_css_class("heading");
    automaticLabel_.set_mnemonic_widget(automatic_);
    automatic_.set_halign(Gtk::Align::START);
    periodLabel_.set_mnemonic_widget(countDrop_);
    secureLabel_.set_mnemonic_widget(secure_);
    notifyLabel_.set_mnemonic_widget(notify_);
    secure_.set_halign(Gtk::Align::START);
    notify_.set_halign(Gtk::Align::START);
    startStop_.set_use_underline(true);
    accessibleLabel(countDrop_, tr("How many"));
    accessibleLabel(unitDrop_, tr("Unit"));
    accessibleLabel(startStop_, tr("Start or stop the server"));
    accessibleLabel(trashLimit_, tr("Most a trash folder may hold, percent of its volume, 0 for no limit"));
    accessibleLabel(keepFree_, tr("Free space to keep on each volume, percent, 0 for none"));
    accessibleLabel(minimumHours_, tr("Hours an item stays at least"));
    limitsLabel_.set_mnemonic_widget(trashLimit_);
    // Three spin buttons in a sentence: the trash's share, the free share, the minimum age.
    auto *limits = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 6);
    for (auto [text, spin] : {std::pair{tr("Trash at most"), &trashLimit_}, {tr("percent of a volume; keep"), &keepFree_},
                              {tr("percent free; not before"), &minimumHours_}}) {
        limits->append(*Gtk::make_managed<Gtk::Label>(text));
        limits->append(*spin);
    }
    limits->append(*Gtk::make_managed<Gtk::Label>(tr("hours")));

    auto *counted = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 6);
    counted->append(countDrop_);
    counted->append(unitDrop_);
    // The period's controls over the note of a count the last change of unit pulled back.
    auto *period = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 4);
    period->append(*counted);
    period->append(periodNote_);
    periodNote_.set_halign(Gtk::Align::START);
    periodNote_.set_wrap(true);
    periodNote_.set_xalign(0);
    periodNote_.add_css_class("dim-label");
    auto *state = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 12);
    state->append(stateValue_);
    state->append(startStop_);
    // The main switch first: nothing else matters while it is off.
    grid_.attach(automaticLabel_, 0, 0);
    grid_.attach(automatic_, 1, 0);
    grid_.attach(automaticNote_, 1, 1);
    grid_.attach(periodLabel_, 0, 2);
    grid_.attach(*period, 1, 2);
    grid_.attach(secureLabel_, 0, 3);
    grid_.attach(secure_, 1, 3);
    grid_.attach(secureHint_, 1, 4);
    grid_.attach(notifyLabel_, 0, 5);
    grid_.attach(notify_, 1, 5);
    grid_.attach(limitsLabel_, 0, 6);
    grid_.attach(*limits, 1, 6);
    // Each volume with a trash of the user's, with its switch: purged by the rules, or left alone.
    volumesLabel_.set_valign(Gtk::Align::START);
    volumesLabel_.set_mnemonic_widget(volumeList_);
    volumeList_.set_selection_mode(Gtk::SelectionMode::NONE);
    volumeList_.add_css_class("boxed-list");
    grid_.attach(volumesLabel_, 0, 7);
    grid_.attach(volumeList_, 1, 7);
    grid_.attach(stateLabel_, 0, 8);
    grid_.attach(*state, 1, 8);
    grid_.attach(previewLabel_, 0, 9);
    grid_.attach(previewValue_, 1, 9);
    // The due items in a list that scrolls: a full trash must not make the window grow.
    dueList_.set_selection_mode(Gtk::SelectionMode::NONE);
    dueList_.add_css_class("boxed-list");
    dueScroll_.set_child(dueList_);
    dueScroll_.set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);
    dueScroll_.set_min_content_height(120);
    dueScroll_.set_max_content_height(200);
    dueScroll_.set_propagate_natural_height(true);
    dueScroll_.set_has_frame(true);
    dueScroll_.set_hexpand(true);
    grid_.attach(dueScroll_, 1, 10);
    box_.append(grid_);
    auto *actions = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 12);
    actions->append(purge_);
    actions->append(outcome_);
    box_.append(*actions);
    // What went, newest first, in a list that scrolls, folded away unless asked for.
    deletedList_.set_selection_mode(Gtk::SelectionMode::NONE);
    deletedList_.add_css_class("boxed-list");
    deletedList_.set_placeholder(deletedNone_);
    deletedScroll_.set_child(deletedList_);
    deletedScroll_.set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);
    deletedScroll_.set_min_content_height(120);
    deletedScroll_.set_max_content_height(240);
    deletedScroll_.set_propagate_natural_height(true);
    deletedScroll_.set_has_frame(true);
    deletedExpander_.set_child(deletedScroll_);
    deletedExpander_.set_expanded(showHistory);
    box_.append(deletedExpander_);
    set_child(box_);
    if (showHistory) deletedExpander_.grab_focus();

    countDrop_.property_selected().signal_changed().connect([this] {
        if (!showing_) model_->chooseCount(static_cast<int>(countDrop_.get_selected()));
    });
    unitDrop_.property_selected().signal_changed().connect([this] {
        if (!showing_) model_->chooseUnit(static_cast<int>(unitDrop_.get_selected()));
    });
    automatic_.property_active().signal_changed().connect([this] {
        if (!showing_) model_->chooseAutomatic(automatic_.get_active());
    });
    secure_.property_active().signal_changed().connect([this] {
        if (!showing_) model_->chooseSecure(secure_.get_active());
    });
    notify_.property_active().signal_changed().connect([this] {
        if (!showing_) model_->chooseNotifying(notify_.get_active());
    });
    trashLimit_.signal_value_changed().connect([this] {
        if (!showing_) model_->chooseTrashLimit(trashLimit_.get_value_as_int());
    });
    keepFree_.signal_value_changed().connect([this] {
        if (!showing_) model_->chooseKeepFree(keepFree_.get_value_as_int());
    });
    minimumHours_.signal_value_changed().connect([this] {
        if (!showing_) model_->chooseMinimumAge(int64_t{minimumHours_.get_value_as_int()} * 3600);
    });
    startStop_.signal_clicked().connect([this] { model_->startOrStop(); });
    purge_.signal_clicked().connect([this] { confirmPurge(); });

    model_ = std::make_unique<PanelModel>(
        [this] {
            if (model_) showModel();
        },
        dueWithinADay);
    showModel();
}

void PanelWindow::showModel() {
    showing_ = true;
    showStrings(units_, model_->unitNames());
    showStrings(counts_, model_->counts());
    if (model_->unit() >= 0 && model_->unit() < 4) unitDrop_.set_selected(static_cast<guint>(model_->unit()));
    if (model_->countIndex() >= 0 && model_->countIndex() < static_cast<int>(counts_->get_n_items()))
        countDrop_.set_selected(static_cast<guint>(model_->countIndex()));
    automatic_.set_active(model_->automatic());
    automaticNote_.set_text(model_->automaticNote());
    periodNote_.set_text(model_->periodNote());
    periodNote_.set_visible(!model_->periodNote().empty());
    secure_.set_active(model_->secure());
    notify_.set_active(model_->notifying());
    trashLimit_.set_value(model_->trashLimit());
    keepFree_.set_value(model_->keepFree());
    minimumHours_.set_value(static_cast<double>((model_->minimumAge() + 3599) / 3600));  // a part of an hour shows as one
    stateValue_.set_text(model_->state());
    startStop_.set_label(model_->startStopTitle());
    previewValue_.set_text(model_->preview());
    showDueRows();
    showDeletedRows();
    showVolumeRows();
    outcome_.set_text(model_->purgeOutcome());
    purge_.set_sensitive(model_->canPurge());
    showing_ = false;
}

void PanelWindow::showDueRows() {
    while (Gtk::Widget *row = dueList_.get_row_at_index(0)) dueList_.remove(*row);
    // When it goes and, once known, where from below.
    for (size_t index = 0; index < model_->dueRows().size(); index++) {
        const DueRow &due = model_->dueRows()[index];
        Gtk::Button *keep = nullptr;
        if (model_->running()) {
            keep = Gtk::make_managed<Gtk::Button>(tr("Keep for a week"));
            keep->signal_clicked().connect([this, index] { (void)model_->keepForAWeek(index); });
        }
        dueList_.append(*itemRow(due.name, due.size,
                                 due.location.empty() ? due.when
                                                      : formatted(tr("%s, from %s"), due.when.c_str(), due.location.c_str()),
                                 keep));
    }
    dueScroll_.set_visible(!model_->dueRows().empty());
}

void PanelWindow::showDeletedRows() {
    while (Gtk::Widget *row = deletedList_.get_row_at_index(0)) deletedList_.remove(*row);
    for (const DeletedRow &deleted : model_->deletedRows())
        deletedList_.append(*itemRow(deleted.what, deleted.size, deleted.when));
}

void PanelWindow::showVolumeRows() {
    while (Gtk::Widget *row = volumeList_.get_row_at_index(0)) volumeList_.remove(*row);
    for (size_t index = 0; index < model_->volumeRows().size(); index++) {
        const VolumeRow &volume = model_->volumeRows()[index];
        auto *purged = Gtk::make_managed<Gtk::Switch>();
        purged->set_valign(Gtk::Align::CENTER);
        purged->set_active(volume.purged);
        purged->set_sensitive(!volume.id.empty());
        accessibleLabel(*purged, formatted(tr("Empty the trash on %s"), volume.mountPoint.c_str()));
        // Not from within the switch's own signal: the choice shows the rows, this one among
        // them, anew. Tracked: a window closed meanwhile drops it.
        purged->property_active().signal_changed().connect([this, index, purged] {
            if (showing_) return;
            Glib::signal_idle().connect_once(
                sigc::track_obj([this, index, on = purged->get_active()] { model_->setVolumePurged(index, on); }, *this));
        });
        volumeList_.append(*itemRow(volume.mountPoint.empty() ? volume.trash : volume.mountPoint, volume.facts,
                                    volume.trash, purged));
    }
    volumeList_.set_visible(!model_->volumeRows().empty());
    volumesLabel_.set_visible(!model_->volumeRows().empty());
}

void PanelWindow::confirmPurge() {
    if (!model_->canPurge()) return;
    confirmation_ = std::make_unique<Gtk::MessageDialog>(*this, model_->confirmationQuestion(), false,
                                                         Gtk::MessageType::WARNING, Gtk::ButtonsType::NONE, true);
    confirmation_->set_secondary_text(model_->confirmationDetail());
    confirmation_->add_button(tr("_Cancel"), Gtk::ResponseType::CANCEL);
    confirmation_->add_button(tr("_Delete"), Gtk::ResponseType::ACCEPT)->add_css_class("destructive-action");
    confirmation_->set_default_response(Gtk::ResponseType::CANCEL);
    Gtk::MessageDialog *asked = confirmation_.get();
    confirmation_->signal_response().connect([this, asked](int response) {
        asked->hide();
        // The state may have changed while the question was open: the model checks again.
        if (response == Gtk::ResponseType::ACCEPT) model_->purgeNow();
        // Not from within its own signal; and only the dialog that answered.
        Glib::signal_idle().connect_once([this, asked] {
            if (confirmation_.get() == asked) confirmation_.reset();
        });
    });
    confirmation_->show();
}

}  // namespace quillon
