#include "core/progress.h"

#include "core/ui_ops.h"

std::atomic<int> progBarCount{0};

void moveProgressBar(int n)
{
    progBarCount = n % 100;
}

void showProgressBar()
{
    if (kvUiOps().showProgressBar)
        kvUiOps().showProgressBar();
}

void hideProgressBar()
{
    if (kvUiOps().hideProgressBar)
        kvUiOps().hideProgressBar();
}
