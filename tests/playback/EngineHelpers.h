#pragma once
// Helpers of the engine tests: a sink that counts what arrives, a stand-in
// for the dialog's window (the graph's notify messages land in a queue that
// the test thread drains, as the dialog's window thread does), and access to
// an engine's graph through the running object table.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/Com.h"
#include "platform/dshow/Interfaces.h"
#include "platform/dshow/MediaEventNotify.h"
#include "platform/os/Unicode.h"
#include "playback/IRendererDataSink.h"
#include "playback/MultiMediaPlay.h"

namespace enginetest {

// Polls `done` until it holds or `ms` pass.
inline bool WaitFor(const std::function<bool()>& done, int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class RecordingSink final : public IRendererDataSink
{
public:
    void OnDateReceive(bool isVideo, const MediaFormat* format, const uint8_t*, int32_t length) override
    {
        std::lock_guard lock(m_mutex);
        if (isVideo) {
            ++pictures;
            videoFormat = *format;
        } else {
            ++soundBlocks;
            soundBytes += length;
            audioFormat = *format;
        }
    }
    void OnPlayComplete() override
    {
        std::lock_guard lock(m_mutex);
        ++completions;
        completionThreads.push_back(std::this_thread::get_id());
    }
    int Pictures()
    {
        std::lock_guard lock(m_mutex);
        return pictures;
    }
    int SoundBlocks()
    {
        std::lock_guard lock(m_mutex);
        return soundBlocks;
    }
    int Completions()
    {
        std::lock_guard lock(m_mutex);
        return completions;
    }

    std::mutex m_mutex;
    int pictures = 0, soundBlocks = 0, completions = 0;
    int64_t soundBytes = 0;
    MediaFormat videoFormat{}, audioFormat{};
    std::vector<std::thread::id> completionThreads;
};

// The dialog's window in miniature: the installed poster queues every
// notify message; Pump hands each 1425 to the engine on the calling thread.
class MessageWindow
{
public:
    static constexpr uint32_t kGraphNotify = 1425;

    MessageWindow()
    {
        SetNotifyMessagePoster([this](OAHWND window, uint32_t message, uintptr_t, intptr_t) {
            std::lock_guard lock(m_mutex);
            m_queue.push_back({window, message});
            m_cv.notify_all();
            return true;
        });
    }
    ~MessageWindow() { SetNotifyMessagePoster({}); }
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    OAHWND Handle() const { return reinterpret_cast<OAHWND>(this); }

    // Handles queued messages for up to `ms` or until `done` holds; returns
    // whether it holds. Only messages for this window with 1425 reach the
    // engine; anything else counts as a stray message.
    bool Pump(CMultiMediaPlay& engine, const std::function<bool()>& done, int ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            std::unique_lock lock(m_mutex);
            if (!m_cv.wait_until(lock, deadline, [&] { return !m_queue.empty(); })) return done();
            Message m = m_queue.front();
            m_queue.pop_front();
            lock.unlock();
            if (m.window == Handle() && m.message == kGraphNotify) {
                ++notifies;
                engine.HandleGraphEvents();
            } else {
                ++strays;
            }
        }
        return true;
    }
    size_t Queued()
    {
        std::lock_guard lock(m_mutex);
        return m_queue.size();
    }

    int notifies = 0, strays = 0;

private:
    struct Message
    {
        OAHWND window;
        uint32_t message;
    };
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Message> m_queue;
};

// Display names of this process's running-object-table entries that name a
// filter graph.
inline std::vector<std::string> GraphEntries()
{
    std::vector<std::string> result;
    for (const std::u16string& name : RotDisplayNamesForTesting()) {
        std::string text = Utf16ToUtf8(name);
        if (text.find("FilterGraph ") != std::string::npos) result.push_back(text);
    }
    return result;
}

// The graph registered under `displayName`.
inline ComPtr<IGraphBuilder> GraphByName(const std::string& displayName)
{
    ComPtr<IUnknown> object;
    ComPtr<IGraphBuilder> graph;
    if (SUCCEEDED(RotGetObjectByDisplayNameForTesting(Utf8ToUtf16(displayName), object.ReleaseAndGetAddressOf())))
        object.As(&graph);
    return graph;
}

// The graph of the only engine alive (found by its second entry, or the
// first one before rendering).
inline ComPtr<IGraphBuilder> OnlyGraph()
{
    std::vector<std::string> entries = GraphEntries();
    if (entries.empty()) return {};
    return GraphByName(entries.back());
}

// Names of the filters in a graph, in the graph's order.
inline std::vector<std::string> FilterNames(IGraphBuilder* graph)
{
    std::vector<std::string> names;
    ComPtr<IEnumFilters> filters;
    if (!graph || FAILED(graph->EnumFilters(filters.ReleaseAndGetAddressOf()))) return names;
    ComPtr<IBaseFilter> filter;
    ULONG got = 0;
    while (filters->Next(1, filter.ReleaseAndGetAddressOf(), &got) == S_OK && got == 1) {
        FILTER_INFO info{};
        if (SUCCEEDED(filter->QueryFilterInfo(&info))) {
            names.push_back(Utf16ToUtf8(std::u16string_view(info.achName, Utf16Length(info.achName))));
            if (info.pGraph) info.pGraph->Release();
        }
    }
    return names;
}

inline bool Contains(const std::vector<std::string>& names, const std::string& name)
{
    for (const std::string& n : names)
        if (n == name) return true;
    return false;
}

inline bool Render(CMultiMediaPlay& engine, const std::string& path)
{
    const std::u16string wide = Utf8ToUtf16(path);
    return engine.RenderFile(wide.c_str());
}

}  // namespace enginetest
