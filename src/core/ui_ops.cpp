#include "core/ui_ops.h"

#include "core/commands.h"

#include <atomic>

namespace {
KvUiOps g_ops{};

struct GuiCall {
    void (*fn)(void *);
    void *data;
};

int runGuiCall(void *p)
{
    auto *call = static_cast<GuiCall *>(p);
    call->fn(call->data);
    delete call;
    return 0;
}
} // namespace

void kvSetUiOps(const KvUiOps &ops) { g_ops = ops; }

const KvUiOps &kvUiOps() { return g_ops; }

void messageBox(const char *title, const char *text)
{
    if (g_ops.messageBox)
        g_ops.messageBox(title, text);
}

void kvRunOnGui(void (*fn)(void *), void *data)
{
    if (g_ops.addTimer)
        g_ops.addTimer(0, runGuiCall, new GuiCall{fn, data});
    else
        fn(data);
}

namespace {
std::atomic<KvEngineStatus (*)()> statusSource{nullptr};
}

void kvSetStatusSource(KvEngineStatus (*source)()) { statusSource = source; }

void kvNotifyStatus()
{
    KvEngineStatus (*source)() = statusSource;
    if (g_ops.statusChanged && source)
        g_ops.statusChanged(source());
}
