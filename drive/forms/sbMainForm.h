// TsbMainForm: the drive layer's base form. The application's main window
// derives from it, so creating the window creates the device session (Burner),
// the action queue (Actions), the message log (Log) and the two burn actions,
// and destroying it stops the drive library.
//
// The application calls StartLibrary when its window is shown, DisableInterface
// before and EnableInterface after drive work; StopLibrary runs from the
// destructor.
//
// Threads: a widget, used on the main thread, except DisableInterface and
// EnableInterface, which the drive-search worker may call (InterfaceEnabled is
// atomic).
#pragma once

#include "sbActions.h"
#include "sbBurner.h"
#include "sbLog.h"

#include <QStringList>
#include <QWidget>

#include <atomic>
#include <memory>

class TsbMainForm : public QWidget {
public:
    explicit TsbMainForm(QWidget* parent = nullptr);
    ~TsbMainForm() override;

    QStringList PageOrder; // page numbers as decimal text, in page order
    TsbLog Log;
    TsbActionList Actions;
    std::atomic<bool> InterfaceEnabled{true};
    bool LibraryStarted = false;
    std::unique_ptr<TsbBurner> Burner;
    std::unique_ptr<TsbBurnToFileAction> BurnToFileAction;
    std::unique_ptr<TsbBurnAtOnceToCDDVDAction> BurnAtOnceToCDDVDAction;

    virtual void ClearPages();
    // The page after / before `page` in PageOrder; -1 when absent, last or first.
    virtual int NextPage(int page);
    virtual int PreviousPage(int page);
    virtual void DisableInterface();
    virtual void EnableInterface(); // InterfaceEnabling first, then sets InterfaceEnabled
    // Appends a copy of each log item / action item of source with its owner set.
    virtual void MergeLog(TsbMainForm* source, int32_t owner);
    virtual void MergeActions(TsbMainForm* source, int32_t owner);
    virtual void InterfaceEnabling() {}
    // Deletes the first item of `owner` and every item after it.
    virtual void TruncateLog(int32_t owner);
    virtual void TruncateActions(int32_t owner);
    virtual bool CanProceed() { return true; }
    virtual void PageShown() {}
    virtual void PageHidden() {}
    virtual void PageChanged() {}
    // Starts the drive library once; throws EsbError with the failure text.
    virtual void StartLibrary();
    // Stops the library when this form started it; errors are swallowed.
    virtual void StopLibrary();
};
