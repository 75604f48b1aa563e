// Entry point of the media host; start-up logic lives in CMarlinApp.
#include "app/FFmpegLog.h"
#include "platform/ui/WinApp.h"

int main(int argc, char** argv)
{
    RouteFFmpegLog();
    return AfxWinMain(argc, argv);
}
