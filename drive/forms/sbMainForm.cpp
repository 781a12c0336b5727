#include "sbMainForm.h"

#include "sbDialogs.h"
#include "sbLogger.h"

TsbMainForm::TsbMainForm(QWidget* parent)
    : QWidget(parent), Burner(std::make_unique<TsbBurner>()),
      BurnToFileAction(std::make_unique<TsbBurnToFileAction>()),
      BurnAtOnceToCDDVDAction(std::make_unique<TsbBurnAtOnceToCDDVDAction>()) {
    sbdlg::InstallDriveForms();
}

TsbMainForm::~TsbMainForm() {
    BurnAtOnceToCDDVDAction.reset();
    BurnToFileAction.reset();
    Burner.reset();
    Actions.Clear();
    Log.Clear();
    PageOrder.clear();
    StopLibrary();
}

void TsbMainForm::ClearPages() {
    PageOrder.clear();
}

int TsbMainForm::NextPage(int page) {
    const qsizetype at = PageOrder.indexOf(QString::number(page));
    if (at < 0 || at + 1 >= PageOrder.size())
        return -1;
    return PageOrder[at + 1].toInt();
}

int TsbMainForm::PreviousPage(int page) {
    const qsizetype at = PageOrder.indexOf(QString::number(page));
    if (at <= 0)
        return -1;
    return PageOrder[at - 1].toInt();
}

void TsbMainForm::DisableInterface() {
    InterfaceEnabled.store(false);
}

void TsbMainForm::EnableInterface() {
    InterfaceEnabling();
    InterfaceEnabled.store(true);
}

void TsbMainForm::MergeLog(TsbMainForm* source, int32_t owner) {
    if (!source || source == this)
        return;
    for (int i = 0; i < source->Log.Count(); ++i) {
        TsbLogItem& item = Log.Add();
        item = source->Log.Items(i);
        item.PageOwner = owner;
    }
}

void TsbMainForm::MergeActions(TsbMainForm* source, int32_t owner) {
    if (!source || source == this)
        return;
    for (int i = 0; i < source->Actions.Count(); ++i) {
        TsbActionItem* item = Actions.Add();
        item->Assign(*source->Actions.Items(i));
        item->Owner = owner;
    }
}

void TsbMainForm::TruncateLog(int32_t owner) {
    for (int i = 0; i < Log.Count(); ++i) {
        if (Log.Items(i).PageOwner == owner) {
            for (int j = Log.Count() - 1; j >= i; --j)
                Log.Delete(j);
            return;
        }
    }
}

void TsbMainForm::TruncateActions(int32_t owner) {
    Actions.TruncateActions(owner);
}

void TsbMainForm::StartLibrary() {
    if (LibraryStarted)
        return;
    StartVantrellLibrary();
    LibraryStarted = true;
}

void TsbMainForm::StopLibrary() {
    // The library counts its starts: stopping one this form never started would
    // undo someone else's.
    if (!LibraryStarted)
        return;
    StopVantrellLibrary();
    LibraryStarted = false;
}
