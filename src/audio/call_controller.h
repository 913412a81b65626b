// The call controller: the one place that starts, hands over and ends the
// engine's worker threads (transmissions, file playback, file recording) and
// that keeps the activity state.
//
// Rules it keeps:
// - a transmission's peer and codec are fixed when it starts;
// - a new transmission supersedes the running one, which ends after its block,
//   and takes the capture side only once the old one has let go of it;
// - a recording owns the capture side, so no transmission starts during one;
// - the codec selection changes only while no transmission or recording runs;
// - every worker is joined: finished ones when the next one starts, all of
//   them in shutdownWorkers.
#pragma once

#include "audio/engine_state.h"
#include "core/commands.h"

#include <cstdint>
#include <string>

// Starts a transmission to peer (network byte order), superseding the running
// one. Refused during a recording. Returns Ok, Busy (recording), Closing, or Failed (no thread).
KvResult startTransmission(uint32_t peer);

// Resolves host off the calling thread, then starts the transmission; done
// (may be null) is called on the GUI thread with the outcome.
// name (default: host) names the peer on the status line.
KvResult startTransmissionTo(const std::string &host, KvDoneFn done, void *data, const std::string &name = {});

// The same without a result: resolve name and call it.
void newConnection(const char *name);

// Ends the running transmission after its current block (Mute). True if one ran.
bool muteTransmission();

// Starts the file player or recorder on path; Busy unless idle.
KvResult startFilePlayback(const std::string &path);
KvResult startFileRecording(const std::string &path);
void stopFileThreads();

// Busy while a transmission runs or a recording is made; otherwise stores it.
KvResult changeCodec(SpeechCodec codec);

// Starts a joined background job (name lookups, directory connects) that
// shutdownWorkers waits for like any worker. Failed if no thread could start.
KvResult startBackgroundJob(void (*job)(void *), void *data);

struct ActivityFlags {
    bool transmitting; // a current transmission exists (or still holds capture)
    bool playing;
    bool recording;
};
ActivityFlags currentActivity();

// Raises every stop request, refuses new work and joins every worker.
void shutdownWorkers();
// Admits work again after shutdownWorkers (a new engine life, or tests).
void reopenWorkers();
// Number of worker threads not yet joined (finished or not).
int pendingWorkerCount();
