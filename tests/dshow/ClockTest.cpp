#include <gtest/gtest.h>

#include "platform/dshow/SystemClock.h"
#include "tests/dshow/TestFilters.h"

using namespace testing_dshow;

TEST(SystemClock, CountsMonotonicTimeIn100nsUnits)
{
    ComPtr<CSystemClock> clock(new CSystemClock);
    REFERENCE_TIME a = 0, b = 0;
    ASSERT_EQ(clock->GetTime(&a), S_OK);
    auto wall = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(clock->GetTime(&b), S_OK);
    auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - wall);
    EXPECT_GE(b - a, 50 * MILLISECONDS);
    EXPECT_LE(b - a, elapsed.count() * 10 + 5 * MILLISECONDS);
    EXPECT_EQ(clock->GetTime(nullptr), E_POINTER);
}

TEST(SystemClock, AdviseTimeSetsTheEventNotBeforeItsTime)
{
    ComPtr<CSystemClock> clock(new CSystemClock);
    CAMEvent event;
    REFERENCE_TIME base = 0;
    clock->GetTime(&base);
    DWORD_PTR cookie = 0;
    ASSERT_EQ(clock->AdviseTime(base, 60 * MILLISECONDS, event.Handle(), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_FALSE(event.Wait(20));
    ASSERT_TRUE(event.Wait(2000));
    REFERENCE_TIME now = 0;
    clock->GetTime(&now);
    EXPECT_GE(now, base + 60 * MILLISECONDS);
    // A time in the past fires at once.
    ASSERT_EQ(clock->AdviseTime(base, 0 + 1, event.Handle(), &cookie), S_OK);
    EXPECT_TRUE(event.Wait(1000));
    EXPECT_EQ(clock->AdviseTime(0, 0, event.Handle(), &cookie), E_INVALIDARG);
}

TEST(SystemClock, UnadviseCancels)
{
    ComPtr<CSystemClock> clock(new CSystemClock);
    CAMEvent event;
    REFERENCE_TIME base = 0;
    clock->GetTime(&base);
    DWORD_PTR cookie = 0;
    ASSERT_EQ(clock->AdviseTime(base, 40 * MILLISECONDS, event.Handle(), &cookie), S_OK);
    EXPECT_EQ(clock->Unadvise(cookie), S_OK);
    EXPECT_FALSE(event.Wait(120));
    EXPECT_EQ(clock->Unadvise(cookie), S_FALSE);
}

TEST(SystemClock, AdvisePeriodicRepeats)
{
    ComPtr<CSystemClock> clock(new CSystemClock);
    CAMEvent event;
    REFERENCE_TIME base = 0;
    clock->GetTime(&base);
    DWORD_PTR cookie = 0;
    ASSERT_EQ(clock->AdvisePeriodic(base + 10 * MILLISECONDS, 20 * MILLISECONDS, event.Handle(), &cookie), S_OK);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(event.Wait(1000)) << i;
    REFERENCE_TIME now = 0;
    clock->GetTime(&now);
    EXPECT_GE(now, base + 50 * MILLISECONDS);
    EXPECT_EQ(clock->Unadvise(cookie), S_OK);
}
