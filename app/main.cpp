// Entry point of the media host; start-up logic lives in CMarlinApp.
#include "platform/ui/WinApp.h"

int main(int argc, char** argv) { return AfxWinMain(argc, argv); }
