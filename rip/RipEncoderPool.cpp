#include "RipEncoderPool.h"

#include <algorithm>

namespace rip {

struct TEncoderPool::TState {
    size_t Job = 0;
    std::atomic<bool> Done{false};
    std::atomic<bool> Encoded{false}; // the file is complete, its tags wait for the album
    std::atomic<int> CurrentMs{0};
    std::mutex Lock;
    bool Failed = false;  // guarded by Lock
    bool Stopped = false; // guarded by Lock
    std::string Message;  // guarded by Lock
};

TEncoderPool::TEncoderPool(int size, int preset, TRipMailbox& mailbox,
                           std::shared_ptr<TAlbumGate> albumGate)
    : Size_(std::max(1, size)), Preset_(preset), Mailbox_(mailbox),
      AlbumGate_(std::move(albumGate)) {}

TEncoderPool::~TEncoderPool() {
    Stop();
    Running_.clear(); // a converter destroyed during its run stops and waits for it
}

void TEncoderPool::Add(TWork work) {
    Waiting_.push_back(std::move(work));
}

QString TEncoderPool::StartOne(TWork& work, TRunning& running) {
    running.State = std::make_shared<TState>();
    running.State->Job = work.Job;
    running.Converter = std::make_unique<TFFmpegConverter>();
    TFFmpegConverter& converter = *running.Converter;
    converter.SetProgressInterval(250);
    const std::shared_ptr<TState> state = running.State;
    TRipMailbox* mailbox = &Mailbox_;
    converter.OnProgress = [state, mailbox](int, int, int, int currentMs, float, float, int64_t,
                                            int) {
        state->CurrentMs.store(currentMs);
        mailbox->Wake();
    };
    converter.OnTerminate = [state, mailbox](int taskIndex, bool finished, bool exception,
                                             const std::string& message) {
        if (taskIndex < 0) {
            state->Done.store(true);
            mailbox->PostEncoded(state->Job);
            return;
        }
        std::lock_guard lock(state->Lock);
        if (exception) {
            state->Failed = true;
            state->Message = message;
        } else if (!finished) {
            state->Stopped = true;
        }
    };
    if (work.Tagging)
        converter.OnOutputComplete = [tagging = work.Tagging, number = work.Number,
                                      gate = AlbumGate_, gain = work.Gain, state,
                                      mailbox](int, const std::string& path, std::string& error) {
            TGainValues album;
            if (gate) {
                state->Encoded.store(true);
                mailbox->Wake();        // its place in the pool is free
                if (!gate->Wait(album)) // a stop: the file is kept with the track's values
                    album = {};
            }
            return TagTrackFile(tagging->Meta, tagging->Cover, tagging->Kind, number, path, error,
                                gate ? TagGain(gain, album) : meta::TReplayGain{},
                                tagging->CueSheet);
        };
    TInputOptions in;
    TOutputOptions out;
    InitInputOptions(in);
    InitOutputOptions(out);
    ApplyRipSettings(in, out, work.Format, Preset_, work.Tags, work.Deemphasis);
    const int task = converter.AddTask(work.Wav->Name(), &in);
    if (task < 0 || !converter.SetOutputFile(task, work.Output, &out))
        return QString::fromStdString(converter.LastErrMsg());
    running.Work = std::move(work);
    converter.StartConvert(1);
    return {};
}

void TEncoderPool::Fill(const std::function<void(size_t, const QString&)>& started) {
    auto busy = [this] {
        return std::count_if(Running_.begin(), Running_.end(),
                             [](const auto& r) { return !r->State->Encoded.load(); });
    };
    while (!Waiting_.empty() && busy() < Size_) {
        const auto longest =
            std::max_element(Waiting_.begin(), Waiting_.end(),
                             [](const TWork& a, const TWork& b) { return a.Samples < b.Samples; });
        TWork work = std::move(*longest);
        Waiting_.erase(longest);
        auto running = std::make_unique<TRunning>();
        const size_t job = work.Job;
        const QString error = StartOne(work, *running);
        if (error.isEmpty())
            Running_.push_back(std::move(running));
        started(job, error); // a work that could not start drops its file here
    }
}

std::vector<TEncoderPool::TEnd> TEncoderPool::Collect() {
    std::vector<TEnd> ends;
    for (auto it = Running_.begin(); it != Running_.end();) {
        TRunning& running = **it;
        if (!running.State->Done.load()) {
            ++it;
            continue;
        }
        running.Converter.reset();
        TEnd end;
        end.Job = running.Work.Job;
        {
            std::lock_guard lock(running.State->Lock);
            end.Error = QString::fromStdString(running.State->Message);
            end.Ok = !running.State->Failed && !running.State->Stopped;
            end.Stopped = running.State->Stopped && !running.State->Failed;
        }
        ends.push_back(std::move(end));
        it = Running_.erase(it); // removes the WAV file
    }
    return ends;
}

void TEncoderPool::Progress(const std::function<void(size_t, int)>& report) const {
    for (const auto& running : Running_) {
        if (running->State->Done.load())
            continue;
        const int64_t totalMs = running->Work.Samples * 10 / 441;
        const int64_t percent = totalMs > 0 ? running->State->CurrentMs.load() * 100 / totalMs : 0;
        report(running->Work.Job, static_cast<int>(std::clamp<int64_t>(percent, 0, 99)));
    }
}

void TEncoderPool::Stop() {
    Waiting_.clear();
    if (AlbumGate_)
        AlbumGate_->Cancel();
    for (auto& running : Running_)
        if (running->Converter && !running->State->Done.load())
            running->Converter->ClearTasks();
}

} // namespace rip
