// Entry point of the media host. Start-up logic lives in CMarlinApp.
int main()
{
    return 0;
}
