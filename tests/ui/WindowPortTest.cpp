#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui/Dialog.h"

namespace {

class PortDialog : public CDialog
{
public:
    explicit PortDialog(std::string name) : CDialog(102), m_name(std::move(name))
    {
        MapMessage(WM_COPYDATA, [this](WPARAM, LPARAM l) -> LRESULT {
            auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(l);
            const auto* bytes = static_cast<const uint8_t*>(cds->lpData);
            copies.push_back({cds->dwData, std::vector<uint8_t>(bytes, bytes + cds->cbData)});
            return TRUE;
        });
        MapCommand(1000, [this] { ++clicks; });
    }
    struct Copy
    {
        ULONG_PTR dwData;
        std::vector<uint8_t> data;
    };
    std::vector<Copy> copies;
    int clicks = 0;
    bool opened = false;
    std::function<void()> afterOpen;

protected:
    BOOL OnInitDialog() override
    {
        opened = CreateWindowPort(m_name);
        if (afterOpen) afterOpen();
        return TRUE;
    }

private:
    std::string m_name;
};

sockaddr_un Address(const std::string& name, socklen_t& len)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name[0] == '@') {
        std::memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    } else {
        std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    }
    return addr;
}

void SendDatagram(const std::string& name, const std::vector<uint8_t>& bytes)
{
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    socklen_t len;
    sockaddr_un addr = Address(name, len);
    ssize_t sent = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), len);
    ::close(fd);
    ASSERT_EQ(sent, static_cast<ssize_t>(bytes.size())) << std::strerror(errno);
}

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words, std::vector<uint8_t> tail = {})
{
    std::vector<uint8_t> out(words.size() * 4);
    size_t i = 0;
    for (uint32_t w : words) std::memcpy(out.data() + 4 * i++, &w, 4);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

struct TempDir
{
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/marlin-ui-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

TEST(WindowPort, CarriesCopyDataCommandAndCloseAndDropsEverythingElse)
{
    TempDir dir;
    const std::string name = dir.path + "/host_wnd";
    PortDialog dlg(name);
    mode_t mode = 0;
    dlg.afterOpen = [&] {
        struct stat st{};
        ASSERT_EQ(::stat(name.c_str(), &st), 0);
        mode = st.st_mode & 0777;
        SendDatagram(name, Words({WM_COPYDATA, 0xABCD}, {1, 2, 3, 4, 5}));
        SendDatagram(name, Words({WM_COPYDATA, 9}));        // empty block
        SendDatagram(name, {0x4A, 0, 0});                    // too short
        SendDatagram(name, Words({WM_COPYDATA}));            // no dwData
        SendDatagram(name, Words({WM_QUIT}));                // not carried
        SendDatagram(name, Words({0x5F3, 1, 2}));            // not carried
        SendDatagram(name, Words({WM_COMMAND, 1000, 0}));    // wrong length
        SendDatagram(name, Words({WM_CLOSE, 0}));            // wrong length
        SendDatagram(name, {});                              // empty
        SendDatagram(name, Words({WM_COMMAND, 1000}));
        SendDatagram(name, Words({WM_CLOSE}));
    };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(dlg.opened);
    EXPECT_EQ(mode, 0600u);
    ASSERT_EQ(dlg.copies.size(), 2u);
    EXPECT_EQ(dlg.copies[0].dwData, 0xABCDu);
    EXPECT_EQ(dlg.copies[0].data, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(dlg.copies[1].dwData, 9u);
    EXPECT_TRUE(dlg.copies[1].data.empty());
    EXPECT_EQ(dlg.clicks, 1);
    EXPECT_FALSE(std::filesystem::exists(name)) << "port left behind after the dialog ended";
}

TEST(WindowPort, AbstractPortDropsOtherUsers)
{
    const std::string name = "@marlin-ui-test-" + std::to_string(::getpid()) + "_wnd";
    PortDialog dlg(name);
    bool otherUserTried = false;
    dlg.afterOpen = [&] {
        if (::geteuid() == 0) {
            pid_t child = ::fork();
            if (child == 0) {
                if (::setuid(65534) != 0) ::_exit(2);
                int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
                socklen_t len;
                sockaddr_un addr = Address(name, len);
                auto msg = Words({WM_COMMAND, 1000});
                ssize_t n = ::sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&addr), len);
                ::_exit(n == static_cast<ssize_t>(msg.size()) ? 0 : 3);
            }
            int status = 0;
            ::waitpid(child, &status, 0);
            otherUserTried = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        SendDatagram(name, Words({WM_COPYDATA, 1}, {7}));
        SendDatagram(name, Words({WM_CLOSE}));
    };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(dlg.opened);
    ASSERT_EQ(dlg.copies.size(), 1u);
    EXPECT_EQ(dlg.copies[0].data, std::vector<uint8_t>{7});
    if (::geteuid() == 0) {
        EXPECT_TRUE(otherUserTried);
        EXPECT_EQ(dlg.clicks, 0) << "a datagram from another user was taken";
    }
}

TEST(WindowPort, ReplacesAStaleFileButNotALivePort)
{
    TempDir dir;
    const std::string name = dir.path + "/stale_wnd";
    {
        // A socket file whose owner is gone, as a killed host leaves it.
        int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        socklen_t len;
        sockaddr_un addr = Address(name, len);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
        ::close(fd);
    }
    PortDialog dlg(name);
    bool secondOpened = true;
    dlg.afterOpen = [&] {
        CWindowPort second;
        secondOpened = second.Open(name);
        SendDatagram(name, Words({WM_CLOSE}));
    };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(dlg.opened);
    EXPECT_FALSE(secondOpened) << "a live port was taken over";
}

TEST(WindowPort, AFileThatIsNoSocketIsLeftAlone)
{
    TempDir dir;
    const std::string name = dir.path + "/file_wnd";
    { std::ofstream(name) << "keep"; }
    CWindowPort port;
    EXPECT_FALSE(port.Open(name));
    std::ifstream in(name);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");
}

TEST(WindowPort, NamesThatDoNotFitAreRefused)
{
    CWindowPort port;
    EXPECT_FALSE(port.Open("/tmp/" + std::string(200, 'x')));
    EXPECT_FALSE(port.Open("@" + std::string(200, 'x')));
    EXPECT_FALSE(port.Open(""));
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
