// The drive layer's pure parts: size and time texts, compression levels, the
// failure and version texts, the base form's page and log helpers, and the
// callback bridge's progress and buffer reports.
#include "sbBurner.h"
#include "sbGrab.h"
#include "sbLogger.h"
#include "sbMainForm.h"
#include "sbTrackList.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
constexpr double kSecond = 1.0 / 86400.0;

TEST(TrackTexts, SizesAndTimes) {
    EXPECT_EQ(SizeInKB(1023), "0 KB");
    EXPECT_EQ(SizeInKB(-2048), "2 KB");
    EXPECT_EQ(SizeInKB(5000, true), "4");
    EXPECT_EQ(SizeInKB(INT64_MIN), "9007199254740992 KB");
    EXPECT_EQ(SizeInMB(180 * 176400), "30.28 MB");
    EXPECT_EQ(SizeInMB(-1048576, true), "1.00");
    EXPECT_EQ(SizeInMB(0), "0.00 MB");

    struct Case {
        double time;
        const char* pattern;
        const char* text;
    } cases[] = {
        {180 * kSecond, "nn:ss", "03:00"},
        {59.6 * kSecond, "nn:ss", "00:59"}, // milliseconds are dropped, not rounded
        {3599 * kSecond, "nn:ss", "59:59"},
        {3600 * kSecond, "h:nn:ss", "1:00:00"},
        {(2 * 3600 + 5 * 60 + 7) * kSecond, "h:nn:ss", "2:05:07"},
        {0, "nn:ss", "00:00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TimeFormatFor(c.time), c.pattern) << c.text;
        EXPECT_EQ(FormatTime(TimeFormatFor(c.time), c.time), c.text);
    }
}

TEST(CompressionLevels, TableAndOutOfRange) {
    const int32_t expected[] = {0,     1,     10,    25,    50,     75,     90,     98,     32000,
                                48000, 64000, 80000, 96000, 128000, 160000, 192000, 256000, 320000};
    for (int i = 0; i < 18; ++i)
        EXPECT_EQ(CompressionLevelFor(i), expected[i]) << i;
    EXPECT_EQ(CompressionLevelFor(-1), 0);
    EXPECT_EQ(CompressionLevelFor(18), 0);
}

TEST(FailureTexts, UniformLineAndVersion) {
    char text[VANTRELL_EXCEPTION_TEXT_SIZE];
    std::fill(std::begin(text), std::end(text), 'x'); // no terminating zero: cut at the size
    const QString cut = FailureText("Vantrell_CdvdBurnerGrabber_GetTOCInformation", 5, -3, text);
    const QString prefix =
        "Vantrell_CdvdBurnerGrabber_GetTOCInformation() failed, exception 5, status -3, text \"";
    EXPECT_EQ(cut, prefix + QString(VANTRELL_EXCEPTION_TEXT_SIZE, 'x') + '"');

    EXPECT_EQ(FailureText("Vantrell_CdvdBurnerGrabber_Lock", 12, 0, "Locked", true),
              "Vantrell_CdvdBurnerGrabber_Lock() failed, exception 12, status 0, text "
              "\"Locked\"\\n");
    EXPECT_EQ(FailureText("Vantrell_UpStartEx", 3), "Vantrell_UpStartEx() failed, exception 3");

    bool ok = false;
    EXPECT_EQ(VersionCheckText(0x20081220, ok), "Vantrell : Vantrell.dll version : 0x20081220");
    EXPECT_TRUE(ok);
    EXPECT_EQ(VersionCheckText(0x1abc, ok),
              "Vantrell : Invalid Vantrell.dll version : 0x00001ABC. Expected : 0x20081220");
    EXPECT_FALSE(ok);
}

TEST(MainForm, PagesLogAndLibraryStart) {
    TsbMainForm form;
    form.PageOrder = {"4", "7", "9"};
    EXPECT_EQ(form.NextPage(4), 7);
    EXPECT_EQ(form.NextPage(9), -1);
    EXPECT_EQ(form.PreviousPage(4), -1);
    EXPECT_EQ(form.PreviousPage(9), 7);
    EXPECT_EQ(form.NextPage(5), -1);

    for (int owner : {1, 3, 2, 3})
        form.Log.Add(QString::number(owner), litInfo, owner);
    form.TruncateLog(3);
    ASSERT_EQ(form.Log.Count(), 1);
    EXPECT_EQ(form.Log.Items(0).PageOwner, 1);

    TsbMainForm other;
    other.MergeLog(&form, 8);
    ASSERT_EQ(other.Log.Count(), 1);
    EXPECT_EQ(other.Log.Items(0).LogMessage, "1");
    EXPECT_EQ(other.Log.Items(0).PageOwner, 8);

    form.DisableInterface();
    EXPECT_FALSE(form.InterfaceEnabled);
    form.EnableInterface();
    EXPECT_TRUE(form.InterfaceEnabled);

    form.StartLibrary();
    form.StartLibrary();
    EXPECT_TRUE(form.LibraryStarted);
    form.StopLibrary();
    EXPECT_FALSE(form.LibraryStarted);
}

TEST(CallbackBridge, ProgressDropsRepeatsAndBufferNeedsASize) {
    TsbCallBackEventer& events = CallBackEventer();
    std::vector<int64_t> progress, buffer;
    events.OnProgress.Set([&](void*, int64_t percent) { progress.push_back(percent); });
    events.OnBuffer.Set([&](void*, int64_t percent) { buffer.push_back(percent); });
    events.LastPercent = 0;

    auto report = [](uint8_t reason, uint64_t total, uint64_t done) {
        LibraryCallback(reason, nullptr, &total, &done);
    };
    events.GrabActive = false;
    report(VANTRELL_REASON_GRAB_PROGRESS, 100, 50); // not grabbing: ignored
    events.GrabActive = true;
    for (uint64_t done : {0, 0, 5, 5, 100})
        report(VANTRELL_REASON_GRAB_PROGRESS, 100, done);
    report(VANTRELL_REASON_GRAB_PROGRESS, 0, 0); // no total: nothing, no division by zero
    EXPECT_EQ(progress, (std::vector<int64_t>{5, 100}));

    uint32_t size = 0, free = 10;
    LibraryCallback(VANTRELL_REASON_BUFFER, nullptr, &size, &free);
    size = 40;
    LibraryCallback(VANTRELL_REASON_BUFFER, nullptr, &size, &free);
    LibraryCallback(VANTRELL_REASON_BUFFER, nullptr, &size, &free);
    EXPECT_EQ(buffer, (std::vector<int64_t>{75, 75}));

    events.OnProgress.Clear();
    events.OnBuffer.Clear();
    events.GrabActive = false;
}

TEST(Actions, ExecuteWithoutItemAndStagedMessages) {
    TsbGrabAction action;
    EXPECT_THROW(action.Execute(nullptr), EsbError);

    // A grab action runs only the unit-ready stage; with ReportStages off the
    // message is stored but not reported.
    TsbBurner burner; // no device object: the library answers with a failure
    TsbActionList list;
    list.Burner = &burner;
    list.ReportStages = false;
    list.Add()->Action = &action;
    std::vector<QString> messages;
    action.OnMessage = [&](void*, const QString& text, TsbLogItemType) {
        messages.push_back(text);
    };
    action.Execute(list.Items(0));
    EXPECT_EQ(messages, (std::vector<QString>{"Grabbing complete"}));
    EXPECT_EQ(burner.LastMessage, "Testing unit ready");
    EXPECT_NE(burner.LastExceptionCode, 0); // acted on by nobody
    EXPECT_TRUE(action.Success);
    CallBackEventer().GrabActive = false;
}
} // namespace

#include "OperationProgress.h"

#include <QLabel>
#include <QPushButton>

namespace {
TEST(OperationProgress, ShowHideAndCancel) {
    TfrmOperationProgress dialog;
    EXPECT_EQ(dialog.size(), QSize(344, 127));
    EXPECT_TRUE(dialog.lblInfo->text().isEmpty());
    dialog.show();
    EXPECT_TRUE(dialog.IsShown);
    EXPECT_TRUE(dialog.Animate->Active());
    dialog.btnCancelClick(); // no handler: nothing happens
    EXPECT_TRUE(dialog.labCancelling->isHidden());

    int cancels = 0;
    dialog.OnCancel = [&](TfrmOperationProgress* sender) {
        EXPECT_EQ(sender, &dialog);
        ++cancels;
    };
    dialog.SetCancelEnabled(true);
    dialog.btnCancel->click();
    EXPECT_EQ(cancels, 1);
    EXPECT_FALSE(dialog.labCancelling->isHidden());
    EXPECT_FALSE(dialog.btnCancel->isEnabled());
    dialog.SetCancelEnabled(false);
    EXPECT_TRUE(dialog.btnCancel->isHidden());
    EXPECT_TRUE(dialog.labCancelling->isHidden());

    dialog.hide();
    EXPECT_FALSE(dialog.IsShown);
    EXPECT_FALSE(dialog.Animate->Active());
}
} // namespace
