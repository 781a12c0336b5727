#include "FFmpegLogger.h"

#include "FFmpegStubs.h"

#include <QCoreApplication>
#include <QThread>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

const char* const kLevelNames[] = {"quiet",   "panic", "fatal",   "error",
                                   "warning", "info",  "verbose", "debug"};

std::atomic<int> filterLevel{32};
std::atomic<TFFLogger*> instance{nullptr};
std::mutex instanceMutex;
// Serialises delivery so that each handler call carries one message's values.
std::mutex deliveryMutex;

// Per-thread pending text: the part of a line received so far. One record per
// thread that ever logged; records live until the process ends.
struct TLogItem {
    uint32_t ThreadID = 0;
    std::string pending;
    std::unique_ptr<TLogItem> next;
};

class TLogList {
public:
    TLogItem& Lookup(uint32_t tid) {
        std::lock_guard lock(mutex_);
        if (first_.ThreadID == 0 || first_.ThreadID == tid) {
            first_.ThreadID = tid;
            return first_;
        }
        for (TLogItem* item = first_.next.get(); item; item = item->next.get())
            if (item->ThreadID == tid)
                return *item;
        auto item = std::make_unique<TLogItem>();
        item->ThreadID = tid;
        item->next = std::move(first_.next);
        first_.next = std::move(item);
        return *first_.next;
    }

private:
    std::mutex mutex_;
    TLogItem first_;
};

TLogList& LogList() {
    static TLogList list;
    return list;
}

constexpr size_t kLineBufferSize = 2048;

} // namespace

int LogLevelToAV(TLogLevel level) {
    return (static_cast<int>(level) - 1) * 8;
}

TLogLevel AVLevelToLogLevel(int avLevel) {
    return static_cast<TLogLevel>(std::clamp(avLevel / 8 + 1, 0, 7));
}

const char* LogLevelName(TLogLevel level) {
    return kLevelNames[std::clamp(static_cast<int>(level), 0, 7)];
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

TFFLogger::TFFLogger(QObject* parent)
    : QObject(parent), logLevel_(AVLevelToLogLevel(filterLevel.load())) {
    std::lock_guard lock(instanceMutex);
    TFFLogger* expected = nullptr;
    if (!instance.compare_exchange_strong(expected, this))
        throw std::logic_error("Allow creating only one instance of TFFLogger.");
}

TFFLogger::~TFFLogger() {
    TFFLogger* self = this;
    instance.compare_exchange_strong(self, nullptr);
}

TLogLevel TFFLogger::LogLevel() const {
    return logLevel_.load();
}

void TFFLogger::SetLogLevel(TLogLevel level) {
    logLevel_ = level;
    if (AVUtilStubs.av_log_set_level) {
        filterLevel = LogLevelToAV(level);
        AVUtilStubs.av_log_set_level(LogLevelToAV(level));
    }
}

void TFFLogger::SetLogLevelByName(const std::string& text) {
    int value = 0;
    bool named = false;
    for (int i = 0; i < 8; ++i) {
        if (strcasecmp(text.c_str(), kLevelNames[i]) == 0) {
            value = LogLevelToAV(static_cast<TLogLevel>(i));
            named = true;
            break;
        }
    }
    if (!named) {
        size_t used = 0;
        try {
            value = std::stoi(text, &used, 10);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != text.size())
            throw std::invalid_argument("'" + text + "' is not a valid integer value");
    }
    SetLogLevel(AVLevelToLogLevel(value));
}

void TFFLogger::InstallLogCallback() {
    Q_ASSERT(AVUtilStubs.av_log_set_callback);
    if (AVUtilStubs.av_log_set_callback)
        AVUtilStubs.av_log_set_callback(&TFFLogger::LibraryLogCallback);
}

void TFFLogger::LibraryUnbound() {
    filterLevel = 32;
}

int TFFLogger::FilterLevel() {
    return filterLevel.load();
}

void TFFLogger::LibraryLogCallback(void* context, int level, const char* format, va_list args) {
    if (level > filterLevel.load())
        return;
    const AVClass* avClass = context ? *static_cast<AVClass**>(context) : nullptr;
    const uint32_t tid = CurrentThreadId();
    TLogItem& item = LogList().Lookup(tid); // only this thread touches its item

    // The line so far: the prefix when a line begins, else what this thread
    // sent before without a line feed.
    std::string text;
    if (avClass && item.pending.empty()) {
        const char* name = avClass->item_name ? avClass->item_name(context) : "";
        char prefix[kLineBufferSize];
        const int n = std::snprintf(prefix, sizeof prefix, "[%s @ %p]", name ? name : "", context);
        text.assign(prefix, n > 0 ? std::min(static_cast<size_t>(n), sizeof prefix - 1) : 0);
    } else {
        text = std::move(item.pending);
    }
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length > 0) {
        const size_t at = text.size();
        text.resize(at + static_cast<size_t>(length) + 1);
        va_copy(copy, args);
        std::vsnprintf(text.data() + at, static_cast<size_t>(length) + 1, format, copy);
        va_end(copy);
        text.resize(at + static_cast<size_t>(length));
    }
    // Lines are cut to the line buffer's size; the cut never loses a line feed,
    // so the following line still starts on its own.
    auto cut = [](std::string line) {
        if (line.size() > kLineBufferSize - 1)
            line.resize(kLineBufferSize - 1);
        return line;
    };
    size_t lf;
    while ((lf = text.find('\n')) != std::string::npos) {
        const std::string line = cut(text.substr(0, lf));
        text.erase(0, lf + 1);
        FFLogger().LogLibraryLine(tid, level, line);
    }
    text = cut(std::move(text));
    item.pending = std::move(text);
}

void TFFLogger::LogLibraryLine(uint32_t threadId, int avLevel, const std::string& text) {
    if (OnLog)
        Deliver(this, threadId, AVLevelToLogLevel(avLevel), text);
}

void TFFLogger::Log(const void* sender, TLogLevel level, const std::string& text) {
    if (!OnLog)
        return;
    const TLogLevel current = logLevel_.load();
    if (level <= current || (level == llVerbose && current != llQuiet))
        Deliver(sender, CurrentThreadId(), level, text);
}

void TFFLogger::Deliver(const void* sender, uint32_t threadId, TLogLevel level,
                        const std::string& text) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        DeliverHere(sender, threadId, level, text);
        return;
    }
    // Hand the values and the call to the main thread as one unit and wait.
    QMetaObject::invokeMethod(
        app, [this, sender, threadId, level, &text] { DeliverHere(sender, threadId, level, text); },
        Qt::BlockingQueuedConnection);
}

void TFFLogger::DeliverHere(const void* sender, uint32_t threadId, TLogLevel level,
                            const std::string& text) {
    struct TLine {
        const void* sender;
        uint32_t threadId;
        TLogLevel level;
        std::string text;
    };
    // Lines logged while this thread's handler runs wait here for it to return.
    thread_local bool delivering = false;
    thread_local std::deque<TLine> nested;
    if (delivering) {
        nested.push_back({sender, threadId, level, text});
        return;
    }
    std::lock_guard lock(deliveryMutex);
    delivering = true;
    struct TReset {
        ~TReset() {
            delivering = false;
            nested.clear();
        }
    } reset;
    if (OnLog)
        OnLog(sender, threadId, level, text);
    while (!nested.empty()) {
        const TLine line = std::move(nested.front());
        nested.pop_front();
        if (OnLog)
            OnLog(line.sender, line.threadId, line.level, line.text);
    }
}

TFFLogger& FFLogger() {
    if (TFFLogger* logger = instance.load())
        return *logger;
    static std::mutex creation;
    std::lock_guard lock(creation);
    if (TFFLogger* logger = instance.load())
        return *logger;
    return *new TFFLogger(); // registers itself; lives until the process ends
}
