#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

using DescriptorExhaustion = BridgeFixture;

bool readableWithin(int fd, int milliseconds) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) == 1;
}

TEST_F(DescriptorExhaustion, ServerKeepsServingAndAcceptsAgainOnceDescriptorsFree) {
    HttpClient existing(port());
    ASSERT_EQ(existing.get("/health").status, 200);
    // Every free descriptor slot under a lowered limit is filled, so that the server's next accept
    // fails with EMFILE; one slot is left for a client on one plain descriptor.
    rlimit original{};
    getrlimit(RLIMIT_NOFILE, &original);
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) highest = std::max(highest, std::stoi(entry.path().filename()));
    rlimit squeezed = original;
    squeezed.rlim_cur = static_cast<rlim_t>(highest + 16);
    setrlimit(RLIMIT_NOFILE, &squeezed);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
    auto release = [&](std::size_t count) {
        for (; count > 0 && !fillers.empty(); --count, fillers.pop_back()) ::close(fillers.back());
    };
    release(1);
    const int waiting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = waiting >= 0 && ::connect(waiting, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const std::string request = "GET /connectedFiles HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    EXPECT_TRUE(connected && ::write(waiting, request.data(), request.size()) == static_cast<ssize_t>(request.size()));
    EXPECT_EQ(existing.get("/health").status, 200) << "an existing connection is still served";
    EXPECT_FALSE(readableWithin(waiting, 300)) << "no descriptor is free to accept the new connection";
    release(4);
    EXPECT_TRUE(readableWithin(waiting, 10000)) << "accepting resumes once descriptors free";
    release(fillers.size());
    setrlimit(RLIMIT_NOFILE, &original);
    char reply[512] = {};
    const ssize_t n = ::read(waiting, reply, sizeof reply - 1);
    ::close(waiting);
    EXPECT_TRUE(n > 0 && std::string(reply, static_cast<std::size_t>(n)).ends_with("\r\n\r\n[]"));
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

}  // namespace
}  // namespace Lumenbox::testing
