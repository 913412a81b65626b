// Shared pieces of the engine tests: fresh codec states, a recorder for the
// user-interface table, and a socket pair standing in for the sound device.
#pragma once

#include "audio/codec_states.h"
#include "audio/engine.h"
#include "core/ui_ops.h"

#include <gtest/gtest.h>

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

// Restores the codec selection a test changed.
struct CodecSelection {
    int gsm = gsmcompress, ld = ldgsmcompress, adpcm = adpcmcompress, lpc = lpc10compress;
    ~CodecSelection()
    {
        gsmcompress = gsm;
        ldgsmcompress = ld;
        adpcmcompress = adpcm;
        lpc10compress = lpc;
    }
    static void only(std::atomic<int> &flag)
    {
        gsmcompress = 0;
        ldgsmcompress = 0;
        adpcmcompress = 0;
        lpc10compress = 0;
        flag = 1;
    }
    static void none()
    {
        gsmcompress = 0;
        ldgsmcompress = 0;
        adpcmcompress = 0;
        lpc10compress = 0;
    }
};
