// Shared builders of the engine, codec and settings tests (no checks of their own).
#pragma once

#include "audio/codec_states.h"
#include "audio/engine_state.h"
#include "audio/ulaw.h"
#include "core/ui_ops.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Bytes = std::vector<unsigned char>;

// n samples of the committed English speech, from sample `from` on.
inline std::vector<int16_t> speechLike(int n, int from = 0)
{
    static const std::vector<int16_t> speech = readTestSamples("speech_en-us.raw");
    return {speech.begin() + from, speech.begin() + from + n};
}

inline Bytes ulawOf(const std::vector<int16_t> &s)
{
    Bytes u(s.size());
    std::transform(s.begin(), s.end(), u.begin(), linearToUlaw);
    return u;
}

inline Bytes readFile(const std::string &path)
{
    return Bytes(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {});
}

inline void writeFile(const std::string &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

template <typename Pred> bool within(int ms, Pred pred)
{
    for (int i = 0; i < ms / 5 && !pred(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return pred();
}

struct UiRecorder {
    static inline UiRecorder *current = nullptr;
    std::mutex mutex;
    std::string messages; // "title|text" lines
    std::atomic<int> shows{0}, hides{0};
    UiRecorder()
    {
        current = this;
        KvUiOps ops{};
        ops.messageBox = [](const char *title, const char *text) {
            std::lock_guard lock(current->mutex);
            current->messages += std::string(title) + "|" + text + "\n";
        };
        ops.showProgressBar = [] { ++current->shows; };
        ops.hideProgressBar = [] { ++current->hides; };
        kvSetUiOps(ops);
    }
    ~UiRecorder() { kvSetUiOps(KvUiOps{}); }
};

// A socket pair as the sound device: the engine holds one end as `handle`, the test plays and captures on the other.
struct FakeDevice {
    int engineEnd = -1, testEnd = -1;
    FakeDevice()
    {
        int fds[2], size = 1 << 20;
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        std::tie(handle, engineEnd, testEnd) = std::tie(fds[0], fds[0], fds[1]);
        setsockopt(engineEnd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(testEnd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    ~FakeDevice() { handle = -1, close(engineEnd), close(testEnd); }
    Bytes drain() const // everything written to the device so far
    {
        Bytes out;
        unsigned char buf[65536];
        for (ssize_t n; (n = recv(testEnd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            out.insert(out.end(), buf, buf + n);
        return out;
    }
};

// Restores the codec flags; `only` selects one codec (none: u-law) on fresh process-wide codec states.
struct CodecSelection {
    int saved[4] = {gsmcompress, ldgsmcompress, adpcmcompress, lpc10compress};
    ~CodecSelection() { only(nullptr, saved); }
    static void only(std::atomic<int> *flag, const int (&v)[4] = {0, 0, 0, 0})
    {
        releaseCodecStates();
        createCodecStates();
        sendCodec.adpcm = {};
        std::tie(gsmcompress, ldgsmcompress, adpcmcompress, lpc10compress) = std::tuple(v[0], v[1], v[2], v[3]);
        if (flag)
            *flag = 1;
    }
};

struct TempDir {
    std::filesystem::path path = [] {
        char tmpl[] = "/tmp/kvtestXXXXXX";
        return std::filesystem::path(mkdtemp(tmpl));
    }();
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string &name) const { return (path / name).string(); }
};
