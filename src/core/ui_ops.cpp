#include "core/ui_ops.h"

#include "core/commands.h"

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

void kvNotifyStatus()
{
    if (g_ops.statusChanged)
        g_ops.statusChanged(kvStatus());
}
