#include <gtest/gtest.h>

#include "platform/dshow/Allocator.h"
#include "tests/dshow/TestFilters.h"

using namespace testing_dshow;

namespace {

ComPtr<IMemAllocator> MakeAllocator(LONG buffers, LONG size)
{
    ComPtr<IMemAllocator> alloc(static_cast<IMemAllocator*>(new CMemAllocator));
    ALLOCATOR_PROPERTIES props{buffers, size, 16, 0}, actual{};
    EXPECT_EQ(alloc->SetProperties(&props, &actual), S_OK);
    EXPECT_EQ(actual.cbBuffer, size);
    return alloc;
}

}  // namespace

TEST(Allocator, LendsSamplesOnlyWhileCommitted)
{
    long baseline = CBaseObject::ObjectsActive();
    {
        ComPtr<IMemAllocator> alloc = MakeAllocator(1, 100);
        IMediaSample* sample = nullptr;
        EXPECT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
        ASSERT_EQ(alloc->Commit(), S_OK);
        ALLOCATOR_PROPERTIES props{2, 10, 1, 0}, actual{};
        EXPECT_EQ(alloc->SetProperties(&props, &actual), VFW_E_ALREADY_COMMITTED);
        ASSERT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 16, 0u);
        EXPECT_EQ(sample->GetSize(), 100);
        EXPECT_EQ(sample->SetActualDataLength(101), VFW_E_BUFFER_OVERFLOW);
        IMediaSample* second = nullptr;
        EXPECT_EQ(alloc->GetBuffer(&second, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
        sample->Release();
        alloc->Decommit();
    }
    EXPECT_EQ(CBaseObject::ObjectsActive(), baseline);
}

TEST(Allocator, SamplePropertiesAndResetOnReturn)
{
    ComPtr<IMemAllocator> alloc = MakeAllocator(1, 16);
    alloc->Commit();
    IMediaSample* sample = nullptr;
    ASSERT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    REFERENCE_TIME s = 0, e = 0;
    EXPECT_EQ(sample->GetTime(&s, &e), VFW_E_SAMPLE_TIME_NOT_SET);
    REFERENCE_TIME start = 100, end = 200;
    sample->SetTime(&start, &end);
    EXPECT_EQ(sample->GetTime(&s, &e), S_OK);
    EXPECT_EQ(s, 100);
    EXPECT_EQ(e, 200);
    sample->SetTime(&start, nullptr);
    EXPECT_EQ(sample->GetTime(&s, &e), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(e, 101);
    sample->SetSyncPoint(TRUE);
    sample->SetDiscontinuity(TRUE);
    sample->SetPreroll(TRUE);
    sample->SetActualDataLength(7);
    CMediaType mt = MakeVideoType(MEDIASUBTYPE_RGB24, 4, 4);
    sample->SetMediaType(&mt);
    AM_MEDIA_TYPE* got = nullptr;
    ASSERT_EQ(sample->GetMediaType(&got), S_OK);
    EXPECT_TRUE(mt.MatchesExactly(*got));
    DeleteMediaType(got);
    EXPECT_EQ(sample->IsSyncPoint(), S_OK);
    EXPECT_EQ(sample->IsDiscontinuity(), S_OK);
    EXPECT_EQ(sample->IsPreroll(), S_OK);
    LONGLONG ms = 5, me = 6;
    sample->SetMediaTime(&ms, &me);
    sample->Release();

    ASSERT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(sample->GetTime(&s, &e), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(sample->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(sample->IsDiscontinuity(), S_FALSE);
    EXPECT_EQ(sample->GetActualDataLength(), 0);
    EXPECT_EQ(sample->GetMediaType(&got), S_FALSE);
    EXPECT_EQ(sample->GetMediaTime(&ms, &me), VFW_E_MEDIA_TIME_NOT_SET);
    sample->Release();
    alloc->Decommit();
}

TEST(Allocator, LentPlanesArePackedOnceForAReaderOfTheBufferAndGoWithTheSample)
{
    ComPtr<IMemAllocator> alloc = MakeAllocator(1, 64);
    ASSERT_EQ(alloc->Commit(), S_OK);
    IMediaSample* sample = nullptr;
    ASSERT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    ComPtr<IMediaSamplePlanes> planes;
    ASSERT_EQ(sample->QueryInterface(IID_IMediaSamplePlanes, planes.ReleaseAndGetVoidAddress()), S_OK);
    SamplePlanes got;
    EXPECT_EQ(planes->GetPlanes(&got), S_FALSE);  // packed, as every sample starts

    auto owner = std::make_shared<std::vector<BYTE>>(48, 7);
    std::weak_ptr<std::vector<BYTE>> watch = owner;
    SamplePlanes lent;
    lent.count = 3;
    for (int p = 0; p < 3; ++p) {
        lent.data[p] = owner->data() + 16 * p;
        lent.stride[p] = 4;
    }
    int packs = 0;
    ASSERT_EQ(planes->SetPlanes(lent, owner, [&packs](BYTE* dst, LONG size) {
        ++packs;
        std::fill(dst, dst + size, BYTE{9});
        return true;
    }), S_OK);
    owner.reset();
    ASSERT_EQ(planes->GetPlanes(&got), S_OK);
    EXPECT_EQ(got.data[2], lent.data[2]);
    EXPECT_EQ(got.stride[1], 4);
    EXPECT_EQ(packs, 0);  // a reader of planes costs no packing
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    sample->GetPointer(&data);
    EXPECT_EQ(packs, 1);
    EXPECT_EQ(data[63], 9);
    EXPECT_FALSE(watch.expired());  // the planes live as long as the sample is out

    planes = nullptr;
    sample->Release();
    EXPECT_TRUE(watch.expired());
    ASSERT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(sample->QueryInterface(IID_IMediaSamplePlanes, planes.ReleaseAndGetVoidAddress()), S_OK);
    EXPECT_EQ(planes->GetPlanes(&got), S_FALSE);  // the next loan starts packed
    planes = nullptr;
    sample->Release();
    alloc->Decommit();
}

TEST(Allocator, GetBufferWaitsForAReturnedSample)
{
    ComPtr<IMemAllocator> alloc = MakeAllocator(1, 16);
    alloc->Commit();
    IMediaSample* held = nullptr;
    ASSERT_EQ(alloc->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        IMediaSample* s = nullptr;
        if (alloc->GetBuffer(&s, nullptr, nullptr, 0) == S_OK) {
            got = true;
            s->Release();
        }
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(got.load());
    held->Release();
    EXPECT_TRUE(WaitUntil([&] { return got.load(); }, 1000ms));
    waiter.join();
    alloc->Decommit();
}

TEST(Allocator, DecommitReleasesAWaitingGetBuffer)
{
    long baseline = CBaseObject::ObjectsActive();
    {
        ComPtr<IMemAllocator> alloc = MakeAllocator(1, 16);
        alloc->Commit();
        IMediaSample* held = nullptr;
        ASSERT_EQ(alloc->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
        std::atomic<HRESULT> result{S_OK};
        std::atomic<bool> returned{false};
        std::thread waiter([&] {
            IMediaSample* s = nullptr;
            result = alloc->GetBuffer(&s, nullptr, nullptr, 0);
            returned = true;
        });
        std::this_thread::sleep_for(30ms);
        EXPECT_FALSE(returned.load());
        alloc->Decommit();
        EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 1000ms));
        waiter.join();
        EXPECT_EQ(result.load(), VFW_E_NOT_COMMITTED);
        // The sample out on loan keeps the allocator; its return frees the memory.
        alloc = nullptr;
        held->Release();
    }
    EXPECT_EQ(CBaseObject::ObjectsActive(), baseline);
}
