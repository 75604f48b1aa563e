#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/dshow/AsyncSource.h"
#include "platform/os/Unicode.h"
#include "tests/dshow/TestFilters.h"

using namespace testing_dshow;

namespace {

class AsyncReaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_baseline = CBaseObject::ObjectsActive();
        m_path = std::filesystem::temp_directory_path() / ("marlin-async-" + std::to_string(::getpid()));
        const std::string bytes("RIFF\x04\x00\x00\x00WAVE0123456789", 22);
        std::ofstream(m_path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        m_source = new CAsyncFileSource;
        std::u16string path = Utf8ToUtf16(m_path.string());
        ASSERT_EQ(m_source->Load(path.c_str(), nullptr), S_OK);
        ComPtr<IPin> pin;
        ASSERT_EQ(m_source->FindPin(u"Output", pin.ReleaseAndGetAddressOf()), S_OK);
        ASSERT_EQ(pin.As(&m_reader), S_OK);
    }
    void TearDown() override
    {
        m_reader = nullptr;
        m_source = nullptr;
        std::filesystem::remove(m_path);
        EXPECT_EQ(CBaseObject::ObjectsActive(), m_baseline);
    }
    long m_baseline = 0;
    std::filesystem::path m_path;
    ComPtr<CAsyncFileSource> m_source;
    ComPtr<IAsyncReader> m_reader;
};

}  // namespace

TEST_F(AsyncReaderTest, ReadsBytesAndKnowsTheLength)
{
    LONGLONG total = 0, available = 0;
    ASSERT_EQ(m_reader->Length(&total, &available), S_OK);
    EXPECT_EQ(total, 22);
    BYTE buf[8] = {};
    EXPECT_EQ(m_reader->SyncRead(8, 4, buf), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "WAVE");
    // Past the end: what there is, the rest zeroed, S_FALSE.
    EXPECT_EQ(m_reader->SyncRead(20, 8, buf), S_FALSE);
    EXPECT_EQ(buf[0], '8');
    EXPECT_EQ(buf[2], 0);
    ComPtr<IPin> pin;
    m_source->FindPin(u"Output", pin.ReleaseAndGetAddressOf());
    AM_MEDIA_TYPE* mt = nullptr;
    ComPtr<IEnumMediaTypes> types;
    pin->EnumMediaTypes(types.ReleaseAndGetAddressOf());
    ULONG n = 0;
    ASSERT_EQ(types->Next(1, &mt, &n), S_OK);
    EXPECT_EQ(mt->majortype, MEDIATYPE_Stream);
    EXPECT_EQ(mt->subtype, MEDIASUBTYPE_WAVE);
    DeleteMediaType(mt);
}

TEST_F(AsyncReaderTest, QueuedRequestsAndFlushReleasingAWait)
{
    ALLOCATOR_PROPERTIES props{2, 16, 1, 0};
    ComPtr<IMemAllocator> alloc;
    ASSERT_EQ(m_reader->RequestAllocator(nullptr, &props, alloc.ReleaseAndGetAddressOf()), S_OK);
    alloc->Commit();
    IMediaSample* sample = nullptr;
    ASSERT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    REFERENCE_TIME start = 4 * UNITS, end = 12 * UNITS;
    sample->SetTime(&start, &end);
    ASSERT_EQ(m_reader->Request(sample, 42), S_OK);
    sample->Release();  // the request holds it now
    IMediaSample* done = nullptr;
    DWORD_PTR user = 0;
    ASSERT_EQ(m_reader->WaitForNext(1000, &done, &user), S_OK);
    EXPECT_EQ(user, 42u);
    EXPECT_EQ(done->GetActualDataLength(), 8);
    done->Release();

    // Nothing queued: a wait ends at its limit, or at once on a flush.
    EXPECT_EQ(m_reader->WaitForNext(20, &done, &user), VFW_E_TIMEOUT);
    std::atomic<HRESULT> result{S_OK};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        IMediaSample* s = nullptr;
        DWORD_PTR u = 0;
        result = m_reader->WaitForNext(INFINITE, &s, &u);
        returned = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load());
    m_reader->BeginFlush();
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 1000ms));
    waiter.join();
    EXPECT_EQ(result.load(), VFW_E_WRONG_STATE);
    m_reader->EndFlush();
    alloc->Decommit();
}

TEST(AsyncSource, LoadFailsForAMissingFile)
{
    ComPtr<CAsyncFileSource> source(new CAsyncFileSource);
    EXPECT_EQ(source->Load(u"/nonexistent/marlin/file.wav", nullptr), HRESULT_FROM_WIN32_FILE_NOT_FOUND);
    LPOLESTR name = nullptr;
    EXPECT_EQ(source->GetCurFile(&name, nullptr), E_FAIL);
}
