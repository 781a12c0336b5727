#include "UnitMain.h"
#include "FileNames.h"

#include "DeviceMonitor.h"
#include "DriveArgument.h"
#include "UnitFunction.h"
#include "UnitHelpers.h"
#include "UnitPlatform.h"
#include "UnitPresets.h"
#include "sbDialogs.h"
#include "sbGrab.h"
#include "sbLogger.h"
#include "sbTrackList.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHash>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSocketNotifier>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <functional>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

const QString AppTitle = QStringLiteral("Tonvale");
const QString VersionText = QStringLiteral("1.0");
const QString LoadingDiscInformation = QStringLiteral("Loading disc information... ");
const QString OpenFolderQuestion = QStringLiteral("Would you like to open the output folder?");
const QString StopQuestion = QStringLiteral("A conversion is running. Stop it and close Tonvale?");
const QString SupportEmail = QStringLiteral("support@brisklane.com");
const QString OurSiteAddress = QStringLiteral("http://www.brisklane.com/");
const QString ProductPageAddress = QStringLiteral("http://www.brisklane.com/tonvale/");

// A window message registered by name: the same name gives the same event type
// for the life of the process.
int RegisterWindowMessage(const QString& name) {
    static QHash<QString, int> registered;
    auto it = registered.find(name);
    if (it == registered.end())
        it = registered.insert(name, QEvent::registerEventType());
    return it.value();
}

bool OnMainThread() {
    return QCoreApplication::instance() &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

// The caption a button shows for an action's caption: the same words with the key
// that Alt presses it with marked. The eject button keeps its key in both captions.
QString WithMnemonic(const QString& caption) {
    static const QHash<QString, QString> marked = {
        {QStringLiteral("Convert"), QStringLiteral("&Convert")},
        {QStringLiteral("Browse..."), QStringLiteral("&Browse...")},
        {QStringLiteral("Select All"), QStringLiteral("Select &All")},
        {QStringLiteral("UnSelect"), QStringLiteral("&UnSelect")},
        {QStringLiteral("Eject Drive"), QStringLiteral("&Eject Drive")},
        {QStringLiteral("Close Drive"), QStringLiteral("Clos&e Drive")},
    };
    return marked.value(caption, caption);
}

// The start panel's longest line, which must fit on one line in the panel.
const QString StartLineOne = QStringLiteral(
    "1.Insert  a CD into the drive ,it will load the disc information automatically;");
constexpr int StartLinesPixels = 13;
// From the lines' left edge (220) to 8 pixels short of the panel's right edge (680).
constexpr int StartLinesRoom = 680 - 220 - 8;

// The window's font family: Tahoma where it is installed. Elsewhere fontconfig would
// stand a wider face in for it, which wraps the start panel's lines: the first
// installed family of a list of faces of Tahoma's width in which the longest line fits,
// else the system's sans serif face.
QString InterfaceFamily() {
    static const QString chosen = [] {
        const QStringList installed = QFontDatabase::families();
        const auto fits = [](const QString& family) {
            QFont font(family);
            font.setPixelSize(StartLinesPixels);
            return QFontMetrics(font).horizontalAdvance(StartLineOne) <= StartLinesRoom;
        };
        for (const char* family : {"Tahoma", "DejaVu Sans Condensed", "Liberation Sans", "Arimo",
                                   "Nimbus Sans", "Noto Sans", "FreeSans"}) {
            const QString name = QString::fromLatin1(family);
            if (installed.contains(name) && fits(name))
                return name;
        }
        return QFontInfo(QFont(QStringLiteral("Sans Serif"))).family();
    }();
    return chosen;
}

QFont InterfaceFont(int pixels) {
    QFont font(InterfaceFamily());
    font.setPixelSize(pixels);
    return font;
}

// The largest size up to `pixels` at which `text` fits into `room` pixels in `font`'s
// family (never below 8): the last resort where no face of the list is installed.
QFont FittingFont(QFont font, const QString& text, int pixels, int room) {
    for (int size = pixels; size >= 8; --size) {
        font.setPixelSize(size);
        if (QFontMetrics(font).horizontalAdvance(text) <= room)
            break;
    }
    return font;
}

// Moves a group box's controls down, all by the same amount, where the style draws the
// title and frame over the topmost of them, and shortens a control that would then reach
// the frame's bottom: everything stays inside the group's contents rectangle.
void FitIntoGroup(QGroupBox* group) {
    group->ensurePolished();
    const QRect inside = group->contentsRect();
    const QList<QWidget*> controls = group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    int top = group->height();
    for (const QWidget* control : controls)
        top = std::min(top, control->y());
    // Two pixels clear of the frame's line, which the style draws just above the inside.
    const int down = std::max(0, inside.top() + 2 - top);
    for (QWidget* control : controls) {
        QRect place = control->geometry().translated(0, down);
        place.setBottom(std::min(place.bottom(), inside.bottom()));
        control->setGeometry(place);
    }
}

QSettings UserSettings() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Brisklane"),
                     AppTitle);
}

bool MakeFolder(const QString& folder) {
    return QDir().mkpath(folder);
}

} // namespace

// The window's pictures live in the app library's resources, which a static
// library only brings along when asked to.
static void InitAppResources() {
    Q_INIT_RESOURCE(app);
}

// ---- creation and components -------------------------------------------------------------

TfrmMain::TfrmMain() {
    setObjectName(QStringLiteral("frmMain"));
    InitAppResources();
    CreateComponents();
    // Names that screen readers say for the controls without a caption of their own.
    lvInput->setAccessibleName(QStringLiteral("Audio tracks"));
    // A combo box says its current item as its name; what it is for is its description.
    cbFormats->setAccessibleName(QStringLiteral("Format"));
    cbFormats->setAccessibleDescription(QStringLiteral("Format"));
    cbPresets->setAccessibleName(QStringLiteral("Preset"));
    cbPresets->setAccessibleDescription(QStringLiteral("Preset"));
    edtOutPath->setAccessibleName(QStringLiteral("Output folder"));
    pbProgress->setAccessibleName(QStringLiteral("Conversion progress"));
    labShowMessage->setAccessibleName(QStringLiteral("Status"));
    tbContact->setAccessibleName(QStringLiteral("Contact"));
    tbContact->setAccessibleDescription(QStringLiteral("Our site, e-mail and news"));
    // Tab leaves the list instead of walking its cells; the first key goes to the list.
    lvInput->setTabKeyNavigation(false);
    lvInput->setFocus();

    // FormCreate
    QCoreApplication::setApplicationName(AppTitle);
    caption_ = QStringLiteral("%1 %2").arg(AppTitle, VersionText);
    setWindowTitle(caption_);
    {
        QSettings settings = UserSettings();
        if (settings.status() == QSettings::NoError) {
            const QString stored =
                settings.value(QStringLiteral("Configuration/OutPath")).toString();
            if (!stored.isEmpty())
                edtOutPath->setText(stored);
            else
                edtOutPath->setText(SpecialFolderPath(0) + QStringLiteral("/") + AppTitle +
                                    QStringLiteral("/"));
        }
    }
    OutputExt = QStringLiteral(".wav");
    OutputFolder = edtOutPath->text().trimmed();
}

void TfrmMain::BindButton(QPushButton* button, QAction* action) {
    auto sync = [this, button, action] {
        button->setText(WithMnemonic(action->text()));
        SetControlEnabled(button, action->isEnabled());
    };
    sync();
    QObject::connect(action, &QAction::changed, button, sync);
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
}

void TfrmMain::SetControlEnabled(QWidget* control, bool enabled) {
    if (!enabled) {
        if (!control->isEnabled())
            return;
        if (!parkedFocus_ && focusWidget() == control)
            parkedFocus_ = control;
        control->setEnabled(false);
        if (parkedFocus_)
            parkedAt_ = focusWidget();
        return;
    }
    control->setEnabled(true);
    if (control != parkedFocus_)
        return;
    if (focusWidget() == parkedAt_ || !focusWidget())
        control->setFocus(Qt::OtherFocusReason);
    parkedFocus_ = nullptr;
    parkedAt_ = nullptr;
}

void TfrmMain::CreateComponents() {
    setFont(InterfaceFont(11));
    setFixedSize(704, 513);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(QStringLiteral(":/tonvale/tonvale.svg")));

    actEjectDrive = new QAction(QStringLiteral("Eject Drive"), this);
    actEjectDrive->setData(0);
    actSelectAll = new QAction(QStringLiteral("Select All"), this);
    actUnSelect = new QAction(QStringLiteral("UnSelect"), this);
    actBrowse = new QAction(QStringLiteral("Browse..."), this);
    actConvert = new QAction(QStringLiteral("Convert"), this);
    connect(actEjectDrive, &QAction::triggered, this, [this] { actEjectDriveExecute(); });
    connect(actSelectAll, &QAction::triggered, this, [this] { actSelectAllExecute(); });
    connect(actUnSelect, &QAction::triggered, this, [this] { actUnSelectExecute(); });
    connect(actBrowse, &QAction::triggered, this, [this] { actBrowseExecute(); });
    connect(actConvert, &QAction::triggered, this, [this] { actConvertExecute(); });

    panInput = new QWidget(this);
    panInput->setGeometry(10, 30, 682, 312);
    lvInput = new QTableWidget(0, 3, panInput);
    lvInput->setObjectName(QStringLiteral("lvInput"));
    lvInput->setGeometry(0, 0, 682, 278);
    lvInput->setHorizontalHeaderLabels(
        {QStringLiteral("Input File #"), QStringLiteral("Length"), QStringLiteral("Size(MB)")});
    lvInput->horizontalHeaderItem(2)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lvInput->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lvInput->horizontalHeader()->setHighlightSections(false);
    lvInput->setColumnWidth(0, 400);
    lvInput->setColumnWidth(1, 130);
    lvInput->setColumnWidth(2, 145);
    lvInput->verticalHeader()->hide();
    lvInput->verticalHeader()->setDefaultSectionSize(18);
    lvInput->setShowGrid(true);
    lvInput->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvInput->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvInput->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvInput->setWordWrap(false);
    connect(lvInput->model(), &QAbstractItemModel::rowsInserted, this, [this] { lvInputChange(); });
    connect(lvInput->model(), &QAbstractItemModel::rowsRemoved, this, [this] { lvInputChange(); });

    bbSelectAll = new QPushButton(panInput);
    bbSelectAll->setGeometry(0, 283, 120, 25);
    bbUnSelect = new QPushButton(panInput);
    bbUnSelect->setGeometry(144, 283, 120, 25);
    bbEjectDisc = new QPushButton(panInput);
    bbEjectDisc->setGeometry(288, 283, 120, 25);
    BindButton(bbSelectAll, actSelectAll);
    BindButton(bbUnSelect, actUnSelect);
    BindButton(bbEjectDisc, actEjectDrive);

    panBack = new QWidget(panInput);
    panBack->setObjectName(QStringLiteral("panBack"));
    panBack->setGeometry(1, 1, 680, 276);
    panBack->setAutoFillBackground(true);
    QPalette white = panBack->palette();
    white.setColor(QPalette::Window, Qt::white);
    panBack->setPalette(white);
    const QColor grey(0x80, 0x80, 0x80);
    auto greyLabel = [&](const QString& text, int left, int top, int pixels) {
        auto* label = new QLabel(text, panBack);
        // Where no face of Tahoma's width is installed, the line is set a little smaller
        // rather than wrapped.
        const int room = panBack->width() - left - 8;
        label->setFont(FittingFont(InterfaceFont(pixels), text, pixels, room));
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, grey);
        label->setPalette(p);
        const int natural = label->sizeHint().width();
        label->setWordWrap(true);
        const int width = std::min(natural, room);
        label->setGeometry(left, top, width, label->heightForWidth(width));
        return label;
    };
    labGetting = greyLabel(QStringLiteral("Getting Started"), 163, 45, 19);
    Bevel1 = new QFrame(panBack);
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);
    Bevel1->setGeometry(142, 76, 280, 2);
    labOne = greyLabel(StartLineOne, 220, 108, StartLinesPixels);
    labTwo =
        greyLabel(QStringLiteral("2.Select the output audio format and quality;"), 220, 149, 13);
    labThree =
        greyLabel(QStringLiteral("3.Click 'Convert' button to start converting."), 220, 188, 13);

    gbOutput = new QGroupBox(QStringLiteral("Select format, presets and output path"), this);
    gbOutput->setGeometry(10, 352, 682, 80);
    cbFormats = new QComboBox(gbOutput);
    cbFormats->setGeometry(10, 20, 108, 22);
    cbFormats->addItems(FormatTexts());
    cbFormats->setCurrentIndex(0);
    cbPresets = new QComboBox(gbOutput);
    cbPresets->setGeometry(146, 20, 528, 22);
    cbPresets->addItem(QStringLiteral("WAV - Normal Quality Audio"));
    cbPresets->setCurrentIndex(0);
    connect(cbFormats, &QComboBox::currentIndexChanged, this, [this] { cbFormatsClick(); });
    edtOutPath = new QLineEdit(gbOutput);
    edtOutPath->setGeometry(10, 50, 570, 21);
    edtOutPath->setReadOnly(true);
    edtOutPath->setEnabled(false);
    // The field is narrower than many paths: its tooltip shows the whole one.
    connect(edtOutPath, &QLineEdit::textChanged, edtOutPath,
            [this](const QString& text) { edtOutPath->setToolTip(text); });
    bbBrowse = new QPushButton(gbOutput);
    bbBrowse->setGeometry(584, 48, 90, 24);
    BindButton(bbBrowse, actBrowse);

    gbBurn = new QGroupBox(QStringLiteral("Convert"), this);
    gbBurn->setGeometry(10, 444, 682, 58);
    pbProgress = new QProgressBar(gbBurn);
    pbProgress->setGeometry(10, 17, 570, 12);
    pbProgress->setRange(0, 100);
    pbProgress->setValue(0);
    pbProgress->setTextVisible(false);
    labShowMessage = new QLabel(gbBurn);
    labShowMessage->setGeometry(10, 34, 570, 13);
    bbConvert = new QPushButton(gbBurn);
    bbConvert->setGeometry(584, 16, 90, 34);
    BindButton(bbConvert, actConvert);

    tbMenu = new QToolBar(this);
    tbMenu->setGeometry(655, 3, 35, 25);
    tbMenu->setMovable(false);
    tbMenu->setFloatable(false);
    tbMenu->setIconSize(QSize(18, 18));
    tbMenu->setContentsMargins(0, 0, 0, 0);
    tbMenu->layout()->setContentsMargins(0, 0, 0, 0);
    tbContact = new QToolButton(tbMenu);
    tbContact->setAutoRaise(true);
    // Reached with Tab; Space, Enter or Down opens its menu.
    tbContact->setFocusPolicy(Qt::TabFocus);
    connect(tbContact, &QToolButton::clicked, this, [this] { ShowContactMenu(true); });
    tbContact->setCursor(Qt::PointingHandCursor);
    tbContact->setIcon(QIcon(QStringLiteral(":/tonvale/tonvale.svg")));
    tbContact->setToolTip(QStringLiteral("Contact"));
    tbMenu->addWidget(tbContact);
    tbContact->installEventFilter(this);
    pmContact = new QMenu(this);
    pmOurSite = pmContact->addAction(QStringLiteral("Our Site"));
    pmEmail = pmContact->addAction(QStringLiteral("Email"));
    pmNews = pmContact->addAction(QStringLiteral("News"));
    connect(pmOurSite, &QAction::triggered, this, [this] { pmOurSiteClick(); });
    connect(pmEmail, &QAction::triggered, this, [this] { pmEmailClick(); });
    connect(pmNews, &QAction::triggered, this, [this] { pmNewsClick(); });

    FFConverter = new TFFmpegConverter(this);
    FFConverter->OnProgress = [this](int i, int f, int fps, int cur, float q, float br,
                                     int64_t size, int total) {
        FFConverterProgress(i, f, fps, cur, q, br, size, total);
    };
    FFConverter->OnTerminate = [this](int i, bool finished, bool exception,
                                      const std::string& message) {
        FFConverterTerminate(i, finished, exception, message);
    };
    // A finished file gets the disc's tags and cover before it takes its name, when the
    // background lookup has found them by then (it never holds a run up).
    FFConverter->OnOutputComplete = [this](int, const std::string& path, std::string& error) {
        return discLookup_.Tag(path, taggedKind_.load(), taggedTrack_.load(), error);
    };

    // A push button takes Enter when it has the focus; elsewhere Enter presses Convert.
    for (QPushButton* button : {bbSelectAll, bbUnSelect, bbEjectDisc, bbBrowse, bbConvert})
        button->setAutoDefault(true);
    bbConvert->setDefault(true);
    setTabOrder(lvInput, bbSelectAll);
    setTabOrder(bbSelectAll, bbUnSelect);
    setTabOrder(bbUnSelect, bbEjectDisc);
    setTabOrder(bbEjectDisc, cbFormats);
    setTabOrder(cbFormats, cbPresets);
    setTabOrder(cbPresets, bbBrowse);
    setTabOrder(bbBrowse, bbConvert);
    setTabOrder(bbConvert, tbContact);
    lvInput->installEventFilter(this);
    // The groups' frames sit where the style draws them, below their titles.
    FitIntoGroup(gbOutput);
    FitIntoGroup(gbBurn);

    // The actions' update handler runs whenever the state it reads may change.
    auto* updater = new QTimer(this);
    updater->setInterval(100);
    connect(updater, &QTimer::timeout, this, [this] {
        actSelectAllUpdate();
        ReapWorkers();
    });
    updater->start();
    actSelectAllUpdate();
}

TfrmMain::~TfrmMain() {
    // FormDestroy. A grabber still copying is asked to stop; unlike a thread
    // left running, it is then waited for, since it works on this window's session.
    closing_ = true;
    if (monitor_)
        monitor_->Stop();
    if (Grabber && !Grabber->Ended())
        Burner->CancelRequested.store(true);
    WaitForWorkers();
    // The component's end-of-run notifier may still be on its way out of
    // FFConverterTerminate, which wakes this window after setting its flag.
    TDoTerminateThread::WaitForAll(10000);
    TrackBases.clear();
    delete FFConverter;
    FFConverter = nullptr;
    DeviceFinder.reset();
}

// ---- workers -----------------------------------------------------------------------------

void TfrmMain::StartWorker(TAppWorker* worker) {
    workers_.emplace_back(worker);
    worker->Start();
}

void TfrmMain::WaitForReport(const std::function<bool()>& done) {
    // Nothing is missed between the test and the sleep: a report posts its
    // wake-up after changing what `done` reads, and a posted event that comes
    // before the sleep ends it at once.
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TfrmMain::Wake() {
    // An empty piece of work: handing it over is the wake-up (on the main thread
    // nobody is waiting while this runs).
    Post([] {});
}

void TfrmMain::ReapWorkers() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->Ended()) {
            (*it)->Join();
            if (it->get() == Grabber)
                Grabber = nullptr;
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void TfrmMain::WaitForWorkers() {
    // Workers may be waiting for the main thread (DiscMessage, boxes): the wait
    // serves it; each worker wakes it as its last act.
    WaitForReport([this] {
        ReapWorkers();
        return workers_.empty();
    });
}

int TfrmMain::RunningWorkers() const {
    return static_cast<int>(
        std::count_if(workers_.begin(), workers_.end(), [](const auto& w) { return !w->Ended(); }));
}

void TfrmMain::StartDriveSearch() {
    if (closing_)
        return;
    if (working_) {
        scanPending_ = true;
        return;
    }
    StartWorker(new TFindCDRDevice(this));
}

void TfrmMain::StartTray(bool closeTray) {
    if (!closing_)
        StartWorker(new TEjectCloseDevice(closeTray, this));
}

// ---- work handed to the main thread -----------------------------------------------------

// Workers hand their window changes over through a queue of our own, guarded
// by a plain mutex: the hand-over stays visible to the thread checker, which
// cannot see into Qt's event queue.
void TfrmMain::Post(std::function<void()> work) {
    if (OnMainThread()) {
        work();
        return;
    }
    {
        std::lock_guard guard(mailLock_);
        mail_.push_back(std::move(work));
    }
    // The wake-up is made and freed by Qt alone: no memory of this thread's
    // travels with it.
    QMetaObject::invokeMethod(this, "DrainMail", Qt::QueuedConnection);
}

void TfrmMain::PostAndWait(std::function<void()> work) {
    if (OnMainThread()) {
        work();
        return;
    }
    std::mutex doneLock;
    std::condition_variable doneSignal;
    bool done = false;
    Post([&] {
        work();
        std::lock_guard guard(doneLock);
        done = true;
        doneSignal.notify_all();
    });
    std::unique_lock lock(doneLock);
    doneSignal.wait(lock, [&] { return done; });
}

void TfrmMain::DrainMail() {
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard guard(mailLock_);
        batch.swap(mail_);
    }
    for (auto& work : batch)
        work();
}

// ---- showing and closing -----------------------------------------------------------------

void TfrmMain::showEvent(QShowEvent* e) {
    TsbMainForm::showEvent(e);
    if (!shown_) {
        shown_ = true;
        // After the window is on the screen, as the first round of its event loop.
        QMetaObject::invokeMethod(
            this, [this] { FormShow(); }, Qt::QueuedConnection);
    }
}

void TfrmMain::FormShow() {
    // What a run killed outright left behind (a run of ours in progress keeps its lock).
    if (!OutputFolder.isEmpty())
        RemoveRunLeftovers(OutputFolder);
    if (!PrepareLibraries())
        return;
    PrepareDriveLayer();
    if (!monitor_) {
        monitor_ = new TDeviceMonitor(this);
        monitor_->OnDeviceChange = [this](int code) { WMDeviceChange(code); };
        monitor_->Start();
    }
    StartDriveSearch();
}

bool TfrmMain::PrepareLibraries() {
    DiscMessage = RegisterWindowMessage(QStringLiteral("eeeeeeeefffffffffddddddddd_TONVALE"));
    if (!FFConverter->IsLoaded() &&
        !FFConverter->LoadAVLib(ProgramFolder() + QStringLiteral("Dll/"))) {
        const QString raw = QString::fromStdString(FFConverter->LastErrMsg());
        std::fprintf(stderr, "tonvale: %s\n", qUtf8Printable(raw));
        sbdlg::ShowBox({QMessageBox::Critical, AppTitle, PlainLibraryText(raw), QMessageBox::Ok});
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return false;
    }
    AudioDiscFound = false;
    DeviceFinder = std::make_unique<TsbDeviceFinder>();
    return true;
}

void TfrmMain::PrepareDriveLayer() {
    try {
        StartLibrary();
    } catch (const EsbError& e) {
        sbdlg::ShowError(e.Text());
    }
    Burner->TransportType = NeedsAspi() ? ttAspi : ttSpti;
}

bool TfrmMain::FormCloseQuery() {
    return InterfaceEnabled.load() && !working_ && !listing_;
}

void TfrmMain::closeEvent(QCloseEvent* e) {
    if (working_ && !closing_) {
        e->ignore();
        if (closeAfterRun_)
            return;
        const auto answer = sbdlg::ShowBox(
            {QMessageBox::Question, AppTitle, StopQuestion, QMessageBox::Yes | QMessageBox::No,
             QMessageBox::No}); // Enter lets the run go on: stopping it throws work away
        if (answer == QMessageBox::Yes && working_)
            StopAndClose();
        return;
    }
    if (!FormCloseQuery()) {
        e->ignore();
        return;
    }
    FormClose();
    e->accept();
}

void TfrmMain::FormClose() {
    {
        QSettings settings = UserSettings();
        if (settings.status() == QSettings::NoError) {
            settings.setValue(QStringLiteral("Configuration/OutPath"), edtOutPath->text());
            settings.sync();
        }
    }
    closing_ = true;
    if (monitor_)
        monitor_->Stop();
    // A search may still be on its way to the finder: let it end first.
    WaitForWorkers();
    DeviceFinder.reset();
    ChosenDevice = nullptr;
}

// ---- disc arrival and track listing ------------------------------------------------------

bool TfrmMain::event(QEvent* e) {
    if (DiscMessage != 0 && e->type() == DiscMessage) {
        if (closing_)
            return true;
        if (!DriveFound) {
            sbdlg::ShowError(NoDriveText.isEmpty() ? QStringLiteral("No DVD-RW drive found.")
                                                   : NoDriveText);
            // Not from inside the handler: the search worker still waits for it.
            QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        } else if (AudioDiscFound) {
            if (working_)
                scanPending_ = true; // the run owns the session: list after it
            else
                ListTracks();
        } else if (!AllDrivesEmpty) {
            sbdlg::ShowError(
                QStringLiteral("The disc format is incorrect, please insert another CD. "));
            // The tray of the drive holding that disc opens, and the button closes it.
            TrayDrive = RefusedDrive;
            SetDefaultCdDrive(TrayDrive);
            StartTray(false);
        } else if (!working_) {
            TrayDrive.clear();
        }
        return true;
    }
    return TsbMainForm::event(e);
}

// ---- drive selection: the program's argument and a later start -------------------------

void TfrmMain::SelectDrive(const QString& device) {
    {
        std::lock_guard guard(selectedLock_);
        selectedDrive_ = device;
    }
    if (DiscMessage != 0) // shown: search now; otherwise the first search takes it
        StartDriveSearch();
}

QString TfrmMain::SelectedDrive() const {
    std::lock_guard guard(selectedLock_);
    return selectedDrive_;
}

// After a search (on its worker): the selected drive replaces the first drive with an
// audio disc when it holds one; otherwise the search's own choice stands, and why is said.
static void PreferSelectedDrive(TfrmMain& w) {
    const QString device = w.SelectedDrive();
    if (device.isEmpty() || !w.DeviceFinder)
        return;
    for (int i = 0; i < w.DeviceFinder->Devices.Count(); ++i) {
        TsbDeviceItem& item = w.DeviceFinder->Devices.Items(i);
        if (!SameDrive(item.DriveLetter, device))
            continue;
        if (!item.OpenProblem.isEmpty()) {
            std::fprintf(stderr, "tonvale: %s\n", qUtf8Printable(item.OpenProblem));
        } else if (item.DiscType == DISC_TYPE_CDR) {
            w.ChosenDevice = &item;
            w.AudioDiscFound = true;
            w.AllDrivesEmpty = false;
        } else {
            std::fprintf(stderr, "tonvale: no audio disc in %s\n",
                         FileNameBytes(device).constData());
        }
        return;
    }
    std::fprintf(stderr, "tonvale: %s is not one of the drives\n",
                 FileNameBytes(device).constData());
}

// ---- end of drive selection --------------------------------------------------------------

void TfrmMain::ScanDrives() {
    DisableInterface();
    if (DeviceFinder) {
        DeviceFinder->TransportType = Burner->TransportType;
        DeviceFinder->InfoText = sbres::ScanningDevices;
        try {
            DeviceFinder->Find(false);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tonvale: drive search failed: %s\n", e.what());
        }
    }
    EnableInterface();
    ChosenDevice = nullptr;
    // A drive that could not be opened (no rights to it) is listed with its reason: it
    // counts as no drive, and its reason is what the user is told.
    NoDriveText.clear();
    int usable = 0;
    for (int i = 0; DeviceFinder && i < DeviceFinder->Devices.Count(); ++i) {
        const TsbDeviceItem& item = DeviceFinder->Devices.Items(i);
        if (item.OpenProblem.isEmpty())
            ++usable;
        else if (NoDriveText.isEmpty())
            NoDriveText = item.OpenProblem;
    }
    DriveFound = usable > 0;
    if (!DriveFound)
        return;
    AllDrivesEmpty = true;
    AudioDiscFound = false;
    RefusedDrive.clear();
    for (int i = 0; i < DeviceFinder->Devices.Count(); ++i) {
        TsbDeviceItem& item = DeviceFinder->Devices.Items(i);
        if (!item.OpenProblem.isEmpty())
            continue;
        if (item.DiscType != DISC_TYPE_NO_MEDIA && item.DiscType != DISC_TYPE_CDR && AllDrivesEmpty)
            RefusedDrive = item.DriveLetter;
        if (item.DiscType != DISC_TYPE_NO_MEDIA)
            AllDrivesEmpty = false;
        if (item.DiscType == DISC_TYPE_CDR) {
            AudioDiscFound = true;
            ChosenDevice = &item;
            break;
        }
    }
    PreferSelectedDrive(*this);
}

void TfrmMain::OpenChosenDevice() {
    const TsbDeviceItem& item = *ChosenDevice;
    Burner->Address = item.Address;
    Burner->DeviceName = item.DeviceName;
    Burner->TransportType = item.TransportType;
    Burner->DiscType = item.DiscType;
    Burner->DeviceInformation = item.DeviceInformation;
    Burner->WriteModes = {item.WriteModes[0], item.WriteModes[1], item.WriteModes[2],
                          item.WriteModes[3]};
    Burner->ReadModes = {item.ReadModes[0], item.ReadModes[1], item.ReadModes[2],
                         item.ReadModes[3], item.ReadModes[4], item.ReadModes[5]};
    Burner->OpenDevice();
}

void TfrmMain::ListTracks() {
    if (!ChosenDevice)
        return;
    listing_ = true;
    SetControlEnabled(lvInput, false);
    actSelectAllUpdate();
    try {
        OpenChosenDevice();
        TsbTrackListReader reader;
        TsbTrackList tracks;
        reader.InfoText.clear();
        reader.Read(Burner.get(), &tracks, false);
        lvInput->setRowCount(0);
        for (int i = 0; i < tracks.Count(); ++i) {
            const TsbTrack& track = tracks.Items(i);
            if (!track.TocEntry.AudioTrack)
                continue;
            const int row = lvInput->rowCount();
            lvInput->insertRow(row);
            auto* caption = new QTableWidgetItem(QStringLiteral("Track%1").arg(i + 1));
            caption->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
            caption->setCheckState(Qt::Checked);
            caption->setData(Qt::UserRole, i + 1);
            auto* length = new QTableWidgetItem(
                FormatTime(TimeFormatFor(track.TrackSizeInTime), track.TrackSizeInTime));
            length->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            auto* size = new QTableWidgetItem(SizeInMB(track.TrackSizeInBytes));
            size->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            size->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            lvInput->setItem(row, 0, caption);
            lvInput->setItem(row, 1, length);
            lvInput->setItem(row, 2, size);
        }
        panBack->hide();
        TrayDrive = ChosenDevice->DriveLetter;
        std::fprintf(stderr, "tonvale: %d audio tracks listed\n", lvInput->rowCount());
        LookUpDisc(tracks);
    } catch (const EsbError& e) {
        // The list keeps its rows; the session's text says why (in full in the log).
        std::fprintf(stderr, "tonvale: %s\n", qUtf8Printable(e.Text()));
        sbdlg::ShowError(PlainDriveText(e.Text(), false));
    }
    listing_ = false;
    // The focus comes back to the list when it had it (it has it from the start on).
    SetControlEnabled(lvInput, true);
    actSelectAllUpdate();
}

void TfrmMain::LookUpDisc(const TsbTrackList& tracks) {
    if (!TDiscLookup::Enabled() || tracks.Count() == 0 || !ChosenDevice)
        return;
    meta::TMetaToc toc;
    for (int i = 0; i < tracks.Count(); ++i) {
        const VantrellTocEntry& e = tracks.Items(i).TocEntry;
        toc.Tracks.push_back({e.TrackNumber, e.StartLba, e.AudioTrack != 0});
    }
    toc.LeadOut = tracks.Items(tracks.Count() - 1).TocEntry.EndLba;
    discLookup_.Start(toc, ChosenDevice->DriveLetter); // the device, or a virtual drive's image
}

void TfrmMain::WMDeviceChange(int eventCode) {
    if (eventCode == TDeviceMonitor::DBT_DEVICEARRIVAL) {
        StartDriveSearch();
        SetEjectState(QStringLiteral("Eject Drive"), 0);
    } else if (eventCode == TDeviceMonitor::DBT_DEVICEREMOVECOMPLETE) {
        SetEjectState(QStringLiteral("Close Drive"), 1);
        // The disc has left: its rows go, and Convert waits for the next disc. A run's
        // list stays until the run has ended; the run itself says what it lost.
        Post([this] {
            if (working_ || closing_)
                return;
            discLookup_.Clear();
            lvInput->setRowCount(0);
            panBack->show();
            actSelectAllUpdate();
        });
    }
}

// ---- eject button and status line --------------------------------------------------------

int TfrmMain::EjectTag() const {
    return actEjectDrive->data().toInt();
}

void TfrmMain::SetEjectState(const QString& caption, int tag) {
    Post([this, caption, tag] {
        actEjectDrive->setText(caption);
        actEjectDrive->setData(tag);
    });
}

void TfrmMain::SetEjectEnabled(bool enabled) {
    // A run keeps the button disabled whatever a worker asks for.
    Post([this, enabled] { actEjectDrive->setEnabled(enabled && !working_); });
}

void TfrmMain::actEjectDriveExecute() {
    SetDefaultCdDrive(TrayDrive);
    StartTray(EjectTag() != 0);
}

void TfrmMain::ShowRunPlace(int place, int count) {
    setWindowTitle(place > 0
                       ? QStringLiteral("%1 - Track %2 of %3").arg(AppTitle).arg(place).arg(count)
                       : caption_);
}

void TfrmMain::SetStatusNow(const QString& text) {
    labShowMessage->setText(text);
    emit StatusShown(text);
}

void TfrmMain::ShowStatus(const QString& text) {
    Post([this, text] { SetStatusNow(text); });
}

void TfrmMain::ShowProgress(int percent) {
    Post([this, percent] {
        // Late reports of a run that has ended do not touch the idle window.
        if (!working_)
            return;
        pbProgress->setValue(std::clamp(percent, 0, 100));
        SetStatusNow(QStringLiteral("Progress: ") + QString::number(percent, 'f', 2) +
                     QStringLiteral("%"));
    });
}

// ---- formats, list and folder ------------------------------------------------------------

void TfrmMain::cbFormatsClick() {
    const int format = std::max(0, cbFormats->currentIndex());
    cbPresets->clear();
    cbPresets->addItems(PresetItems(format));
    cbPresets->setCurrentIndex(DefaultPresetIndex(format));
    OutputExt = OutputExtFor(format);
}

void TfrmMain::actSelectAllExecute() {
    for (int row = 0; row < lvInput->rowCount(); ++row)
        lvInput->item(row, 0)->setCheckState(Qt::Checked);
}

void TfrmMain::actUnSelectExecute() {
    for (int row = 0; row < lvInput->rowCount(); ++row)
        lvInput->item(row, 0)->setCheckState(Qt::Unchecked);
}

void TfrmMain::actSelectAllUpdate() {
    const bool enabled = lvInput->isEnabled();
    actSelectAll->setEnabled(enabled);
    actUnSelect->setEnabled(enabled);
    actBrowse->setEnabled(enabled);
    actConvert->setEnabled(enabled && lvInput->rowCount() > 0);
}

void TfrmMain::lvInputChange() {
    lvInput->setColumnWidth(2, lvInput->rowCount() > 15 ? 131 : 145);
}

void TfrmMain::actBrowseExecute() {
    // The dialog opens in the output folder, or in its nearest parent that exists.
    QString folder = OutputFolder;
    while (!folder.isEmpty() && !QFileInfo(folder).isDir()) {
        const QString parent = QFileInfo(QDir::cleanPath(folder)).path();
        folder = parent == QDir::cleanPath(folder) ? QString() : parent;
    }
    if (!BrowseForFolder(QStringLiteral("Select Output Folder"), QString(), folder))
        return;
    edtOutPath->clear();
    if (IsCdRomFolder(folder))
        sbdlg::ShowBox({QMessageBox::Information, AppTitle,
                        QStringLiteral("Output folder cannot be located in CD-ROM."),
                        QMessageBox::Ok});
    else
        edtOutPath->setText(folder);
    OutputFolder = edtOutPath->text().trimmed();
}

// ---- a run -------------------------------------------------------------------------------

void TfrmMain::SetWorkState(int state) {
    const bool enabled = state != 0;
    if (!enabled) {
        working_ = true;
        DisableInterface();
    }
    for (QWidget* control : {static_cast<QWidget*>(lvInput), static_cast<QWidget*>(cbFormats),
                             static_cast<QWidget*>(cbPresets)})
        SetControlEnabled(control, enabled);
    for (QAction* action : {actSelectAll, actUnSelect, actEjectDrive, actBrowse, actConvert})
        action->setEnabled(enabled);
    pbProgress->setValue(0);
    SetStatusNow(QString());
    if (!enabled) {
        if (!OutputFolder.isEmpty())
            MakeFolder(OutputFolder);
        return;
    }
    RemoveRunFiles();
    ShowRunPlace(0, 0);
    working_ = false;
    EnableInterface();
    actSelectAllUpdate();
    // A window that closes after its run starts no search: the search would disable the
    // window and hold its close back.
    if (scanPending_ && !closeAfterRun_) {
        scanPending_ = false;
        StartDriveSearch();
    }
}

void TfrmMain::RemoveRunFiles() {
    // Only what the run made goes: its WAV files, its private folder, and the
    // Temp folder when the run created it and nothing else is in it. A folder of
    // the user's named Temp stays as it was.
    if (runFolder_.isEmpty())
        return;
    for (const TTrackBase& base : TrackBases)
        QFile::remove(base.Path + QStringLiteral(".wav"));
    if (runFolderCreated_)
        DeleteFolderTree(runFolder_, true);
    if (!tempCreated_.isEmpty()) {
        QFile::remove(tempCreated_ + QString::fromLatin1(RunTempMarker));
        QDir().rmdir(tempCreated_);
    }
    runFolder_.clear();
    tempCreated_.clear();
    runFolderCreated_ = false;
}

void TfrmMain::actConvertExecute() {
    if (working_ || listing_)
        return;
    std::vector<int> checked;
    for (int row = 0; row < lvInput->rowCount(); ++row)
        if (lvInput->item(row, 0)->checkState() == Qt::Checked)
            checked.push_back(row);
    if (checked.empty()) {
        sbdlg::ShowBox({QMessageBox::NoIcon, AppTitle,
                        QStringLiteral("Please select the files to be converted, and click "
                                       "'Convert' button to start converting."),
                        QMessageBox::Ok});
        SetWorkState(1);
        return;
    }
    if (OutputFolder.isEmpty()) {
        // Paths relative to wherever the program was started are no place for a user's files.
        sbdlg::ShowBox({QMessageBox::Information, AppTitle,
                        QStringLiteral("Please choose an output folder first."), QMessageBox::Ok});
        return;
    }
    // A folder that cannot be made or written is said before anything is read.
    if (const QString reason = PrepareOutputFolder(OutputFolder); !reason.isEmpty()) {
        std::fprintf(stderr, "tonvale: output folder %s: %s\n", qUtf8Printable(OutputFolder),
                     qUtf8Printable(reason));
        sbdlg::ShowBox({QMessageBox::Warning, AppTitle,
                        QStringLiteral("The output folder %1 cannot be used: %2. Choose another "
                                       "folder with Browse...")
                            .arg(QDir::toNativeSeparators(OutputFolder), reason),
                        QMessageBox::Ok});
        return;
    }
    // Leftovers of a killed run go first; then the run holds the folder's lock, so that
    // another window's start leaves this run's work files alone.
    RemoveRunLeftovers(OutputFolder);
    runLock_ = LockRunFolder(OutputFolder);
    StopRequested.store(false);
    SetWorkState(0);
    Burner->Lock();
    const bool locked = Burner->LastExceptionCode == 0;

    const bool wav = OutputExt == QStringLiteral(".wav");
    QString folder = OutputFolder;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    TrackBases.clear();
    runFolder_.clear();
    tempCreated_.clear();
    runFolderCreated_ = false;
    QString baseFolder = folder;
    MakeFolder(OutputFolder);
    if (!wav) {
        const QString temp = folder + QStringLiteral("Temp/");
        if (!QFileInfo(temp).isDir() && QDir().mkdir(temp)) {
            // Marked as the run's, so that a start after a killed run knows it.
            QFile marker(temp + QString::fromLatin1(RunTempMarker));
            (void)marker.open(QIODevice::WriteOnly);
            tempCreated_ = temp;
            baseFolder = temp;
        } else {
            // A Temp folder of the user's: the run's WAV files go into a folder of
            // their own inside it, so that none of the user's files is replaced.
            QByteArray pattern = FileNameBytes(temp + QStringLiteral(".tonvale-XXXXXX"));
            if (char* made = ::mkdtemp(pattern.data())) {
                baseFolder = FileNameFromBytes(made) + QLatin1Char('/');
                runFolderCreated_ = true;
            } else {
                baseFolder = temp;
            }
        }
        runFolder_ = baseFolder;
    }
    for (int row : checked) {
        const QTableWidgetItem* caption = lvInput->item(row, 0);
        TrackBases.push_back(
            {baseFolder + caption->text().trimmed(), caption->data(Qt::UserRole).toInt()});
    }

    GrabFailed.store(false);
    GrabDone.store(false);
    grabError_.clear();
    runError_.clear();
    tracksMade_ = 0;
    const QDateTime started = QDateTime::currentDateTime().addSecs(-2);
    Burner->CancelRequested.store(false);
    auto* grabber = new TRunGrabber(this);
    Grabber = grabber;
    StartWorker(grabber);
    if (!wav) {
        ConvertGrabbedTracks();
    } else {
        WaitForReport([this] { return GrabDone.load(); });
        for (const TTrackBase& base : TrackBases) {
            const QFileInfo made(base.Path + OutputExt);
            tracksMade_ += made.exists() && made.lastModified() >= started ? 1 : 0;
        }
    }
    // The drive is unlocked again once its tracks are read: a lock kept until the next
    // listing would make the eject button fail without a word.
    if (locked)
        Burner->Release();
    // Reports posted before the end signal still reach the status line.
    QCoreApplication::processEvents();
    // The run's files are cleaned up and the window is usable again before anything
    // is said about the run.
    SetWorkState(1);
    if (runLock_ >= 0)
        ::close(std::exchange(runLock_, -1));
    bbConvert->setFocus();
    if (closeAfterRun_) {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return;
    }
    if (StopRequested.load())
        return;
    if (runError_.isEmpty() && !grabError_.isEmpty())
        runError_ = PlainDriveText(grabError_, true);
    if (runError_.isEmpty()) {
        AskOpenFolder();
        return;
    }
    const int checkedCount = static_cast<int>(TrackBases.size());
    sbdlg::ShowBox({QMessageBox::Critical, AppTitle,
                    runError_ + QStringLiteral("\n\n%1 of the %2 checked tracks were made.")
                                    .arg(tracksMade_)
                                    .arg(checkedCount),
                    QMessageBox::Ok});
}

void TfrmMain::StopRun() {
    if (!working_ || StopRequested.load())
        return;
    StopRequested.store(true);
    Burner->CancelRequested.store(true);
    if (runTask_ >= 0)
        if (TFFmpeg* task = FFConverter->Tasks().Items(runTask_))
            task->StopConvert(false);
    SetStatusNow(QStringLiteral("Stopping..."));
    Wake();
}

void TfrmMain::StopAndClose() {
    if (!working_) {
        close();
        return;
    }
    closeAfterRun_ = true;
    StopRun();
}

void TfrmMain::ConvertGrabbedTracks() {
    const int format = cbFormats->currentIndex();
    const int preset = cbPresets->currentIndex();
    // The last converted WAV file. It is deleted once the next conversion runs:
    // deleting a whole track's file takes a while, and the encoder need not wait for it.
    QString converted;
    QString failure;
    const int count = static_cast<int>(TrackBases.size());
    int place = 0;
    for (const TTrackBase& base : TrackBases) {
        ShowRunPlace(++place, count);
        const QString wav = base.Path + QStringLiteral(".wav");
        // The grabber reports each copied track, and its end. A track it could not
        // copy never appears: its end stops the wait too.
        WaitForReport([&] {
            return QFileInfo::exists(wav) || GrabFailed.load() || GrabDone.load() ||
                   StopRequested.load();
        });
        WaitForReport([&] {
            return !QFileInfo::exists(wav) || !FileInUse(wav) || GrabFailed.load() ||
                   StopRequested.load();
        });
        if (!QFileInfo::exists(wav) || StopRequested.load())
            break;
        if (!FFConverter->AVProbe().LoadFile(wav)) {
            sbdlg::ShowBox({QMessageBox::NoIcon, AppTitle,
                            QString::fromStdString(FFConverter->AVProbe().LastErrMsg()),
                            QMessageBox::Ok});
            break;
        }
        ConversionFinished.store(false);
        FFConverter->ClearTasks();
        const QString output = OutputFolder + (OutputFolder.endsWith(QLatin1Char('/')) ? "" : "/") +
                               QFileInfo(wav).completeBaseName() + OutputExt;
        TInputOptions input;
        InitInputOptions(input);
        ApplyInputPreset(input, wav, OutputExt);
        const int index = FFConverter->AddTask(wav, &input);
        if (index < 0)
            break;
        TOutputOptions options;
        InitOutputOptions(options);
        ApplyOutputPreset(options, format, preset, OutputExt);
        FFConverter->SetThreadPriority(tpNormal);
        MakeFolder(OutputFolder);
        if (!FFConverter->SetOutputFile(index, output, &options))
            break;
        runTask_ = index;
        taggedTrack_.store(base.TrackNumber);
        taggedKind_.store(meta::TagKindForSuffix(QFileInfo(output).suffix()));
        FFConverter->StartConvert(1);
        if (!converted.isEmpty())
            QFile::remove(std::exchange(converted, QString()));
        WaitForReport([this] { return ConversionFinished.load(); });
        runTask_ = -1;
        FFConverter->AVProbe().Close();
        converted = wav;
        if (StopRequested.load())
            break;
        // A conversion that failed ends the run: its output is missing, and the
        // tracks after it would most likely fail for the same reason (a full disk).
        const TFFmpeg* task = FFConverter->Tasks().Items(index);
        if (task && (task->ErrorOccurred() || !task->Finished())) {
            failure = ConversionFailureText(output, task->ErrorMessage());
            break;
        }
        ++tracksMade_;
    }
    if (!converted.isEmpty())
        QFile::remove(converted);
    FFConverter->ClearTasks();
    // A loop that stopped early leaves the grabber copying tracks nobody will
    // convert: stop it before the run's files are cleaned up.
    if (!GrabDone.load())
        Burner->CancelRequested.store(true);
    WaitForReport([this] { return GrabDone.load(); });
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "tonvale: %s\n", qUtf8Printable(failure));
        runError_ = failure;
    }
}

void TfrmMain::AskOpenFolder() {
    const auto answer = sbdlg::ShowBox(
        {QMessageBox::NoIcon, AppTitle, OpenFolderQuestion, QMessageBox::Ok | QMessageBox::Cancel});
    if (answer == QMessageBox::Ok)
        sbdlg::ShellOpen(QUrl::fromLocalFile(OutputFolder));
}

void TfrmMain::GrabProgress(int64_t percent) {
    if (OutputExt == QStringLiteral(".wav"))
        ShowProgress(static_cast<int>(percent));
    else if (percent >= 100)
        Wake(); // a track's file is complete and closed: the conversion loop takes it
}

void TfrmMain::GrabTracks() {
    GrabFailed.store(false);
    Burner->CompressionLevel = CompressionLevelFor(0);
    auto action = std::make_unique<TsbGrabAction>();
    action->Tracks.Clear();
    for (const TTrackBase& base : TrackBases) {
        TsbGrabTrack& track = action->Tracks.Add();
        track.FileName = base.Path + QStringLiteral(".wav");
        track.TrackNumber = base.TrackNumber;
        track.TrackType = ttData;
    }
    Actions.Clear();
    Actions.Burner = Burner.get();
    TsbActionItem* item = Actions.Add();
    item->Action = action.get();
    if (OutputExt == QStringLiteral(".wav")) {
        // The grab is the whole run: the title follows the track being copied.
        const int count = static_cast<int>(TrackBases.size());
        action->OnMessage = [this, count, place = 0](void*, const QString& text,
                                                     TsbLogItemType) mutable {
            if (text.startsWith(QStringLiteral("Grabbing Track #")) && place < count)
                Post([this, count, now = ++place] {
                    if (working_)
                        ShowRunPlace(now, count);
                });
        };
    }
    CallBackEventer().OnProgress.Set([this](void*, int64_t percent) { GrabProgress(percent); });
    CallBackEventer().OnBuffer.Set([](void*, int64_t) {});
    CallBackEventer().OnImageStart.Set([](void*) {});
    try {
        action->Execute(item);
        // A track the drive could not copy is skipped without an exception; the
        // run must still not end as a success with a file missing.
        if (!action->Success) {
            GrabFailed.store(true);
            grabError_ = Burner->LastMessage;
        }
    } catch (const std::exception& e) {
        GrabFailed.store(true);
        grabError_ = QString::fromUtf8(e.what());
    }
    if (!grabError_.isEmpty())
        std::fprintf(stderr, "tonvale: %s\n", qUtf8Printable(grabError_));
    CallBackEventer().GrabActive.store(false);
    CallBackEventer().OnProgress.Clear();
    CallBackEventer().OnBuffer.Clear();
    CallBackEventer().OnImageStart.Clear();
    GrabProgress(100);
    Actions.Burner = nullptr;
    Actions.Clear();
    // grabError_ is read by the main thread once it has seen GrabDone.
    GrabDone.store(true);
    Wake();
    action.reset();
}

// ---- conversion events -------------------------------------------------------------------

void TfrmMain::FFConverterProgress(int, int, int, int ACurrentDuration, float, float, int64_t,
                                   int ATotalOutputDuration) {
    if (ATotalOutputDuration <= 0)
        return;
    // 32-bit arithmetic as the engine reports it; the product overflows only
    // past 248 days of audio.
    const int percent =
        static_cast<int>(static_cast<int64_t>(ACurrentDuration) * 100 / ATotalOutputDuration);
    ShowProgress(percent);
}

void TfrmMain::FFConverterTerminate(int AIndex, bool, bool AException,
                                    const std::string& AMessage) {
    if (AIndex == -1) {
        ConversionFinished.store(true);
        Wake();
        return;
    }
    // The run's loop reads the task's result and says a failure once, in plain words;
    // the engine's own text goes to the log.
    if (AException)
        std::fprintf(stderr, "tonvale: conversion %d: %s\n", AIndex, AMessage.c_str());
}

// ---- contact menu ------------------------------------------------------------------------

void TfrmMain::tbContactMouseDown(Qt::MouseButton button) {
    if (button == Qt::LeftButton)
        ShowContactMenu(false);
}

void TfrmMain::ShowContactMenu(bool fromKeyboard) {
    const QPoint at(tbMenu->x() + tbContact->x(), tbContact->y() + tbContact->height());
    pmContact->popup(mapToGlobal(at));
    if (fromKeyboard)
        pmContact->setActiveAction(pmOurSite);
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* e) {
    if (watched == tbContact && e->type() == QEvent::MouseButtonPress) {
        tbContactMouseDown(static_cast<QMouseEvent*>(e)->button());
        return true;
    }
    if (e->type() != QEvent::KeyPress)
        return TsbMainForm::eventFilter(watched, e);
    const auto* key = static_cast<QKeyEvent*>(e);
    const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (watched == tbContact && plain &&
        (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
         key->key() == Qt::Key_Down)) {
        ShowContactMenu(true);
        return true;
    }
    // Space toggles the current row's box, whichever of its cells is current.
    if (watched == lvInput && plain && key->key() == Qt::Key_Space) {
        if (QTableWidgetItem* box = lvInput->item(lvInput->currentRow(), 0))
            box->setCheckState(box->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        return true;
    }
    return TsbMainForm::eventFilter(watched, e);
}

void TfrmMain::keyPressEvent(QKeyEvent* e) {
    // Convert is the default button: Enter where no control takes it presses it.
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) &&
        (e->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (actConvert->isEnabled())
            actConvert->trigger();
        e->accept();
        return;
    }
    TsbMainForm::keyPressEvent(e);
}

void TfrmMain::pmOurSiteClick() {
    sbdlg::ShellOpen(QUrl(OurSiteAddress.toLower()));
}

void TfrmMain::pmEmailClick() {
    QUrl mail(QStringLiteral("mailto:") + SupportEmail);
    mail.setQuery(QStringLiteral("subject=") + caption_ + QStringLiteral("&Body=") +
                  QStringLiteral("Welcome you for using this software!"));
    sbdlg::ShellOpen(mail);
}

void TfrmMain::pmNewsClick() {
    sbdlg::ShellOpen(QUrl(ProductPageAddress.toLower()));
}

// ---- stop signals ------------------------------------------------------------------------

namespace {
int stopPipe[2] = {-1, -1};
QPointer<TfrmMain> stopTarget;
QSocketNotifier* stopNotifier = nullptr;

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a stop that is not read yet.
    (void)!::write(stopPipe[1], &byte, 1);
    errno = saved;
}
} // namespace

void InstallStopSignals(TfrmMain* window) {
    static constexpr int Signals[] = {SIGTERM, SIGINT, SIGHUP};
    stopTarget = window;
    if (!window) {
        for (int sig : Signals)
            std::signal(sig, SIG_DFL);
        return;
    }
    if (stopPipe[0] < 0) {
        if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        stopNotifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, qApp);
        QObject::connect(stopNotifier, &QSocketNotifier::activated, qApp, [] {
            char bytes[16];
            while (::read(stopPipe[0], bytes, sizeof bytes) > 0) {
            }
            std::fprintf(stderr, "tonvale: stop signal\n");
            if (stopTarget)
                stopTarget->StopAndClose();
        });
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : Signals)
        ::sigaction(sig, &action, nullptr);
}
