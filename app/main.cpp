// Entry point of the media host; start-up logic lives in CMarlinApp.
#include "platform/lavfilters/core/FFmpegLog.h"
#include "platform/os/Memory.h"
#include "platform/ui/WinApp.h"

int main(int argc, char** argv)
{
    UseFixedLargeBlockThreshold();
    RouteFFmpegLog();
    return AfxWinMain(argc, argv);
}
