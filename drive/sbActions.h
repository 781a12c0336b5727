// The action queue: long drive operations packaged as actions.
//
// A caller (the application's grab worker) clears a TsbActionList, sets its
// Burner, adds a TsbActionItem holding an action and calls the action's Execute
// with that item; exceptions from Execute reach that caller. Actions report
// their steps through OnMessage (text and TsbLogItemType) and their progress
// through CallBackEventer().OnProgress.
//
// TsbStagedAction runs a fixed set of preparation stages selected by the bits
// of Options. The burn actions hand the writing to a TsbBurnThread; the drive
// library never writes media, so every writing mode ends with its failure text.
//
// Threads: Execute runs on the caller's thread and fires OnMessage/OnProgress
// there; handlers that touch windows must hand the work to the main thread.
// Lists and items are used by one thread at a time.
#pragma once

#include "sbBurner.h"
#include "sbThread.h"
#include "sbTypes.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class TsbAction;
class TsbActionList;

struct TsbActionItem {
    TsbAction* Action = nullptr;         // not owned: destroying the item only drops the reference
    int32_t Owner = 0;                   // a page number
    TsbActionList* Collection = nullptr; // the list that holds the item
    // Assigning copies Action and Owner.
    TsbActionItem& Assign(const TsbActionItem& other) {
        Action = other.Action;
        Owner = other.Owner;
        return *this;
    }
};

class TsbActionList {
public:
    TsbActionList() = default;
    virtual ~TsbActionList() = default;
    TsbActionList(const TsbActionList&) = delete;
    TsbActionList& operator=(const TsbActionList&) = delete;

    TsbBurner* Burner = nullptr; // not owned
    TsbMessageEvent OnMessage;   // copied into actions by AssignMessageHandler
    bool ReportStages = true;

    TsbActionItem* Add();
    int Count() const { return static_cast<int>(items_.size()); }
    TsbActionItem* Items(int index) const { return items_.at(static_cast<size_t>(index)).get(); }
    void Delete(int index) { items_.erase(items_.begin() + index); }
    void Clear() { items_.clear(); }
    // Deletes the first item whose Owner equals owner and every item after it.
    void TruncateActions(int32_t owner);
    virtual void AssignMessageHandler();

private:
    std::vector<std::unique_ptr<TsbActionItem>> items_;
};

// Stage bits of TsbActionOptions.
using TsbActionOptions = uint16_t;

class TsbAction {
public:
    TsbAction() = default;
    virtual ~TsbAction() = default;
    TsbAction(const TsbAction&) = delete;
    TsbAction& operator=(const TsbAction&) = delete;

    TsbMessageEvent OnMessage;
    TsbActionList* List = nullptr; // set by Execute
    bool Success = true;           // false after a failed step
    TsbActionOptions Options = 0;

    // Throws EsbError("Invalid action") when item is null; else sets List and
    // fires OnProgress with 0.
    virtual void Execute(TsbActionItem* item);
    virtual void DoMessage(const QString& text, TsbLogItemType kind);
    // The handler an action installs on the session's OnMessage.
    virtual void ForwardMessage(const QString& text, TsbLogItemType kind);

    // Releases and ejects the session's drive; the outcome is reported as a message.
    void Eject();
    // Closes the disc session (burning); a failure is only logged.
    void CloseDiscSession();

protected:
    TsbBurner* Burner() const;              // the list's session; throws when there is none
    void StageMessage(const QString& text); // LastMessage, then reported when ReportStages
};

class TsbStagedAction : public TsbAction {
public:
    TsbStagedAction() { Options = 1535; }
    void Execute(TsbActionItem* item) override;
};

// Writes the file tree's image into the session's ImageFileName (burn mode 4).
class TsbBurnToFileAction : public TsbStagedAction {
public:
    TsbBurnToFileAction() { Options = 1u << 9; }
    void Execute(TsbActionItem* item) override;
};

// Burns at once to the disc in the session's drive with the session's BurnMode.
class TsbBurnAtOnceToCDDVDAction : public TsbStagedAction {
public:
    void Execute(TsbActionItem* item) override;
};

// The burn worker. Reports each mode's text; the library refuses to write media,
// so every writing mode reports its failure text.
class TsbBurnThread : public TsbCustomThread {
public:
    using TsbCustomThread::TsbCustomThread;

protected:
    void Execute() override;

private:
    void WriteImageFile();
    bool Call(const char* operation, uint8_t result);
};
