#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ProcTools.h"
#include "platform/os/Module.h"
#include "platform/os/NamedPipe.h"
#include "platform/os/Sync.h"
#include "platform/os/Thread.h"
#include "platform/os/Time.h"

using namespace testing_proc;
using Clock = std::chrono::steady_clock;

// --- events and locks ---

TEST(OsEvent, AutoResetReleasesOneWaitAndClearsItself)
{
    CEvent event(false, true);
    EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
    event.Set();
    EXPECT_EQ(event.Wait(INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(event.Wait(10), WAIT_TIMEOUT);
}

TEST(OsEvent, ManualResetStaysSignalledUntilReset)
{
    CEvent event(true, false);
    EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
    event.Set();
    EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
    event.Reset();
    EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
}

TEST(OsEvent, TimedWaitEndsAfterItsTimeAndSetWakesAWaiter)
{
    CEvent event(false, false);
    auto start = Clock::now();
    EXPECT_EQ(event.Wait(100), WAIT_TIMEOUT);
    EXPECT_GE(MsSince(start), 95);
    EXPECT_LT(MsSince(start), 2000);

    std::atomic<uint32_t> result{99};
    std::thread waiter([&] { result = event.Wait(INFINITE); });
    event.Set();
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);  // consumed by the waiter
}

TEST(OsCriticalSection, IsRecursiveAndExcludesOtherThreads)
{
    CCriticalSection lock;
    lock.Lock();
    lock.Lock();  // same thread again
    std::atomic<bool> got{false};
    std::thread other([&] { got = lock.try_lock(); if (got) lock.unlock(); });
    other.join();
    EXPECT_FALSE(got);
    lock.Unlock();
    lock.Unlock();
    std::thread again([&] { got = lock.try_lock(); if (got) lock.unlock(); });
    again.join();
    EXPECT_TRUE(got);
}

// A plain Mutex taken again by the thread that holds it must end the process
// with a message instead of hanging. The alarm turns a hang into a silent
// death, which the message check then refuses.
namespace {
void LockTwice() NO_THREAD_SAFETY_ANALYSIS
{
    alarm(5);
    Mutex mutex;
    mutex.lock();
    mutex.lock();
}

// The owner comes back from a condition wait during which another thread
// held the mutex; it still counts as the owner.
void LockAgainAfterAWait() NO_THREAD_SAFETY_ANALYSIS
{
    alarm(5);
    Mutex mutex;
    std::condition_variable cv;
    bool other = false;
    MutexUniqueLock hold(mutex);
    std::thread t([&] {
        MutexLock lock(mutex);
        other = true;
        cv.notify_all();
    });
    hold.Wait(cv, [&] { return other; });
    t.join();
    mutex.lock();
}
}  // namespace

TEST(OsMutexDeathTest, LockingAgainOnTheOwningThreadAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(LockTwice(), "Mutex locked again by the thread that holds it");
}

TEST(OsMutexDeathTest, LockingAgainAfterAConditionWaitAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(LockAgainAfterAWait(), "Mutex locked again by the thread that holds it");
}

// --- time ---

TEST(OsTime, TickFollowsSleep)
{
    uint32_t before = timeGetTime();
    Sleep(50);
    uint32_t elapsed = timeGetTime() - before;  // unsigned difference survives a wrap
    EXPECT_GE(elapsed, 49u);
    EXPECT_LT(elapsed, 2000u);
}

// --- threads ---

namespace {
struct ThreadProbe
{
    std::atomic<size_t> stackSize{0};
    std::atomic<uint32_t> tid{0};
    CEvent release{true, false};
};

unsigned ProbeEntry(void* arg)
{
    auto* p = static_cast<ThreadProbe*>(arg);
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        size_t size = 0;
        pthread_attr_getstacksize(&attr, &size);
        p->stackSize = size;
        pthread_attr_destroy(&attr);
    }
    p->tid = GetCurrentThreadId();
    p->release.Wait(INFINITE);
    return 0;
}
}  // namespace

TEST(OsThread, RunsWithTheAskedStackAndReportsItsSystemId)
{
    ThreadProbe probe;
    uint32_t id = 0;
    auto thread = CThreadHandle::Begin(ProbeEntry, &probe, 1048576, &id);
    ASSERT_TRUE(thread);
    EXPECT_TRUE(TaskExists(id));
    EXPECT_EQ(thread->ThreadId(), id);
    EXPECT_FALSE(thread->WaitForExit(20));
    probe.release.Set();
    EXPECT_TRUE(thread->WaitForExit(5000));
    EXPECT_EQ(probe.tid.load(), id);
    EXPECT_EQ(probe.stackSize.load(), 1048576u);
}

TEST(OsThread, ClosingTheHandleOfARunningThreadLetsItRunOn)
{
    // Static: the detached thread's last touch of it is not visible to the
    // race detector as ordered before this test returns.
    static ThreadProbe probe;
    uint32_t id = 0;
    auto thread = CThreadHandle::Begin(ProbeEntry, &probe, 0, &id);
    ASSERT_TRUE(thread);
    thread.reset();
    EXPECT_TRUE(TaskExists(id));
    probe.release.Set();
    EXPECT_TRUE(WaitUntil([&] { return !TaskExists(id); }));
}

TEST(OsThread, NamesKeepTheirFirst15Characters)
{
    std::string seen;
    std::thread t([&] {
        SetCurrentThreadName("0123456789abcdefghij");
        seen = TaskComm(GetCurrentThreadId());
    });
    t.join();
    EXPECT_EQ(seen, "0123456789abcde");
}

// --- modules ---

TEST(OsModule, LoadsFindsAndFreesAModuleByRelativeName)
{
    ASSERT_EQ(chdir(MARLIN_BIN_DIR), 0);
    HMODULE module = LoadLibraryA("os_test_module.ax");  // resolved in the current directory
    ASSERT_NE(module, nullptr) << GetLastModuleError();
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "MarlinTestModuleAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));

    EXPECT_EQ(LoadLibraryA("no-such-module.ax"), nullptr);
    EXPECT_NE(std::string(GetLastModuleError()), "");
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST(OsModule, RelativeNameIsLookedUpBesideTheProgramThenInTheCurrentDirectory)
{
    // The test binary lies beside os_test_module.ax; start elsewhere.
    char folder[] = "/tmp/marlin-module-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    ASSERT_EQ(chdir(folder), 0);
    HMODULE besideProgram = LoadLibraryA("./os_test_module.ax");
    EXPECT_NE(besideProgram, nullptr) << GetLastModuleError();
    if (besideProgram) FreeLibrary(besideProgram);

    // Only in the current directory, under a name the program's folder lacks.
    const std::string copy = std::string(folder) + "/only_here.ax";
    ASSERT_EQ(system(("cp " MARLIN_BIN_DIR "/os_test_module.ax " + copy).c_str()), 0);
    HMODULE inCurrent = LoadLibraryA("only_here.ax");
    EXPECT_NE(inCurrent, nullptr) << GetLastModuleError();
    if (inCurrent) FreeLibrary(inCurrent);

    ASSERT_EQ(chdir(MARLIN_BIN_DIR), 0);
    std::remove(copy.c_str());
    rmdir(folder);
}

// --- the pipe client ---

namespace {

std::string UniqueName(const char* tag, bool abstract)
{
    static std::atomic<int> counter{0};
    std::string name = std::string("marlin-os-") + tag + "-" + std::to_string(getpid()) + "-" +
                       std::to_string(counter++);
    return abstract ? "@" + name : "/tmp/" + name;
}

// A listening socket for `name`, as a controller makes it.
int Listen(const std::string& name, int backlog, bool doListen = true)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socklen_t len;
    if (name[0] == '@') {
        std::memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    } else {
        std::memcpy(addr.sun_path, name.data(), name.size());
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return -1;
    if (doListen && listen(fd, backlog) != 0) return -1;
    return fd;
}

}  // namespace

TEST(OsPipe, MissingOrRefusingPipesFailAtOnce)
{
    int fds = CountOpenFds();
    auto start = Clock::now();
    EXPECT_FALSE(CPipeHandle::Connect(UniqueName("missing", false).c_str()).IsValid());
    EXPECT_FALSE(CPipeHandle::Connect(UniqueName("missing", true).c_str()).IsValid());
    // A socket that exists but does not listen refuses.
    std::string name = UniqueName("refusing", false);
    int bound = Listen(name, 1, false);
    ASSERT_GE(bound, 0);
    EXPECT_FALSE(CPipeHandle::Connect(name.c_str()).IsValid());
    EXPECT_LT(MsSince(start), 200);
    close(bound);
    unlink(name.c_str());
    EXPECT_EQ(CountOpenFds(), fds);
}

TEST(OsPipe, NamesMustFitASocketAddress)
{
    EXPECT_FALSE(IsValidPipeName(nullptr));
    EXPECT_FALSE(IsValidPipeName(""));
    EXPECT_FALSE(IsValidPipeName("@"));
    EXPECT_TRUE(IsValidPipeName(("/" + std::string(106, 'a')).c_str()));   // 107 + NUL
    EXPECT_FALSE(IsValidPipeName(("/" + std::string(107, 'a')).c_str()));  // no room for NUL
    EXPECT_TRUE(IsValidPipeName(("@" + std::string(107, 'a')).c_str()));   // NUL + 107
    EXPECT_FALSE(IsValidPipeName(("@" + std::string(108, 'a')).c_str()));
    EXPECT_FALSE(CPipeHandle::Connect(("@" + std::string(108, 'a')).c_str()).IsValid());
}

TEST(OsPipe, ConnectsToPathAndAbstractNamesAndCarriesBytes)
{
    for (bool abstract : {false, true}) {
        std::string name = UniqueName("carry", abstract);
        int listener = Listen(name, 1);
        ASSERT_GE(listener, 0);
        CPipeHandle pipe = CPipeHandle::Connect(name.c_str());
        ASSERT_TRUE(pipe.IsValid());
        int server = accept(listener, nullptr, nullptr);
        ASSERT_GE(server, 0);
        EXPECT_EQ(pipe.Write("hello", 5), 5);
        char buf[8] = {};
        EXPECT_EQ(recv(server, buf, sizeof buf, 0), 5);
        EXPECT_STREQ(buf, "hello");
        EXPECT_EQ(send(server, "ok", 2, 0), 2);
        EXPECT_EQ(pipe.Read(buf, sizeof buf), 2);
        close(server);
        EXPECT_EQ(pipe.Read(buf, sizeof buf), 0);  // end of stream
        close(listener);
        if (!abstract) unlink(name.c_str());
    }
}

TEST(OsPipe, AFullListenQueueIsWaitedFor)
{
    std::string name = UniqueName("queue", true);
    int listener = Listen(name, 0);  // room for one pending connection
    ASSERT_GE(listener, 0);
    CPipeHandle first = CPipeHandle::Connect(name.c_str());
    ASSERT_TRUE(first.IsValid());

    std::atomic<uint32_t> tid{0};
    std::atomic<bool> connected{false};
    std::thread second([&] {
        tid = GetCurrentThreadId();
        connected = CPipeHandle::Connect(name.c_str()).IsValid();
    });
    // The second connect sleeps in the kernel while the queue is full.
    ASSERT_TRUE(WaitUntil([&] { return tid != 0 && TaskSyscall(tid) == SYS_connect; }));
    EXPECT_FALSE(connected);
    int accepted = accept(listener, nullptr, nullptr);  // frees the queue
    ASSERT_GE(accepted, 0);
    second.join();
    EXPECT_TRUE(connected);
    close(accepted);
    close(listener);
}

TEST(OsPipe, AWaitForAFullQueueEndsWhenTheListenerGoes)
{
    std::string name = UniqueName("queue-gone", true);
    int listener = Listen(name, 0);
    ASSERT_GE(listener, 0);
    CPipeHandle first = CPipeHandle::Connect(name.c_str());
    ASSERT_TRUE(first.IsValid());
    std::atomic<uint32_t> tid{0};
    std::atomic<int> connected{-1};
    std::thread second([&] {
        tid = GetCurrentThreadId();
        connected = CPipeHandle::Connect(name.c_str()).IsValid() ? 1 : 0;
    });
    ASSERT_TRUE(WaitUntil([&] { return tid != 0 && TaskSyscall(tid) == SYS_connect; }));
    close(listener);  // the controller gives up its pipe
    second.join();
    EXPECT_EQ(connected.load(), 0);
}

TEST(OsPipe, ShutdownReleasesABlockedRead)
{
    std::string name = UniqueName("release", true);
    int listener = Listen(name, 1);
    CPipeHandle pipe = CPipeHandle::Connect(name.c_str());
    ASSERT_TRUE(pipe.IsValid());
    int server = accept(listener, nullptr, nullptr);

    std::atomic<uint32_t> tid{0};
    std::atomic<long> result{99};
    std::thread reader([&] {
        tid = GetCurrentThreadId();
        char byte;
        result = pipe.Read(&byte, 1);
    });
    ASSERT_TRUE(WaitUntil([&] { return tid != 0 && TaskSyscall(tid) == SYS_recvfrom; }));
    auto start = Clock::now();
    pipe.Shutdown();
    reader.join();
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_LE(result.load(), 0);
    char byte;
    EXPECT_LE(pipe.Read(&byte, 1), 0);  // and every later one
    EXPECT_EQ(pipe.Write("x", 1), -1);
    pipe.Close();
    close(server);
    close(listener);
}

TEST(OsPipe, WritingToAGonePeerFailsWithoutSigpipe)
{
    // SIGPIPE keeps its default action here: raising it would end the test.
    std::string name = UniqueName("gone", true);
    int listener = Listen(name, 1);
    CPipeHandle pipe = CPipeHandle::Connect(name.c_str());
    ASSERT_TRUE(pipe.IsValid());
    close(accept(listener, nullptr, nullptr));
    close(listener);
    char data[4096] = {};
    ssize_t result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) result = pipe.Write(data, sizeof data);
    EXPECT_EQ(result, -1);
}
