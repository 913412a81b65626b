#include "audio/call_controller.h"

#include "audio/call_status.h"
#include "audio/send.h"
#include "audio/voice_file.h"
#include "core/ui_ops.h"
#include "directory/address.h"
#include "core/util.h"

#include <condition_variable>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

struct Worker {
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
};

std::mutex mutex;
std::condition_variable changed;
// Every worker not yet joined. Finished ones are joined when the next one
// starts, so at most a few wait here between calls.
std::list<std::shared_ptr<Worker>> workers;
std::shared_ptr<Worker> transmitter; // the current transmission, if any
std::shared_ptr<Worker> fileWorker;  // the running player or recorder, if any
const Worker *captureOwner = nullptr; // transmitter or recorder using the capture side
bool playing = false;
bool recording = false;
bool closing = false;

// Called with the mutex held.
void updateState()
{
    const bool transmitting = transmitter != nullptr || (captureOwner && !recording);
    machineState = recording ? kStateRecording : playing ? kStatePlaying : transmitting ? kStateTransmitting : kStateIdle;
}

void reapFinished()
{
    for (auto it = workers.begin(); it != workers.end();) {
        if ((*it)->done) {
            if ((*it)->thread.joinable())
                (*it)->thread.join();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
}

// Starts body on a new worker; the mutex is held. Null if no thread starts.
template <typename Body>
std::shared_ptr<Worker> launch(Body body)
{
    reapFinished();
    auto worker = std::make_shared<Worker>();
    try {
        worker->thread = std::thread([worker, body]() mutable {
            body(*worker);
            // Said before done is set: a thread that joins finished workers
            // holds the mutex, which the status query needs.
            kvNotifyStatus();
            {
                std::lock_guard lock(mutex);
                worker->done = true;
            }
            changed.notify_all();
        });
    } catch (const std::system_error &) {
        return nullptr;
    }
    workers.push_back(worker);
    return worker;
}

void transmissionBody(Worker &self, uint32_t peer, SpeechCodec codec)
{
    {
        // The superseded transmission ends after its block; wait for it to
        // let go of the capture side and of sendAudioBuffer.
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return captureOwner == nullptr || self.stop || closing; });
        if (self.stop || closing) {
            if (transmitter.get() == &self) {
                transmitter.reset();
                exitSendAudio = 1;
                updateState();
            }
            return;
        }
        captureOwner = &self;
    }
    sendAudio(peer, codec, self.stop);
    {
        std::lock_guard lock(mutex);
        captureOwner = nullptr;
        if (transmitter.get() == &self) {
            transmitter.reset();
            exitSendAudio = 1;
            callStatusTransmissionEnded();
        }
        updateState();
    }
    changed.notify_all();
}

struct CallRequest {
    std::string host;
    std::string name;
    KvDoneFn done;
    void *data;
    KvResult result = KvResult::Failed;
};

void deliverCallResult(void *p)
{
    std::unique_ptr<CallRequest> request(static_cast<CallRequest *>(p));
    if (request->done)
        request->done(request->result, request->data);
}

} // namespace

KvResult startTransmission(uint32_t peer)
{
    {
        std::lock_guard lock(mutex);
        if (closing)
            return KvResult::Closing;
        if (recording)
            return KvResult::Busy;
        const SpeechCodec codec = selectedCodec();
        auto worker = launch([peer, codec](Worker &self) { transmissionBody(self, peer, codec); });
        if (!worker) {
            printf("Unable to create audio transmitting thread\n");
            return KvResult::Failed;
        }
        if (transmitter)
            transmitter->stop = true;
        transmitter = worker;
        exitSendAudio = 0;
        updateState();
    }
    changed.notify_all();
    kvNotifyStatus();
    return KvResult::Ok;
}

void newConnection(const char *name)
{
    startTransmissionTo(name ? name : "", nullptr, nullptr);
}

KvResult startTransmissionTo(const std::string &host, KvDoneFn done, void *data, const std::string &name)
{
    auto *request = new CallRequest{host, name.empty() ? host : name, done, data};
    const KvResult started = startBackgroundJob(
        [](void *p) {
            auto *r = static_cast<CallRequest *>(p);
            const uint32_t address = GetAddr(r->host.c_str());
            if (address == 0) {
                printf("%s is not a valid IP address\n", r->host.c_str());
                r->result = KvResult::BadAddress;
            } else {
                r->result = startTransmission(address);
                if (r->result == KvResult::Ok) {
                    callStatusDialed(r->name, address);
                    kvNotifyStatus();
                }
                if (r->result == KvResult::Busy)
                    printf("Recording a voice file: not sending to host %s\n", r->host.c_str());
            }
            kvRunOnGui(deliverCallResult, r);
        },
        request);
    if (started != KvResult::Ok) {
        delete request;
        return started;
    }
    return KvResult::Pending;
}

KvResult startBackgroundJob(void (*job)(void *), void *data)
{
    std::lock_guard lock(mutex);
    if (closing)
        return KvResult::Closing;
    return launch([job, data](Worker &) { job(data); }) ? KvResult::Ok : KvResult::Failed;
}

bool muteTransmission()
{
    std::lock_guard lock(mutex);
    if (!transmitter || transmitter->stop)
        return false;
    transmitter->stop = true;
    exitSendAudio = 1;
    return true;
}

KvResult startFilePlayback(const std::string &path)
{
    {
        std::lock_guard lock(mutex);
        if (closing)
            return KvResult::Closing;
        if (machineState != kStateIdle)
            return KvResult::Busy;
        // Cleared here, not by the thread, so a Stop pressed right after the
        // start is never lost.
        forceExitThread = 0;
        auto worker = launch([path](Worker &) {
            playAVFile(path.c_str());
            std::lock_guard lock(mutex);
            playing = false;
            fileWorker.reset();
            updateState();
        });
        if (!worker) {
            printf("Unable to create a thread to play audio\n");
            return KvResult::Failed;
        }
        fileWorker = worker;
        playing = true;
        updateState();
    }
    kvNotifyStatus();
    return KvResult::Ok;
}

KvResult startFileRecording(const std::string &path)
{
    {
        std::lock_guard lock(mutex);
        if (closing)
            return KvResult::Closing;
        if (machineState != kStateIdle || captureOwner)
            return KvResult::Busy;
        forceExitThread = 0;
        const SpeechCodec codec = selectedCodec();
        auto worker = launch([path, codec](Worker &) {
            SaveVoiceFile(path.c_str(), codec);
            std::lock_guard lock(mutex);
            recording = false;
            captureOwner = nullptr;
            fileWorker.reset();
            updateState();
        });
        if (!worker) {
            printf("Unable to create a thread to play audio\n");
            return KvResult::Failed;
        }
        fileWorker = worker;
        captureOwner = worker.get();
        recording = true;
        updateState();
    }
    kvNotifyStatus();
    return KvResult::Ok;
}

void stopFileThreads()
{
    forceExitThread = 1;
}

KvResult changeCodec(SpeechCodec codec)
{
    std::lock_guard lock(mutex);
    if (exitSendAudio == 0 || recording) {
        printf("Audio encoding busy!\n");
        return KvResult::Busy;
    }
    storeCodecSelection(codec);
    return KvResult::Ok;
}

ActivityFlags currentActivity()
{
    std::lock_guard lock(mutex);
    return {transmitter != nullptr || (captureOwner != nullptr && !recording), playing, recording};
}

void shutdownWorkers()
{
    std::list<std::shared_ptr<Worker>> toJoin;
    {
        std::lock_guard lock(mutex);
        closing = true;
        kvSetShuttingDown(true);
        for (auto &w : workers)
            w->stop = true;
        forceExitThread = 1;
        exitSendAudio = 1;
        toJoin = workers;
    }
    changed.notify_all();
    for (auto &w : toJoin)
        if (w->thread.joinable())
            w->thread.join();
    std::lock_guard lock(mutex);
    workers.clear();
    transmitter.reset();
    fileWorker.reset();
    captureOwner = nullptr;
    playing = recording = false;
    updateState();
}

void reopenWorkers()
{
    std::lock_guard lock(mutex);
    closing = false;
    kvSetShuttingDown(false);
}

int pendingWorkerCount()
{
    std::lock_guard lock(mutex);
    return static_cast<int>(workers.size());
}
