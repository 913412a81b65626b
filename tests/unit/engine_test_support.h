// Shared pieces of the engine tests: fresh codec states, test speech, a
// recorder for the user-interface table, and a socket pair standing in for
// the sound device.
#pragma once

#include "audio/codec_states.h"
#include "audio/engine_state.h"
#include "audio/media_packet.h"
#include "audio/ulaw.h"
#include "core/ui_ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

struct FreshCodecs {
    EncoderState enc;
    DecoderState dec;
    FreshCodecs()
    {
        initEncoderState(enc);
        initDecoderState(dec);
    }
    ~FreshCodecs()
    {
        freeEncoderState(enc);
        freeDecoderState(dec);
    }
};

// 16-bit speech-like samples: two tones under a slow envelope.
inline std::vector<int16_t> speechLike(int n, double seed = 0)
{
    std::vector<int16_t> s(n);
    for (int i = 0; i < n; ++i) {
        const double t = (i + seed * 1000) / 8000.0;
        const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 3 * t);
        s[i] = static_cast<int16_t>(env * (9000 * std::sin(2 * M_PI * 220 * t) + 4000 * std::sin(2 * M_PI * 1330 * t)));
    }
    return s;
}

inline std::vector<unsigned char> ulawOf(const std::vector<int16_t> &s)
{
    std::vector<unsigned char> u(s.size());
    for (size_t i = 0; i < s.size(); ++i)
        u[i] = linearToUlaw(s[i]);
    return u;
}

// Puts the first n u-law samples into a packet as its payload.
inline void loadPayload(unsigned char *packet, const std::vector<unsigned char> &u, int n, uint32_t codec = 0)
{
    std::memcpy(packet + kPacketHeaderSize, u.data(), static_cast<size_t>(n));
    setPacketPayloadLength(packet, n);
    setPacketCodec(packet, codec);
}

// Records what the core asked the user interface to show.
class UiRecorder {
public:
    UiRecorder()
    {
        instance() = this;
        KvUiOps ops{};
        ops.messageBox = [](const char *title, const char *text) {
            std::lock_guard lock(instance()->mutex);
            instance()->messages.push_back(std::string(title) + "|" + text);
        };
        ops.showProgressBar = [] { ++instance()->shows; };
        ops.hideProgressBar = [] { ++instance()->hides; };
        kvSetUiOps(ops);
    }
    ~UiRecorder()
    {
        kvSetUiOps(KvUiOps{});
        instance() = nullptr;
    }
    std::mutex mutex;
    std::vector<std::string> messages;
    std::atomic<int> shows{0};
    std::atomic<int> hides{0};

private:
    static UiRecorder *&instance()
    {
        static UiRecorder *p = nullptr;
        return p;
    }
};

// A socket pair as the sound device: the engine holds one end as `handle`,
// the test reads what was "played" and writes what is "captured" on the other.
struct FakeDevice {
    int engineEnd = -1;
    int testEnd = -1;
    FakeDevice()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            engineEnd = fds[0];
            testEnd = fds[1];
            // Room for several seconds of sound without blocking the writer.
            int size = 1 << 20;
            setsockopt(engineEnd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            setsockopt(testEnd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        handle = engineEnd;
    }
    ~FakeDevice()
    {
        handle = -1;
        close(engineEnd);
        close(testEnd);
    }
    // Everything written to the device so far.
    std::vector<unsigned char> drain() const
    {
        std::vector<unsigned char> out;
        unsigned char buf[65536];
        for (;;) {
            const ssize_t n = recv(testEnd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
};

// Restores the codec selection a test changed; `only` selects one codec
// (none for uncompressed u-law) on fresh process-wide codec states.
struct CodecSelection {
    int gsm = gsmcompress, ld = ldgsmcompress, adpcm = adpcmcompress, lpc = lpc10compress;
    ~CodecSelection()
    {
        gsmcompress = gsm;
        ldgsmcompress = ld;
        adpcmcompress = adpcm;
        lpc10compress = lpc;
    }
    static void only(std::atomic<int> *flag)
    {
        releaseCodecStates();
        createCodecStates();
        sendCodec.adpcm = {};
        gsmcompress = 0;
        ldgsmcompress = 0;
        adpcmcompress = 0;
        lpc10compress = 0;
        if (flag)
            *flag = 1;
    }
};

struct TempDir {
    std::filesystem::path path;
    TempDir()
    {
        char tmpl[] = "/tmp/kvtestXXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string operator/(const char *name) const { return (path / name).string(); }
};
