// Entry point of the media host; start-up logic lives in CMarlinApp.
#include <malloc.h>

#include "app/FFmpegLog.h"
#include "platform/ui/WinApp.h"

int main(int argc, char** argv)
{
    // Pictures and sound blocks are large, short-lived buffers of many
    // threads. A fixed threshold sends them to mmap for good: glibc would
    // otherwise raise it (and the trim threshold with it) after the first
    // big free, and every thread's arena would keep its high-water mark.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    RouteFFmpegLog();
    return AfxWinMain(argc, argv);
}
