#include "audio/alsa_device.h"

#include "audio/engine_state.h"

#include <alsa/asoundlib.h>
#include <atomic>
#include <cstdio>

namespace {

snd_pcm_t *capture;
snd_pcm_t *playback;

// Like the OSS set-up: 4 fragments of 4096 bytes, i.e. 2048 16-bit frames.
constexpr snd_pcm_uframes_t kPeriodFrames = 2048;
constexpr snd_pcm_uframes_t kBufferFrames = 4 * kPeriodFrames;

std::atomic<bool> overrunReported{false};
std::atomic<bool> underrunReported{false};

void report(const char *what, int err)
{
    fprintf(stderr, "%s: %s\n", what, snd_strerror(err));
}

bool configure(snd_pcm_t *pcm, const char *direction)
{
    snd_pcm_hw_params_t *hw;
    snd_pcm_hw_params_alloca(&hw);
    int err = snd_pcm_hw_params_any(pcm, hw);
    unsigned int rate = static_cast<unsigned int>(samplesPerSecond);
    snd_pcm_uframes_t period = kPeriodFrames;
    snd_pcm_uframes_t buffer = kBufferFrames;
    if (err >= 0)
        err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (err >= 0)
        err = snd_pcm_hw_params_set_format(pcm, hw, bitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE);
    if (err >= 0)
        err = snd_pcm_hw_params_set_channels(pcm, hw, 1);
    if (err >= 0)
        err = snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr);
    if (err >= 0)
        snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
    if (err >= 0)
        snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if (err >= 0)
        err = snd_pcm_hw_params(pcm, hw);
    if (err < 0) {
        char label[64];
        snprintf(label, sizeof label, "ALSA %s set-up", direction);
        report(label, err);
        return false;
    }
    if (rate < 7950 || rate > 8050) {
        fprintf(stderr, "ALSA %s: 8khz sampling not supported (rate %u)\n", direction, rate);
        return false;
    }
    return true;
}

// ALSA's library prints its own diagnostics for every configuration step it
// tries; the program reports the outcome in one line instead.
void quietAlsa(const char *, int, const char *, int, const char *, ...) {}

void closeBoth()
{
    if (capture)
        snd_pcm_close(capture);
    if (playback)
        snd_pcm_close(playback);
    capture = nullptr;
    playback = nullptr;
}

} // namespace

bool alsaOpen()
{
    snd_lib_error_set_handler(quietAlsa);
    int err = snd_pcm_open(&capture, "default", SND_PCM_STREAM_CAPTURE, 0);
    if (err < 0) {
        capture = nullptr;
        report("open ALSA default capture", err);
        return false;
    }
    err = snd_pcm_open(&playback, "default", SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        playback = nullptr;
        report("open ALSA default playback", err);
        closeBoth();
        return false;
    }
    if (!configure(capture, "capture") || !configure(playback, "playback")) {
        closeBoth();
        return false;
    }
    printf("No /dev/dsp: using ALSA's default device for sound\n");
    return true;
}

bool alsaIsOpen()
{
    return capture && playback;
}

ssize_t alsaRead(void *buf, size_t len)
{
    if (!capture)
        return -1;
    const size_t frameBytes = static_cast<size_t>(bitsPerSample / 8);
    auto *p = static_cast<unsigned char *>(buf);
    size_t frames = len / frameBytes;
    size_t done = 0;
    while (done < frames) {
        const snd_pcm_sframes_t n = snd_pcm_readi(capture, p + done * frameBytes, frames - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == -EPIPE && !overrunReported.exchange(true))
            fprintf(stderr, "ALSA capture overrun: recovering (reported once)\n");
        if (snd_pcm_recover(capture, static_cast<int>(n), 1) < 0) {
            report("ALSA capture", static_cast<int>(n));
            return done > 0 ? static_cast<ssize_t>(done * frameBytes) : -1;
        }
    }
    return static_cast<ssize_t>(done * frameBytes);
}

long alsaOutputSpace()
{
    if (!playback)
        return -1;
    const snd_pcm_sframes_t avail = snd_pcm_avail(playback);
    if (avail < 0)
        return -1;
    return static_cast<long>(avail) * (bitsPerSample / 8);
}

ssize_t alsaWrite(const void *buf, size_t len)
{
    if (!playback)
        return -1;
    const size_t frameBytes = static_cast<size_t>(bitsPerSample / 8);
    const auto *p = static_cast<const unsigned char *>(buf);
    const size_t frames = len / frameBytes;
    size_t done = 0;
    while (done < frames) {
        const snd_pcm_sframes_t n = snd_pcm_writei(playback, p + done * frameBytes, frames - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == -EPIPE && !underrunReported.exchange(true))
            fprintf(stderr, "ALSA playback underrun: recovering (reported once)\n");
        if (snd_pcm_recover(playback, static_cast<int>(n), 1) < 0) {
            report("ALSA playback", static_cast<int>(n));
            return done > 0 ? static_cast<ssize_t>(done * frameBytes) : -1;
        }
    }
    return static_cast<ssize_t>(done * frameBytes);
}

int alsaClose()
{
    if (!alsaIsOpen())
        return -1;
    snd_pcm_drain(playback);
    closeBoth();
    return 1;
}
