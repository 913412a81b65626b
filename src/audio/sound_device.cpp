#include "audio/sound_device.h"

#include "audio/alsa_device.h"
#include "audio/engine_state.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// 4 fragments of 2^12 = 4096 bytes: about one second of 16-bit 8 kHz sound.
constexpr int kFragmentRequest = 0x4000C;

} // namespace

int initAudioDevice(int *fd, DeviceMode mode)
{
    const int flags = mode == kDeviceFullDuplex ? O_RDWR : (mode == kDeviceReadOnly ? O_RDONLY : O_WRONLY);
    *fd = open("/dev/dsp", flags);
    if (*fd < 0) {
        perror("open /dev/dsp");
        *fd = -1;
        // Today's desktops offer sound through ALSA rather than OSS.
        if (mode == kDeviceFullDuplex && alsaOpen()) {
            *fd = kAlsaDeviceHandle;
            return 1;
        }
        return -1;
    }
    const int dev = *fd;

    if (mode == kDeviceFullDuplex) {
        if (ioctl(dev, SNDCTL_DSP_SETDUPLEX, 0) < 0) {
            perror("ioctl set duplex");
            return -1;
        }
        int caps = 0;
        if (ioctl(dev, SNDCTL_DSP_GETCAPS, &caps) < 0) {
            perror("ioctl get caps");
            return -1;
        }
        if (!(caps & DSP_CAP_DUPLEX)) {
            perror("Duplex not supported");
            return -1;
        }
    }

    int fragment = kFragmentRequest;
    if (ioctl(dev, SNDCTL_DSP_SETFRAGMENT, &fragment) < 0) {
        perror("ioctl set fragment");
        return -1;
    }
    if (fragment != kFragmentRequest)
        printf("4 fragments 4kb buffer not supported: %lx\n", static_cast<unsigned long>(fragment));

    int stereo = 0;
    if (ioctl(dev, SNDCTL_DSP_STEREO, &stereo) < 0) {
        perror("ioctl stereo");
        return -1;
    }
    if (stereo != 0) {
        perror("Mono not supported");
        return -1;
    }

    const int wanted = bitsPerSample == 8 ? AFMT_U8 : AFMT_S16_LE;
    int format = wanted;
    if (ioctl(dev, SNDCTL_DSP_SETFMT, &format) < 0) {
        perror("ioctl format");
        return -1;
    }
    if (format != wanted) {
        perror(bitsPerSample == 8 ? "8 bit unsigned samples not supported"
                                  : "16 bit signed samples not supported");
        return -1;
    }

    int rate = samplesPerSecond;
    if (ioctl(dev, SNDCTL_DSP_SPEED, &rate) < 0) {
        perror("ioctl sample rate");
        return -1;
    }
    if (rate < 7950 || rate > 8050) {
        perror("8khz sampling not supported.");
        printf("audio sampling rate = %d\n", rate);
        return -1;
    }
    return 1;
}

int closeAudioDevice(int fd)
{
    if (fd == kAlsaDeviceHandle)
        return alsaClose();
    if (ioctl(fd, SNDCTL_DSP_SYNC, 0) < 0) {
        const int err = errno;
        perror("ioctl sync");
        return err;
    }
    if (fd != -1)
        close(fd);
    return 1;
}

ssize_t audioRead(int fd, void *buf, size_t len)
{
    if (fd == kAlsaDeviceHandle)
        return alsaRead(buf, len);
    // A short read would leave stale bytes in the block, so keep reading
    // until the whole block is in.
    auto *p = static_cast<unsigned char *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = read(fd, p + got, len - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return got > 0 ? static_cast<ssize_t>(got) : -1;
        }
        if (n == 0) {
            if (got == 0) {
                errno = ENODATA; // the device went away
                return -1;
            }
            break;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

long audioOutputSpace(int fd)
{
    if (fd == kAlsaDeviceHandle)
        return alsaOutputSpace();
    audio_buf_info info{};
    if (ioctl(fd, SNDCTL_DSP_GETOSPACE, &info) < 0)
        return -1;
    return info.bytes;
}

ssize_t audioWrite(int fd, const void *buf, size_t len)
{
    if (fd == kAlsaDeviceHandle)
        return alsaWrite(buf, len);
    const auto *p = static_cast<const unsigned char *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

const char *audioDeviceName(int fd)
{
    if (fd == kAlsaDeviceHandle)
        return "ALSA default device";
    if (fd >= 0)
        return "/dev/dsp (OSS)";
    return "none";
}
