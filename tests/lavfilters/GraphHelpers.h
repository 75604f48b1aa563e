#pragma once
// Helpers of the graph tests: a module file loaded as the engine loads it,
// and a sink that counts what the capture renderers hand over.
#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/ComApi.h"
#include "platform/dshow/Interfaces.h"
#include "playback/IRendererDataSink.h"

namespace lavtest {

// Counts what the capture renderers hand over.
class CountingSink final : public IRendererDataSink
{
public:
    void OnDateReceive(bool isVideo, const MediaFormat* format, const uint8_t*, int32_t length) override
    {
        std::lock_guard lock(m_mutex);
        if (isVideo) {
            ++pictures;
            videoFormat = *format;
            videoBytes = length;
            pictureSizes.push_back({format->width, format->height, length});
        } else {
            ++audioBlocks;
            audioBytes += length;
            largestAudioBlock = std::max(largestAudioBlock, length);
            audioFormat = *format;
        }
    }
    void OnPlayComplete() override {}
    void Reset()
    {
        std::lock_guard lock(m_mutex);
        pictures = audioBlocks = 0;
        audioBytes = 0;
        pictureSizes.clear();
    }
    std::mutex m_mutex;
    int pictures = 0, audioBlocks = 0;
    int64_t audioBytes = 0;
    int32_t videoBytes = 0, largestAudioBlock = 0;
    MediaFormat videoFormat{}, audioFormat{};
    // Width, height (with sign) and byte count of every picture, in order.
    std::vector<std::array<int32_t, 3>> pictureSizes;
};

// One loaded module file.
class Module
{
public:
    explicit Module(const char* file)
    {
        const std::string path = std::string(MARLIN_BIN_DIR) + "/LAVFilters/" + file;
        m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle) {
            m_get = reinterpret_cast<GetFn>(::dlsym(m_handle, "DllGetClassObject"));
            m_canUnload = reinterpret_cast<CanUnloadFn>(::dlsym(m_handle, "DllCanUnloadNow"));
        }
    }
    ~Module()
    {
        if (m_handle) ::dlclose(m_handle);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    bool Loaded() const { return m_handle && m_get && m_canUnload; }
    HRESULT CanUnloadNow() { return m_canUnload(); }
    HRESULT GetClassObject(REFCLSID clsid, ComPtr<IClassFactory>* factory)
    {
        return m_get(clsid, IID_IClassFactory, factory->ReleaseAndGetVoidAddress());
    }
    ComPtr<IBaseFilter> Create(REFCLSID clsid)
    {
        ComPtr<IClassFactory> factory;
        ComPtr<IBaseFilter> filter;
        if (SUCCEEDED(GetClassObject(clsid, &factory)))
            factory->CreateInstance(nullptr, IID_IBaseFilter, filter.ReleaseAndGetVoidAddress());
        return filter;
    }

private:
    using GetFn = HRESULT (*)(REFCLSID, REFIID, void**);
    using CanUnloadFn = HRESULT (*)();
    void* m_handle = nullptr;
    GetFn m_get = nullptr;
    CanUnloadFn m_canUnload = nullptr;
};


}  // namespace lavtest
