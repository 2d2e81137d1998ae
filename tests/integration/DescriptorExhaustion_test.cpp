#include <dirent.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

// Fills every free descriptor slot of the process under a lowered limit, so that the server's next
// accept fails with EMFILE, and gives slots back on demand. Restores everything when destroyed.
class DescriptorSqueeze {
public:
    DescriptorSqueeze() {
        getrlimit(RLIMIT_NOFILE, &original_);
        rlimit squeezed = original_;
        squeezed.rlim_cur = static_cast<rlim_t>(highestOpenDescriptor() + 16);
        setrlimit(RLIMIT_NOFILE, &squeezed);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers_.push_back(fd);
    }
    ~DescriptorSqueeze() {
        release(fillers_.size());
        setrlimit(RLIMIT_NOFILE, &original_);
    }
    void release(std::size_t count) {
        for (; count > 0 && !fillers_.empty(); --count) {
            ::close(fillers_.back());
            fillers_.pop_back();
        }
    }

private:
    static int highestOpenDescriptor() {
        int highest = 0;
        if (DIR* dir = ::opendir("/proc/self/fd")) {
            while (dirent* entry = ::readdir(dir)) highest = std::max(highest, std::atoi(entry->d_name));
            ::closedir(dir);
        }
        return highest;
    }

    rlimit original_{};
    std::vector<int> fillers_;
};

class DescriptorExhaustion : public BridgeFixture {};

// A client on one plain descriptor: the test's own clients need several (their event loops), and
// under the squeeze there is room for exactly one.
int connectAndSend(int port, const std::string& request) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    EXPECT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    return fd;
}

bool readableWithin(int fd, int milliseconds) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) == 1;
}

TEST_F(DescriptorExhaustion, ServerKeepsServingAndAcceptsAgainOnceDescriptorsFree) {
    HttpClient existing(port());
    ASSERT_EQ(existing.get("/health").status, 200);
    int waiting = -1;
    {
        DescriptorSqueeze squeeze;
        squeeze.release(1);  // room for the new client's socket, none for the server's accept
        waiting = connectAndSend(port(), "GET /connectedFiles HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        ASSERT_GE(waiting, 0);
        EXPECT_EQ(existing.get("/health").status, 200) << "an existing connection is still served";
        EXPECT_FALSE(readableWithin(waiting, 300)) << "no descriptor is free to accept the new connection";
        squeeze.release(4);
        EXPECT_TRUE(readableWithin(waiting, 10000)) << "accepting resumes once descriptors free";
    }
    char reply[512] = {};
    ssize_t n = ::read(waiting, reply, sizeof reply - 1);
    ::close(waiting);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(std::string(reply, static_cast<std::size_t>(n)).ends_with("\r\n\r\n[]"));
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

}  // namespace
}  // namespace Lumenbox::testing
