// A tiny loadable module for the module-loading tests.
extern "C" __attribute__((visibility("default"))) int MarlinTestModuleAnswer()
{
    return 42;
}
